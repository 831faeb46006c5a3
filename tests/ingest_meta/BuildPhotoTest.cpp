#include <QBuffer>
#include <QDateTime>
#include <QImageReader>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include "SampleFiles.h"
#include "ingest/ImageDecode.h"
#include "state/Monitor.h"

// Photo records built from real files: JPEGs with EXIF written by Exiv2, PNG, TIFF, WebP, HEIC
// and DNG, made in the test itself.
namespace {

using SampleFiles::Tag;
using SampleFiles::TagType;

const QString kDash = QStringLiteral("\u2014");

enum class Colour { Red, Green, Blue, White, Grey, Other };

Colour classify(QRgb c)
{
    const int r = qRed(c), g = qGreen(c), b = qBlue(c);
    if (r > 180 && g < 90 && b < 90)
        return Colour::Red;
    if (g > 180 && r < 90 && b < 90)
        return Colour::Green;
    if (b > 180 && r < 90 && g < 90)
        return Colour::Blue;
    if (r > 200 && g > 200 && b > 200)
        return Colour::White;
    if (qAbs(r - g) < 20 && qAbs(g - b) < 20 && r > 90 && r < 170)
        return Colour::Grey;
    return Colour::Other;
}

// The colour at the centre of one quadrant of an image (x, y in {0, 1}).
Colour quadrant(const QImage &image, int x, int y)
{
    return classify(image.pixel(image.width() * (1 + 2 * x) / 4, image.height() * (1 + 2 * y) / 4));
}

// The four quadrant colours, top-left, top-right, bottom-left, bottom-right.
std::array<Colour, 4> layout(const QImage &image)
{
    return { quadrant(image, 0, 0), quadrant(image, 1, 0), quadrant(image, 0, 1), quadrant(image, 1, 1) };
}

// What an image shows when decoded by Qt's own reader with its EXIF orientation applied: an
// independent reading of the same file to compare against.
QImage qtUpright(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    return reader.read();
}

void expectOnlyBasics(
    const CapturedPhoto &p, const QString &name, qint64 size, const QString &format, const QDateTime &before)
{
    EXPECT_EQ(p.filename, name);
    EXPECT_EQ(p.fileSizeBytes, size);
    EXPECT_EQ(p.format, format);
    EXPECT_GE(p.capturedAt, before);
    EXPECT_LE(p.capturedAt, QDateTime::currentDateTime());
    EXPECT_EQ(p.width, 0);
    EXPECT_EQ(p.height, 0);
    EXPECT_TRUE(p.thumb.isNull());
    EXPECT_EQ(p.preview, nullptr);
    for (const QString *text : { &p.lens, &p.shutter, &p.aperture, &p.iso, &p.exposure, &p.wb })
        EXPECT_EQ(*text, kDash);
}

TEST(BuildPhoto, CameraJpegGivesEveryText)
{
    const QByteArray bytes = SampleFiles::cameraJpeg(QSize(1200, 800));
    ASSERT_FALSE(bytes.isEmpty());
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("DSCF0001.JPG"), bytes);
    EXPECT_EQ(p.filename, QStringLiteral("DSCF0001.JPG"));
    EXPECT_EQ(p.fileSizeBytes, bytes.size());
    EXPECT_EQ(p.format, QStringLiteral("JPG"));
    EXPECT_EQ(p.width, 1200);
    EXPECT_EQ(p.height, 800);
    EXPECT_EQ(p.shutter, QStringLiteral("1/250"));
    EXPECT_EQ(p.aperture, QStringLiteral("f/2.8"));
    EXPECT_EQ(p.iso, QStringLiteral("400"));
    EXPECT_EQ(p.exposure, QStringLiteral("+0.7"));
    EXPECT_EQ(p.wb, QStringLiteral("AUTO"));
    EXPECT_EQ(p.lens, QStringLiteral("ZOOM 18-55 @23mm"));
    EXPECT_EQ(p.capturedAt, QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9), Qt::LocalTime));
    EXPECT_EQ(p.preview, nullptr); // attached later by storage, decoded when drawn
    EXPECT_EQ(p.thumb.size(), QSize(160, 106)); // the embedded thumbnail, not enlarged
}

TEST(BuildPhoto, SameBytesTwiceDifferOnlyInId)
{
    const QByteArray bytes = SampleFiles::cameraJpeg(QSize(300, 200));
    ASSERT_FALSE(bytes.isEmpty());
    const CapturedPhoto a = Monitor::buildPhoto(QStringLiteral("a.jpg"), bytes);
    const CapturedPhoto b = Monitor::buildPhoto(QStringLiteral("a.jpg"), bytes);
    EXPECT_NE(a.id(), b.id());
    EXPECT_EQ(a.capturedAt, b.capturedAt);
    EXPECT_EQ(a.lens, b.lens);
    EXPECT_EQ(a.thumb, b.thumb);
}

