#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

// Real image files made in the test itself: pictures encoded by Qt's writers, EXIF and TIFF tags
// written into them by Exiv2, and small DNG raw files. Every function returns an empty
// QByteArray when it cannot make the file, so a caller can ASSERT_FALSE(bytes.isEmpty()).
namespace SampleFiles {

// How a tag's value is stored in the file (the TIFF field types).
enum class TagType {
    Byte,
    Ascii,
    Short,
    Long,
    Rational,
    SByte,
    Undefined,
    SShort,
    SLong,
    SRational,
    Float,
    Double
};

// One EXIF or TIFF tag: its key as Exiv2 names it ("Exif.Photo.ExposureTime", "Exif.Image.Model"),
// the type it is stored with, and its value as Exiv2 reads text: "1/250", "200 400", "CAM-1".
struct Tag {
    QString key;
    TagType type;
    QString value;
};

// The tags a camera typically writes: 1/250 s, f/2.8, ISO 400, +2/3 EV, auto white balance,
// taken 2024:05:01 14:03:09, lens "ZOOM 18-55" at 23.9 mm, camera model "CAM-1".
[[nodiscard]] QList<Tag> cameraTags();

// A test picture in four quadrants: red top-left, green top-right, blue bottom-left, white
// bottom-right. Where the quadrants end up shows how an image was turned.
[[nodiscard]] QImage quadrants(QSize size);
// One flat colour.
[[nodiscard]] QImage solid(QSize size, QRgb colour);

// The image encoded by Qt ("jpeg", "png", "tiff", "webp"); quality -1 is the writer's default.
[[nodiscard]] QByteArray encode(const QImage &image, const char *format, int quality = -1);

// `file` (any format Exiv2 writes: JPEG, PNG, TIFF, WebP, DNG) with `tags` added and, when
// `thumbnail` is not null, that image as the EXIF (IFD1) JPEG thumbnail.
[[nodiscard]] QByteArray withExif(
    const QByteArray &file, const QList<Tag> &tags, const QImage &thumbnail = {});

// A JPEG of `image` carrying `tags` and, optionally, an EXIF thumbnail.
[[nodiscard]] QByteArray jpeg(
    const QImage &image, const QList<Tag> &tags = {}, const QImage &thumbnail = {}, int quality = 90);

// A camera-like JPEG: `size` pixels of a quadrant picture with cameraTags() and a 160 px EXIF
// thumbnail. A 24 MP one (6000 × 4000) stands for a modern camera's file.
[[nodiscard]] QByteArray cameraJpeg(QSize size = QSize(6000, 4000));

// A HEIC file of `image` encoded by libheif (x265), with `tags` as its EXIF block, the EXIF
// orientation `orientation` stored as the file's own rotation and mirroring (irot/imir), and a
// thumbnail fitting `thumbnailBox` pixels when it is not 0. Empty when libheif has no HEVC encoder.
[[nodiscard]] QByteArray heic(
    const QImage &image, const QList<Tag> &tags = {}, int orientation = 1, int thumbnailBox = 0);

// A DNG raw file laid out as cameras write them: IFD0 holds a small uncompressed RGB thumbnail
// (`smallThumb`) and the DNG tags, its first SubIFD the CFA raw image (`rawSize` pixels, 16-bit
// RGGB), its second SubIFD the large JPEG preview (`preview`). `orientation` goes into IFD0 and
// `tags` are added with Exiv2. LibRaw and Exiv2 both read it.
struct Dng {
    QSize rawSize = QSize(256, 192);
    QImage preview; // null: no large preview
    QImage smallThumb; // null: a plain grey 96 × 64 picture
    int orientation = 1;
    QList<Tag> tags;
    // An EXIF IFD with the values of cameraTags() but the white balance, the compensation and
    // the camera model, reached through a pointer stored with the wrong type (two SHORTs):
    // LibRaw follows it, Exiv2 does not, as with an EXIF block Exiv2 cannot read.
    bool exifOnlyLibRawReads = false;
};
[[nodiscard]] QByteArray dng(const Dng &spec);

} // namespace SampleFiles
