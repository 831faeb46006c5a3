#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <optional>

// A bounded reader of the ISO base-media box structure that HEIF and CR3 files share. Every size a
// box or an item location declares is checked against the bytes actually there before anything
// is read through it; nesting and the number of boxes are bounded, so a hostile file costs at
// most a pass over its own bytes.
namespace MediaBoxes {

// Boxes deeper than this are not walked: HEIF needs four levels (meta/iprp/ipco/ispe), CR3 three
// (moov/uuid/CMT1); the rest is headroom for files that wrap them once more.
constexpr int kMaxDepth = 8;
// At most this many boxes are read from one file. A camera file has a few dozen; a HEIF grid of a
// 100 MP photo has a few hundred items, each a handful of boxes.
constexpr int kMaxBoxes = 4096;

// One box: its four-character type and where its content (after the header, and after the
// extended type of a 'uuid' box) lies within the file.
struct Box {
    quint32 type = 0;
    qsizetype begin = 0;
    qsizetype end = 0;
    QByteArray uuid; // a 'uuid' box's 16-byte extended type; empty for every other box
    [[nodiscard]] qsizetype size() const { return end - begin; }
};

// The four-character code of a type such as "moov".
[[nodiscard]] constexpr quint32 fourCc(const char (&text)[5])
{
    return quint32(quint8(text[0])) << 24 | quint32(quint8(text[1])) << 16 | quint32(quint8(text[2])) << 8
        | quint32(quint8(text[3]));
}

// The boxes laid one after the other in data[begin, end); `budget` counts down the boxes still
// allowed for the whole file. nullopt when a box declares a size that runs past `end` or is
// smaller than its own header, or when the budget runs out.
[[nodiscard]] std::optional<QList<Box>> children(const QByteArray &data, qsizetype begin, qsizetype end,
                                                 int &budget);

// True when every box of the file, down to kMaxDepth in the containers HEIF and CR3 use, lies
// within the bytes present, and every item extent its 'iloc' declares lies within the file (or
// within its 'idat'). A file that fails is not handed to any library.
[[nodiscard]] bool sizesHold(const QByteArray &data);

// A CR3 file's EXIF as its two TIFF blocks: IFD0 (box CMT1) and the EXIF IFD (box CMT2), found in
// the camera maker's box inside 'moov'. Empty blocks when the file has no such box.
struct TiffBlocks {
    QByteArray ifd0;
    QByteArray exifIfd;
};
[[nodiscard]] std::optional<TiffBlocks> cr3Exif(const QByteArray &data);

} // namespace MediaBoxes