// One tag (or a few) written into a JPEG and the text one field shows for it.
struct TagCase {
    const char *label;
    QList<Tag> tags;
    QString CapturedPhoto::*field;
    QString expected;
};

void PrintTo(const TagCase &c, std::ostream *os)
{
    *os << c.label;
}

class TagText : public ::testing::TestWithParam<TagCase>
{
};

TEST_P(TagText, ShowsTheExpectedText)
{
    const TagCase &c = GetParam();
    const QByteArray bytes = SampleFiles::jpeg(SampleFiles::quadrants(QSize(64, 48)), c.tags);
    ASSERT_FALSE(bytes.isEmpty()) << "could not write the tags";
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("t.jpg"), bytes);
    EXPECT_EQ(p.*(c.field), c.expected);
    EXPECT_EQ(p.width, 64);
}

Tag tag(const char *key, TagType type, const char *value)
{
    return { QString::fromUtf8(key), type, QString::fromUtf8(value) };
}

const char *kExposureTime = "Exif.Photo.ExposureTime";
const char *kFNumber = "Exif.Photo.FNumber";
const char *kIso = "Exif.Photo.ISOSpeedRatings";
const char *kBias = "Exif.Photo.ExposureBiasValue";
const char *kWb = "Exif.Photo.WhiteBalance";
const char *kLensModel = "Exif.Photo.LensModel";
const char *kModel = "Exif.Image.Model";
const char *kFocal = "Exif.Photo.FocalLength";

INSTANTIATE_TEST_SUITE_P(Shutter, TagText,
    ::testing::Values(TagCase { "1/4000", { tag(kExposureTime, TagType::Rational, "1/4000") },
                          &CapturedPhoto::shutter, "1/4000" },
        TagCase { "3/10", { tag(kExposureTime, TagType::Rational, "3/10") }, &CapturedPhoto::shutter, "1/3" },
        TagCase { "2/5 rounds half up", { tag(kExposureTime, TagType::Rational, "2/5") },
            &CapturedPhoto::shutter, "1/3" },
        TagCase { "1/2", { tag(kExposureTime, TagType::Rational, "1/2") }, &CapturedPhoto::shutter, "1/2" },
        TagCase {
            "exactly 1", { tag(kExposureTime, TagType::Rational, "1/1") }, &CapturedPhoto::shutter, "1s" },
        TagCase {
            "13/10", { tag(kExposureTime, TagType::Rational, "13/10") }, &CapturedPhoto::shutter, "1s" },
        TagCase {
            "30 as short", { tag(kExposureTime, TagType::Short, "30") }, &CapturedPhoto::shutter, "30s" },
        TagCase {
            "double", { tag(kExposureTime, TagType::Double, "0.004") }, &CapturedPhoto::shutter, "1/250" },
        TagCase { "zero", { tag(kExposureTime, TagType::Rational, "0/1") }, &CapturedPhoto::shutter, kDash },
        TagCase { "negative", { tag(kExposureTime, TagType::SRational, "-1/250") }, &CapturedPhoto::shutter,
            kDash },
        TagCase { "zero denominator", { tag(kExposureTime, TagType::Rational, "1/0") },
            &CapturedPhoto::shutter, kDash },
        TagCase { "ascii", { tag(kExposureTime, TagType::Ascii, "1/250") }, &CapturedPhoto::shutter, kDash },
        TagCase { "two values", { tag(kExposureTime, TagType::Rational, "1/250 1/125") },
            &CapturedPhoto::shutter, kDash },
        TagCase { "double beyond 64 bits", { tag(kExposureTime, TagType::Double, "1e-300") },
            &CapturedPhoto::shutter, kDash }));

INSTANTIATE_TEST_SUITE_P(Aperture, TagText,
    ::testing::Values(
        TagCase { "2.8", { tag(kFNumber, TagType::Rational, "28/10") }, &CapturedPhoto::aperture, "f/2.8" },
        TagCase { "11", { tag(kFNumber, TagType::Rational, "11/1") }, &CapturedPhoto::aperture, "f/11.0" },
        TagCase { "short 8", { tag(kFNumber, TagType::Short, "8") }, &CapturedPhoto::aperture, "f/8.0" },
        TagCase { "ascii", { tag(kFNumber, TagType::Ascii, "2.8") }, &CapturedPhoto::aperture, kDash },
        TagCase { "0/0", { tag(kFNumber, TagType::Rational, "0/0") }, &CapturedPhoto::aperture, kDash }));

