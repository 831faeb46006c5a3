#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

// Real image files made by the tests themselves: pictures encoded by Qt's writers, EXIF tags
// written into them by Exiv2, HEIC by libheif and small DNG raw files laid out by hand. Every
// function returns an empty QByteArray when it cannot make the file.
namespace SampleFiles {

// How a tag's value is stored: the TIFF field types, numbered as in the file (and as Exiv2's TypeId).
enum class TagType { Byte = 1, Ascii, Short, Long, Rational, SByte, Undefined, SShort, SLong, SRational, Float, Double };

// One EXIF tag: its key as Exiv2 names it ("Exif.Photo.ExposureTime"), the type it is stored
// with, and its value as Exiv2 reads text ("1/250", "200 400", "CAM-1").
struct Tag {
    QString key;
    TagType type;
    QString value;
};

// What a camera typically writes: 1/250 s, f/2.8, ISO 400, +2/3 EV, auto white balance, taken
// 2024:05:01 14:03:09, lens "ZOOM 18-55" at 23.9 mm, camera model "CAM-1".
QList<Tag> cameraTags();

// Red top-left, green top-right, blue bottom-left, white bottom-right: where the quadrants end
// up shows how an image was turned.
QImage quadrants(QSize size);
// One colour all over.
QImage solid(QSize size, QRgb colour);

// The image encoded by Qt ("jpeg", "png", "tiff", "webp"); quality -1 is the writer's default.
QByteArray encode(const QImage &image, const char *format, int quality = -1);
// `file` (JPEG, PNG, TIFF, WebP, DNG) with `tags` added and, unless null, `thumbnail` as its EXIF
// (IFD1) JPEG thumbnail.
QByteArray withExif(const QByteArray &file, const QList<Tag> &tags, const QImage &thumbnail = {});
QByteArray jpeg(const QImage &image, const QList<Tag> &tags = {}, const QImage &thumbnail = {}, int quality = 90);

// HEIC (HEVC by libheif) with `tags` as its EXIF block, `orientation` stored as the file's own
// rotation and mirroring, and a thumbnail fitting `thumbnailBox` pixels unless 0. Empty when
// libheif has no HEVC encoder.
QByteArray heic(const QImage &image, const QList<Tag> &tags = {}, int orientation = 1, int thumbnailBox = 0);

// A DNG laid out as cameras write them: IFD0 holds a small uncompressed RGB thumbnail and the DNG
// tags, its first SubIFD the 16-bit RGGB raw image, its second the large JPEG preview.
struct Dng {
    QSize rawSize = QSize(256, 192);
    QImage preview{}; // null: no large preview
    QImage smallThumb{}; // null: quadrants turned upside down, 96 × 64
    int orientation = 1;
    QList<Tag> tags{}; // added with Exiv2
    // An EXIF IFD with the values of cameraTags() but white balance, compensation and model,
    // reached through a pointer stored with the wrong type (two SHORTs): LibRaw follows it,
    // Exiv2 does not, as with an EXIF block Exiv2 cannot read.
    bool exifOnlyLibRawReads = false;
};
QByteArray dng(const Dng &spec);

// An ISO base-media box: its size, type and content.
QByteArray box(const char *type, const QByteArray &content);
// A CR3-like file: 'ftyp' and a 'moov' holding the camera maker's box with CMT1 (IFD0: model,
// orientation 1) and CMT2 (a TIFF block whose first IFD is the EXIF IFD) holding the values of
// cameraTags(), and `moreInMoov` after it. No image: LibRaw cannot open it, only its metadata is there.
QByteArray cr3(const QByteArray &moreInMoov = {});

} // namespace SampleFiles