INSTANTIATE_TEST_SUITE_P(Iso, TagText,
    ::testing::Values(TagCase { "one", { tag(kIso, TagType::Short, "400") }, &CapturedPhoto::iso, "400" },
        TagCase { "first of two", { tag(kIso, TagType::Short, "200 400") }, &CapturedPhoto::iso, "200" },
        TagCase { "long", { tag(kIso, TagType::Long, "12800") }, &CapturedPhoto::iso, "12800" },
        TagCase { "whole rational", { tag(kIso, TagType::Rational, "800/2") }, &CapturedPhoto::iso, "400" },
        TagCase { "fraction", { tag(kIso, TagType::Rational, "401/2") }, &CapturedPhoto::iso, kDash },
        TagCase { "one element a fraction", { tag(kIso, TagType::Rational, "400/1 401/2") },
            &CapturedPhoto::iso, kDash },
        TagCase { "ascii", { tag(kIso, TagType::Ascii, "400") }, &CapturedPhoto::iso, kDash }));

INSTANTIATE_TEST_SUITE_P(Exposure, TagText,
    ::testing::Values(
        TagCase { "0.04", { tag(kBias, TagType::SRational, "4/100") }, &CapturedPhoto::exposure, "\u00b10" },
        TagCase {
            "-0.04", { tag(kBias, TagType::SRational, "-4/100") }, &CapturedPhoto::exposure, "\u00b10" },
        TagCase { "0", { tag(kBias, TagType::SRational, "0/1") }, &CapturedPhoto::exposure, "\u00b10" },
        TagCase { "-0.33", { tag(kBias, TagType::SRational, "-33/100") }, &CapturedPhoto::exposure, "-0.3" },
        TagCase { "-1", { tag(kBias, TagType::SRational, "-1/1") }, &CapturedPhoto::exposure, "-1.0" },
        TagCase { "2", { tag(kBias, TagType::SRational, "2/1") }, &CapturedPhoto::exposure, "+2.0" },
        TagCase { "ascii", { tag(kBias, TagType::Ascii, "+0.7") }, &CapturedPhoto::exposure, kDash }));

INSTANTIATE_TEST_SUITE_P(WhiteBalance, TagText,
    ::testing::Values(TagCase { "0", { tag(kWb, TagType::Short, "0") }, &CapturedPhoto::wb, "AUTO" },
        TagCase { "1", { tag(kWb, TagType::Short, "1") }, &CapturedPhoto::wb, "Manual" },
        TagCase { "5", { tag(kWb, TagType::Short, "5") }, &CapturedPhoto::wb, "Manual" },
        TagCase { "whole rational", { tag(kWb, TagType::Rational, "0/3") }, &CapturedPhoto::wb, "AUTO" },
        TagCase { "fraction", { tag(kWb, TagType::Rational, "1/2") }, &CapturedPhoto::wb, kDash },
        TagCase { "ascii", { tag(kWb, TagType::Ascii, "0") }, &CapturedPhoto::wb, kDash }));

INSTANTIATE_TEST_SUITE_P(Lens, TagText,
    ::testing::Values(
        TagCase { "lens and focal",
            { tag(kModel, TagType::Ascii, "CAM-1"), tag(kLensModel, TagType::Ascii, "ZOOM 18-55"),
                tag(kFocal, TagType::Rational, "239/10") },
            &CapturedPhoto::lens, "ZOOM 18-55 @23mm" },
        TagCase { "model and focal",
            { tag(kModel, TagType::Ascii, "CAM-1"), tag(kFocal, TagType::Rational, "35/1") },
            &CapturedPhoto::lens, "CAM-1 @35mm" },
        TagCase { "focal only", { tag(kFocal, TagType::Rational, "35/1") }, &CapturedPhoto::lens, "35mm" },
        TagCase { "nothing", {}, &CapturedPhoto::lens, kDash },
        TagCase {
            "lens only", { tag(kLensModel, TagType::Ascii, "PRIME 50") }, &CapturedPhoto::lens, "PRIME 50" },
        TagCase { "empty lens model replaces the camera",
            { tag(kModel, TagType::Ascii, "CAM-1"), tag(kLensModel, TagType::Ascii, ""),
                tag(kFocal, TagType::Rational, "50/1") },
            &CapturedPhoto::lens, "50mm" },
        TagCase {
            "padded model", { tag(kModel, TagType::Ascii, "CAM-1   ") }, &CapturedPhoto::lens, "CAM-1" },
        TagCase { "zero focal",
            { tag(kModel, TagType::Ascii, "CAM-1"), tag(kFocal, TagType::Rational, "0/1") },
            &CapturedPhoto::lens, "CAM-1" },
        TagCase { "focal as ascii",
            { tag(kModel, TagType::Ascii, "CAM-1"), tag(kFocal, TagType::Ascii, "35") }, &CapturedPhoto::lens,
            "CAM-1" },
        TagCase { "model as short",
            { tag(kModel, TagType::Short, "7"), tag(kFocal, TagType::Rational, "35/1") },
            &CapturedPhoto::lens, "35mm" },
        TagCase { "lens model as undefined bytes",
            { tag(kModel, TagType::Ascii, "CAM-1"), tag(kLensModel, TagType::Undefined, "65 66") },
            &CapturedPhoto::lens, "CAM-1" }));

TEST(BuildPhoto, CaptureTimeFromExifOrTimeOfBuilding)
{
    const QImage picture = SampleFiles::quadrants(QSize(64, 48));
    const QByteArray good = SampleFiles::jpeg(
        picture, { tag("Exif.Photo.DateTimeOriginal", TagType::Ascii, "2024:05:01 14:03:09") });
    const QByteArray malformed = SampleFiles::jpeg(
        picture, { tag("Exif.Photo.DateTimeOriginal", TagType::Ascii, "2024-05-01T14:03:09") });
    const QByteArray wrongType
        = SampleFiles::jpeg(picture, { tag("Exif.Photo.DateTimeOriginal", TagType::Short, "2024") });
    ASSERT_FALSE(good.isEmpty());
    ASSERT_FALSE(malformed.isEmpty());
    ASSERT_FALSE(wrongType.isEmpty());

    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("a.jpg"), good);
    EXPECT_EQ(p.capturedAt, QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9), Qt::LocalTime));
    EXPECT_EQ(p.capturedAt.toMSecsSinceEpoch(),
        QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9), Qt::LocalTime).toMSecsSinceEpoch());

    for (const QByteArray &bytes : { malformed, wrongType }) {
        const QDateTime before = QDateTime::currentDateTime();
        const CapturedPhoto q = Monitor::buildPhoto(QStringLiteral("a.jpg"), bytes);
        EXPECT_GE(q.capturedAt, before);
        EXPECT_LE(q.capturedAt, QDateTime::currentDateTime());
    }
}

TEST(BuildPhoto, FileWithoutMetadataKeepsDefaultsButHasSizeAndThumbnail)
{
    const QByteArray bytes = SampleFiles::encode(SampleFiles::quadrants(QSize(640, 480)), "jpeg", 90);
    ASSERT_FALSE(bytes.isEmpty());
    const QDateTime before = QDateTime::currentDateTime();
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("plain.jpeg"), bytes);
    EXPECT_EQ(p.format, QStringLiteral("JPEG"));
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 480);
    EXPECT_GE(p.capturedAt, before);
    for (const QString *text : { &p.lens, &p.shutter, &p.aperture, &p.iso, &p.exposure, &p.wb })
        EXPECT_EQ(*text, kDash);
    EXPECT_EQ(p.thumb.size(), QSize(320, 240)); // reduced from the image itself
    EXPECT_EQ(layout(p.thumb), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
}

// Bytes that are no readable image: only name, size, format and the time of building.
TEST(BuildPhoto, UnreadableBytesGiveOnlyTheBasics)
{
    const QByteArray camera = SampleFiles::cameraJpeg(QSize(640, 480));
    ASSERT_GT(camera.size(), 2000);
    QByteArray random(4096, '\0');
    QRandomGenerator generator(20240501);
    for (char &c : random)
        c = char(generator.bounded(256));
    // Start of image, then noise: no frame header anywhere.
    QByteArray damaged = QByteArray("\xFF\xD8\xFF\xE0", 4) + random;
    // Cut inside the EXIF segment, before the image's frame header.
    const QByteArray truncated = camera.left(300);

    const struct {
        const char *name;
        QByteArray bytes;
    } cases[] = {
        { "empty.jpg", QByteArray() },
        { "noise.jpg", random },
        { "damaged.jpg", damaged },
        { "truncated.jpg", truncated },
        { "noise.DNG", random },
        { "noise.heic", random },
        { "text", QByteArray("hello, not a picture") },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QDateTime before = QDateTime::currentDateTime();
        const QString name = QString::fromUtf8(c.name);
        const CapturedPhoto p = Monitor::buildPhoto(name, c.bytes);
        const QString ext
            = name.contains(QLatin1Char('.')) ? name.section(QLatin1Char('.'), -1).toUpper() : QString();
        expectOnlyBasics(
            p, name, c.bytes.size(), ext == QLatin1String("DNG") ? QStringLiteral("RAW") : ext, before);
        EXPECT_TRUE(decodeFullImage(c.bytes, name).isNull());
    }
}

// The image is intact but its EXIF block is garbage: the decoder's facts stay, the metadata does
// not, and nothing escapes from the metadata library.
TEST(BuildPhoto, CorruptExifBlockLeavesMetadataMissing)
{
    QByteArray bytes = SampleFiles::jpeg(SampleFiles::quadrants(QSize(200, 100)), SampleFiles::cameraTags());
    ASSERT_FALSE(bytes.isEmpty());
    const qsizetype exif = bytes.indexOf(QByteArray("Exif\0\0", 6));
    ASSERT_GT(exif, 0);
    for (qsizetype i = exif + 6; i < exif + 6 + 40 && i < bytes.size(); ++i)
        bytes[i] = char(0xA5); // byte order mark, magic number and IFD offset all wrong
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("bad-exif.jpg"), bytes);
    EXPECT_EQ(p.width, 200);
    EXPECT_EQ(p.height, 100);
    EXPECT_EQ(p.shutter, kDash);
    EXPECT_EQ(p.lens, kDash);
    EXPECT_EQ(p.thumb.size(), QSize(200, 100));
}

// A file cut off in its compressed image data still has a complete header and EXIF block: the
// record keeps the metadata and the embedded thumbnail, as a viewer shows such a file partly.
TEST(BuildPhoto, FileCutInTheImageDataKeepsHeaderFacts)
{
    const QByteArray camera = SampleFiles::cameraJpeg(QSize(1200, 800));
    ASSERT_FALSE(camera.isEmpty());
    const QByteArray cut = camera.left(camera.size() * 2 / 3);
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("cut.jpg"), cut);
    EXPECT_EQ(p.fileSizeBytes, cut.size());
    EXPECT_EQ(p.width, 1200);
    EXPECT_EQ(p.shutter, QStringLiteral("1/250"));
    EXPECT_EQ(p.thumb.size(), QSize(160, 106));
}

TEST(Thumbnail, EmbeddedThumbnailIsPreferredAndReducedToFit)
{
    // The embedded thumbnail is a different picture from the image, so its use shows.
    const QImage picture = SampleFiles::quadrants(QSize(2000, 1500));
    const QByteArray large
        = SampleFiles::jpeg(picture, {}, SampleFiles::solid(QSize(640, 480), qRgb(0, 0, 255)));
    const QByteArray small
        = SampleFiles::jpeg(picture, {}, SampleFiles::solid(QSize(120, 90), qRgb(0, 0, 255)));
    ASSERT_FALSE(large.isEmpty());
    ASSERT_FALSE(small.isEmpty());

    const CapturedPhoto a = Monitor::buildPhoto(QStringLiteral("a.jpg"), large);
    EXPECT_EQ(a.thumb.size(), QSize(320, 240));
    EXPECT_EQ(layout(a.thumb), (std::array { Colour::Blue, Colour::Blue, Colour::Blue, Colour::Blue }));

    const CapturedPhoto b = Monitor::buildPhoto(QStringLiteral("b.jpg"), small);
    EXPECT_EQ(b.thumb.size(), QSize(120, 90));
    EXPECT_EQ(quadrant(b.thumb, 0, 0), Colour::Blue);

    // The full image never comes from the thumbnail.
    const QImage full = decodeFullImage(large, QStringLiteral("a.jpg"));
    EXPECT_EQ(full.size(), QSize(2000, 1500));
    EXPECT_EQ(layout(full), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
}

// Qt refuses to allocate images above its limit; a photo that large is shown at the largest size
// under the limit instead of not at all.
TEST(FullImage, ImageAboveTheAllocationLimitIsDecodedSmaller)
{
    const QByteArray bytes = SampleFiles::encode(SampleFiles::quadrants(QSize(1600, 1200)), "jpeg", 90);
    ASSERT_FALSE(bytes.isEmpty());
    const int previous = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(2); // MiB; the full image needs 7.3
    const QImage full = decodeFullImage(bytes, QStringLiteral("big.jpg"));
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("big.jpg"), bytes);
    QImageReader::setAllocationLimit(previous);

    ASSERT_FALSE(full.isNull());
    EXPECT_LE(qint64(full.width()) * full.height() * 4, 2 * 1024 * 1024);
    EXPECT_GE(full.width(), 400);
    EXPECT_NEAR(double(full.width()) / full.height(), 4.0 / 3.0, 0.02);
    EXPECT_EQ(layout(full), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
    EXPECT_EQ(p.width, 1600); // the record still tells the stored size
    EXPECT_EQ(p.thumb.size(), QSize(320, 240));
}

TEST(Thumbnail, SmallImageIsNotEnlarged)
{
    const QByteArray bytes = SampleFiles::encode(SampleFiles::quadrants(QSize(100, 60)), "png");
    ASSERT_FALSE(bytes.isEmpty());
    EXPECT_EQ(Monitor::buildPhoto(QStringLiteral("s.png"), bytes).thumb.size(), QSize(100, 60));
}

// Where the stored image's red (top-left) and green (top-right) quadrants are shown for each EXIF
// orientation, from the definition of the tag: e.g. 6 means the stored top row is the right edge.
struct OrientationCase {
    int orientation;
    std::array<Colour, 4> shown; // top-left, top-right, bottom-left, bottom-right
};

class Orientation : public ::testing::TestWithParam<OrientationCase>
{
};

TEST_P(Orientation, ThumbnailAndFullImageAreTurnedUpright)
{
    const auto [orientation, shown] = GetParam();
    const QImage stored = SampleFiles::quadrants(QSize(400, 200));
    const QList<Tag> tags { tag(
        "Exif.Image.Orientation", TagType::Short, QByteArray::number(orientation).constData()) };
    const QByteArray withThumb = SampleFiles::jpeg(stored, tags, stored.scaled(160, 80));
    const QByteArray withoutThumb = SampleFiles::jpeg(stored, tags);
    ASSERT_FALSE(withThumb.isEmpty());
    ASSERT_FALSE(withoutThumb.isEmpty());
    const bool turned = orientation >= 5;

    const CapturedPhoto a = Monitor::buildPhoto(QStringLiteral("a.jpg"), withThumb);
    EXPECT_EQ(a.width, 400); // as stored, never rotated
    EXPECT_EQ(a.height, 200);
    EXPECT_EQ(a.thumb.size(), turned ? QSize(80, 160) : QSize(160, 80));
    EXPECT_EQ(layout(a.thumb), shown);

    const CapturedPhoto b = Monitor::buildPhoto(QStringLiteral("b.jpg"), withoutThumb);
    EXPECT_EQ(b.thumb.size(), turned ? QSize(160, 320) : QSize(320, 160));
    EXPECT_EQ(layout(b.thumb), shown);

    const QImage full = decodeFullImage(withoutThumb, QStringLiteral("b.jpg"));
    EXPECT_EQ(full.size(), turned ? QSize(200, 400) : QSize(400, 200));
    EXPECT_EQ(layout(full), shown);
    // Qt's own EXIF handling reads the file the same way.
    EXPECT_EQ(layout(qtUpright(withoutThumb)), shown);
}

INSTANTIATE_TEST_SUITE_P(AllEight, Orientation,
    ::testing::Values(OrientationCase { 1, { Colour::Red, Colour::Green, Colour::Blue, Colour::White } },
        OrientationCase { 2, { Colour::Green, Colour::Red, Colour::White, Colour::Blue } },
        OrientationCase { 3, { Colour::White, Colour::Blue, Colour::Green, Colour::Red } },
        OrientationCase { 4, { Colour::Blue, Colour::White, Colour::Red, Colour::Green } },
        OrientationCase { 5, { Colour::Red, Colour::Blue, Colour::Green, Colour::White } },
        OrientationCase { 6, { Colour::Blue, Colour::Red, Colour::White, Colour::Green } },
        OrientationCase { 7, { Colour::White, Colour::Green, Colour::Blue, Colour::Red } },
        OrientationCase { 8, { Colour::Green, Colour::White, Colour::Red, Colour::Blue } }),
    [](const ::testing::TestParamInfo<OrientationCase> &info) {
        return std::to_string(info.param.orientation);
    });

TEST(Orientation, InvalidValuesLeaveTheImageAsStored)
{
    const QImage stored = SampleFiles::quadrants(QSize(400, 200));
    for (const char *value : { "0", "9", "65535" }) {
        SCOPED_TRACE(value);
        const QByteArray bytes
            = SampleFiles::jpeg(stored, { tag("Exif.Image.Orientation", TagType::Short, value) });
        ASSERT_FALSE(bytes.isEmpty());
        const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("a.jpg"), bytes);
        EXPECT_EQ(p.thumb.size(), QSize(320, 160));
        EXPECT_EQ(layout(p.thumb), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
    }
}

// Other containers that the metadata library writes into: the same texts come out.
TEST(OtherFormats, PngTiffAndWebpCarryMetadataAndThumbnails)
{
    const QImage picture = SampleFiles::quadrants(QSize(800, 600));
    for (const char *format : { "png", "tiff", "webp" }) {
        SCOPED_TRACE(format);
        const QByteArray plain = SampleFiles::encode(picture, format, 95);
        ASSERT_FALSE(plain.isEmpty()) << "Qt cannot write " << format;
        const QByteArray bytes = SampleFiles::withExif(plain, SampleFiles::cameraTags());
        ASSERT_FALSE(bytes.isEmpty()) << "Exiv2 cannot write into " << format;
        const QString name = QStringLiteral("pic.") + QString::fromLatin1(format);
        const CapturedPhoto p = Monitor::buildPhoto(name, bytes);
        EXPECT_EQ(p.format, QString::fromLatin1(format).toUpper());
        EXPECT_EQ(p.width, 800);
        EXPECT_EQ(p.height, 600);
        EXPECT_EQ(p.shutter, QStringLiteral("1/250"));
        EXPECT_EQ(p.aperture, QStringLiteral("f/2.8"));
        EXPECT_EQ(p.lens, QStringLiteral("ZOOM 18-55 @23mm"));
        EXPECT_EQ(p.thumb.size(), QSize(320, 240));
        EXPECT_EQ(layout(p.thumb), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
        const QImage full = decodeFullImage(bytes, name);
        EXPECT_EQ(full.size(), QSize(800, 600));
    }
}

TEST(OtherFormats, TiffOrientationTagTurnsIt)
{
    const QByteArray bytes
        = SampleFiles::withExif(SampleFiles::encode(SampleFiles::quadrants(QSize(400, 200)), "tiff"),
            { tag("Exif.Image.Orientation", TagType::Short, "6") });
    ASSERT_FALSE(bytes.isEmpty());
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("t.tif"), bytes);
    EXPECT_EQ(p.width, 400);
    EXPECT_EQ(p.thumb.size(), QSize(160, 320));
    EXPECT_EQ(layout(p.thumb), (std::array { Colour::Blue, Colour::Red, Colour::White, Colour::Green }));
    EXPECT_EQ(layout(decodeFullImage(bytes, QStringLiteral("t.tif"))), layout(p.thumb));
}

TEST(OtherFormats, HeicMetadataThumbnailAndRotation)
{
    const QImage picture = SampleFiles::quadrants(QSize(512, 256));
    const QByteArray plain = SampleFiles::heic(picture, SampleFiles::cameraTags(), 1, 0);
    if (plain.isEmpty())
        GTEST_SKIP() << "libheif has no HEVC encoder here";
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("IMG_0001.HEIC"), plain);
    EXPECT_EQ(p.format, QStringLiteral("HEIC"));
    EXPECT_EQ(p.width, 512);
    EXPECT_EQ(p.height, 256);
    EXPECT_EQ(p.shutter, QStringLiteral("1/250"));
    EXPECT_EQ(p.iso, QStringLiteral("400"));
    EXPECT_EQ(p.lens, QStringLiteral("ZOOM 18-55 @23mm"));
    EXPECT_EQ(p.capturedAt, QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9), Qt::LocalTime));
    EXPECT_EQ(p.thumb.size(), QSize(320, 160));
    EXPECT_EQ(layout(p.thumb), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
    const QImage full = decodeFullImage(plain, QStringLiteral("IMG_0001.HEIC"));
    EXPECT_EQ(full.size(), QSize(512, 256));
    EXPECT_EQ(layout(full), layout(p.thumb));

    // Orientation 6 with its own thumbnail. The file's rotation and mirroring boxes turn it; the
    // EXIF tag that says the same must not turn it a second time. Width and height are those of
    // the pixels as libheif stored them, whichever way round that is.
    const QByteArray turned
        = SampleFiles::heic(picture, { tag("Exif.Image.Orientation", TagType::Short, "6") }, 6, 128);
    ASSERT_FALSE(turned.isEmpty());
    const CapturedPhoto q = Monitor::buildPhoto(QStringLiteral("turned.heif"), turned);
    EXPECT_EQ(q.width * q.height, 512 * 256);
    EXPECT_EQ(qMax(q.thumb.width(), q.thumb.height()), 128); // the embedded thumbnail
    EXPECT_LT(q.thumb.width(), q.thumb.height());
    const std::array upright { Colour::Blue, Colour::Red, Colour::White, Colour::Green };
    EXPECT_EQ(layout(q.thumb), upright);
    const QImage turnedFull = decodeFullImage(turned, QStringLiteral("turned.heif"));
    EXPECT_EQ(turnedFull.size(), QSize(256, 512));
    EXPECT_EQ(layout(turnedFull), upright);
}

TEST(Raw, DngGivesRawFormatMetadataAndItsLargestPreview)
{
    SampleFiles::Dng spec;
    spec.rawSize = QSize(256, 192);
    spec.preview = SampleFiles::quadrants(QSize(1024, 768));
    spec.tags = SampleFiles::cameraTags();
    const QByteArray bytes = SampleFiles::dng(spec);
    ASSERT_FALSE(bytes.isEmpty());

    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("IMG_0001.dng"), bytes);
    EXPECT_EQ(p.format, QStringLiteral("RAW"));
    EXPECT_EQ(p.width, 256);
    EXPECT_EQ(p.height, 192);
    EXPECT_EQ(p.shutter, QStringLiteral("1/250"));
    EXPECT_EQ(p.aperture, QStringLiteral("f/2.8"));
    EXPECT_EQ(p.iso, QStringLiteral("400"));
    EXPECT_EQ(p.exposure, QStringLiteral("+0.7"));
    EXPECT_EQ(p.wb, QStringLiteral("AUTO"));
    EXPECT_EQ(p.lens, QStringLiteral("ZOOM 18-55 @23mm"));
    EXPECT_EQ(p.capturedAt, QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9), Qt::LocalTime));
    // From the large JPEG preview (quadrants), not the small grey IFD0 thumbnail.
    EXPECT_EQ(p.thumb.size(), QSize(320, 240));
    EXPECT_EQ(layout(p.thumb), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));

    const QImage full = decodeFullImage(bytes, QStringLiteral("IMG_0001.dng"));
    EXPECT_EQ(full.size(), QSize(1024, 768));
    EXPECT_EQ(layout(full), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
}

TEST(Raw, DngOrientationAndFallbackToTheSmallThumbnail)
{
    SampleFiles::Dng spec;
    spec.preview = SampleFiles::quadrants(QSize(800, 400));
    spec.orientation = 8;
    const QByteArray turned = SampleFiles::dng(spec);
    ASSERT_FALSE(turned.isEmpty());
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("a.DNG"), turned);
    EXPECT_EQ(p.thumb.size(), QSize(160, 320));
    EXPECT_EQ(layout(p.thumb), (std::array { Colour::Green, Colour::White, Colour::Red, Colour::Blue }));
    EXPECT_EQ(decodeFullImage(turned, QStringLiteral("a.DNG")).size(), QSize(400, 800));
    EXPECT_EQ(p.shutter, kDash); // no EXIF tags were written

    // Without the large preview the IFD0 thumbnail is the only embedded image.
    SampleFiles::Dng bare;
    bare.smallThumb = SampleFiles::quadrants(QSize(96, 64));
    const QByteArray small = SampleFiles::dng(bare);
    ASSERT_FALSE(small.isEmpty());
    const CapturedPhoto q = Monitor::buildPhoto(QStringLiteral("b.dng"), small);
    EXPECT_EQ(q.format, QStringLiteral("RAW"));
    EXPECT_EQ(q.thumb.size(), QSize(96, 64));
    EXPECT_EQ(layout(q.thumb), (std::array { Colour::Red, Colour::Green, Colour::Blue, Colour::White }));
}

// Metadata that Exiv2 cannot give for a raw file comes from LibRaw's own reading of it, with the
// same texts; what LibRaw has no generic value for (compensation, white balance) stays missing.
TEST(Raw, MetadataExiv2CannotReadComesFromLibRaw)
{
    SampleFiles::Dng spec;
    spec.exifOnlyLibRawReads = true;
    const QByteArray bytes = SampleFiles::dng(spec);
    ASSERT_FALSE(bytes.isEmpty());
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("IMG_0002.CR3"), bytes);
    EXPECT_EQ(p.shutter, QStringLiteral("1/250"));
    EXPECT_EQ(p.aperture, QStringLiteral("f/2.8"));
    EXPECT_EQ(p.iso, QStringLiteral("400"));
    EXPECT_EQ(p.lens, QStringLiteral("ZOOM 18-55 @23mm"));
    EXPECT_EQ(p.capturedAt, QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9), Qt::LocalTime));
    EXPECT_EQ(p.exposure, kDash);
    EXPECT_EQ(p.wb, kDash);
}

// A JPEG that arrives under a raw name is read by its content; its format still says RAW.
TEST(Raw, JpegUnderARawNameIsStillRead)
{
    const QByteArray bytes = SampleFiles::cameraJpeg(QSize(640, 480));
    ASSERT_FALSE(bytes.isEmpty());
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("odd.RAF"), bytes);
    EXPECT_EQ(p.format, QStringLiteral("RAW"));
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.shutter, QStringLiteral("1/250"));
    EXPECT_FALSE(p.thumb.isNull());
    EXPECT_EQ(decodeFullImage(bytes, QStringLiteral("odd.RAF")).size(), QSize(640, 480));
}

} // namespace
