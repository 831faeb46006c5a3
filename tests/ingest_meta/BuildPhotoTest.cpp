#include <QDateTime>
#include <QImageReader>
#include <QRandomGenerator>

#include <clocale>
#include <limits>

#include <gtest/gtest.h>

#include "SampleFiles.h"
#include "ingest/ImageDecode.h"
#include "ingest/PhotoText.h"
#include "state/Monitor.h"

// Photo records built from real files made by the test itself (what each kind of file gives, which
// tags reach the record with which types, how images are turned upright), and the display rules
// at edges no file can carry (non-finite numbers, 64-bit overflow).
namespace {

using namespace SampleFiles;
using T = TagType;
const char *const kDash = "\u2014";

enum Colour { Red, Green, Blue, White, Other };
using Layout = std::array<Colour, 4>; // the quadrants shown top-left, top-right, bottom-left, bottom-right
const Layout kUpright{Red, Green, Blue, White}, kUpsideDown{White, Blue, Green, Red};
const Layout kTurned6{Blue, Red, White, Green}, kTurned8{Green, White, Red, Blue};

Layout layout(const QImage &image)
{
    Layout out{};
    for (int i = 0; i < 4; ++i) {
        const QRgb c = image.pixel(image.width() * (1 + 2 * (i % 2)) / 4, image.height() * (1 + 2 * (i / 2)) / 4);
        const auto high = [](int v) { return v > 180 ? 1 : v < 90 ? 0 : 8; };
        const int bits = high(qRed(c)) * 4 + high(qGreen(c)) * 2 + high(qBlue(c));
        out[i] = bits == 4 ? Red : bits == 2 ? Green : bits == 1 ? Blue : bits == 7 ? White : Other;
    }
    return out;
}

// The record's texts and its capture time ("now": the time of building).
QStringList texts(const CapturedPhoto &p, const QDateTime &before)
{
    const bool now = p.capturedAt >= before && p.capturedAt <= QDateTime::currentDateTime();
    return {p.shutter, p.aperture, p.iso, p.exposure, p.wb, p.lens,
            now ? QStringLiteral("now") : p.capturedAt.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss"))};
}

const QStringList kCameraTexts{"1/250", "f/2.8", "400", "+0.7", "AUTO", "ZOOM 18-55 @23mm", "2024:05:01 14:03:09"};
const QStringList kLibRawTexts{"1/250", "f/2.8", "400", kDash, kDash, "ZOOM 18-55 @23mm", "2024:05:01 14:03:09"};
const QStringList kNoTexts{kDash, kDash, kDash, kDash, kDash, kDash, "now"};
// LibRaw names the camera from the DNG's UniqueCameraModel ("HALVANE TEST").
const QStringList kRawModelOnly{kDash, kDash, kDash, kDash, kDash, "TEST", "now"};
const QStringList kCr3ModelOnly{kDash, kDash, kDash, kDash, kDash, "CAM-1", "now"};

// Where the stored image's quadrants are shown for each EXIF orientation, from the tag's definition
// (6: the stored top row is the right edge); other values leave the image as stored.
const std::pair<int, Layout> kOrientations[] = {
    {1, kUpright}, {2, {Green, Red, White, Blue}}, {3, kUpsideDown}, {4, {Blue, White, Red, Green}},
    {5, {Red, Blue, Green, White}}, {6, kTurned6}, {7, {White, Green, Blue, Red}}, {8, kTurned8},
    {0, kUpright}, {9, kUpright}, {65535, kUpright},
};

// What a file gives: the record's texts and sizes, the thumbnail and the full image (as big as the
// record says unless `full` is given). Layouts are checked for images that are there.
struct FileCase {
    QString name;
    QByteArray bytes;
    QString format;
    QStringList texts;
    QSize size{0, 0}, thumb{0, 0};
    Layout thumbShows = kUpright;
    QSize full{};
    Layout fullShows = kUpright;
};

TEST(BuildPhoto, EachKindOfFile)
{
    const auto cameraJpeg = [](QSize size) { // as a camera writes it, with a 160 px EXIF thumbnail
        return jpeg(quadrants(size), cameraTags(), quadrants(size).scaled(160, 160, Qt::KeepAspectRatio));
    };
    const QList<Tag> turn6{{"Exif.Image.Orientation", T::Short, "6"}};
    const QByteArray camera = cameraJpeg(QSize(1200, 800));
    QByteArray noise(4096, '\0');
    QRandomGenerator(20240501).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    // The image intact, its EXIF block's byte order, magic number and IFD offset garbage.
    QByteArray badExif = jpeg(quadrants(QSize(200, 100)), cameraTags());
    badExif.replace(badExif.indexOf(QByteArray("Exif\0\0", 6)) + 6, 40, QByteArray(40, char(0xA5)));
    // An EXIF thumbnail that is another picture than the image shows where the thumbnail came from.
    const QImage big = quadrants(QSize(2000, 1500)), other = quadrants(QSize(640, 480)).mirrored(true, true);
    const QImage q800 = quadrants(QSize(800, 600)), q512 = quadrants(QSize(512, 256));
    const QByteArray upright = heic(q512, cameraTags()), turned = heic(q512, turn6, 6, 128);
    QByteArray badCount = cr3();
    badCount[badCount.indexOf("CMT2") + 12] = char(0x7F);

    QList<FileCase> cases = {
        {"DSCF0001.JPG", camera, "JPG", kCameraTexts, {1200, 800}, {160, 106}},
        {"plain.jpeg", encode(big, "jpeg"), "JPEG", kNoTexts, {2000, 1500}, {320, 240}},
        {"a.jpg", jpeg(big, {}, other), "JPG", kNoTexts, {2000, 1500}, {320, 240}, kUpsideDown},
        {"bad-exif.jpg", badExif, "JPG", kNoTexts, {200, 100}, {200, 100}},
        // Cut in its image data: the header, EXIF block and thumbnail are there, and the top of the image.
        {"cut.jpg", camera.left(camera.size() * 2 / 3), "JPG", kCameraTexts, {1200, 800}, {160, 106}, kUpright, {},
         {Red, Green, Other, Other}},
        {"pic.png", withExif(encode(q800, "png"), cameraTags()), "PNG", kCameraTexts, {800, 600}, {320, 240}},
        {"pic.tiff", withExif(encode(q800, "tiff"), cameraTags()), "TIFF", kCameraTexts, {800, 600}, {320, 240}},
        {"pic.webp", withExif(encode(q800, "webp", 95), cameraTags()), "WEBP", kCameraTexts, {800, 600}, {320, 240}},
        {"t.tif", withExif(encode(quadrants(QSize(400, 200)), "tiff"), turn6), "TIF", kNoTexts, {400, 200}, {160, 320},
         kTurned6, {200, 400}, kTurned6},
        {"IMG_0001.HEIC", upright, "HEIC", kCameraTexts, {512, 256}, {320, 160}},
        // Turned once, by the file's own rotation box, not again by the EXIF tag; the embedded thumbnail.
        {"turned.heif", turned, "HEIF", kNoTexts, {256, 512}, {64, 128}, kTurned6, {}, kTurned6},
        // A DNG's record has the raw image's size and the largest embedded image as its picture.
        {"IMG_0001.dng", dng({.preview = quadrants(QSize(1024, 768)), .tags = cameraTags()}), "RAW", kCameraTexts,
         {256, 192}, {320, 240}, kUpright, {1024, 768}},
        {"a.DNG", dng({.preview = quadrants(QSize(800, 400)), .orientation = 8}), "RAW", kRawModelOnly, {256, 192},
         {160, 320}, kTurned8, {400, 800}, kTurned8},
        {"b.dng", dng({.smallThumb = quadrants(QSize(96, 64))}), "RAW", kRawModelOnly, {256, 192}, {96, 64}, kUpright,
         {96, 64}},
        // What Exiv2 cannot read of a raw file comes from LibRaw, which has no compensation or white balance.
        {"IMG_0002.CR3", dng({.exifOnlyLibRawReads = true}), "RAW", kLibRawTexts, {256, 192}, {96, 64}, kUpsideDown,
         {96, 64}, kUpsideDown},
        {"odd.RAF", cameraJpeg(QSize(640, 480)), "RAW", kCameraTexts, {640, 480}, {160, 120}}, // read by its content
        // A CR3's own EXIF blocks, even where LibRaw cannot open the file; one whose EXIF IFD declares
        // more entries than its block holds keeps only IFD0; one with any box cut short is not read.
        {"IMG_0003.CR3", cr3(), "RAW", kCameraTexts}, {"count.CR3", badCount, "RAW", kCr3ModelOnly},
        {"cut.CR3", cr3().chopped(1), "RAW", kNoTexts},
        {"trak.CR3", cr3(box("trak", QByteArray("\0\0\0 free", 8))), "RAW", kNoTexts},
        // No readable image: only name, size, format and the time of building.
        {"empty.jpg", {}, "JPG", kNoTexts}, {"noise.jpg", noise, "JPG", kNoTexts},
        {"damaged.jpg", QByteArray("\xFF\xD8\xFF\xE0", 4) + noise, "JPG", kNoTexts},
        {"truncated.jpg", camera.left(300), "JPG", kNoTexts}, // inside the EXIF block
        {"noise.DNG", noise, "RAW", kNoTexts}, {"noise.heic", noise, "HEIC", kNoTexts},
        {"text", "hello, not a picture", "", kNoTexts},
    };
    // Every EXIF orientation, with and without an embedded thumbnail (stored unturned, as the image).
    const QImage stored = quadrants(QSize(400, 200));
    for (const auto &[orientation, shown] : kOrientations) {
        const QList<Tag> tags{{"Exif.Image.Orientation", T::Short, QString::number(orientation)}};
        const QSize upright = orientation >= 5 && orientation <= 8 ? QSize(200, 400) : QSize(400, 200);
        const QString name = QStringLiteral("orientation-%1.jpg").arg(orientation);
        cases.append({name, jpeg(stored, tags, stored.scaled(160, 80)), "JPG", kNoTexts, stored.size(), upright * 0.4,
                      shown, upright, shown});
        cases.append({name, jpeg(stored, tags), "JPG", kNoTexts, stored.size(), upright * 0.8, shown, upright, shown});
    }
    for (const FileCase &c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        ASSERT_TRUE(c.size.isEmpty() || !c.bytes.isEmpty()) << "could not make the file (HEIC: no HEVC encoder?)";
        const QDateTime before = QDateTime::currentDateTime();
        const CapturedPhoto p = Monitor::buildPhoto(c.name, c.bytes);
        EXPECT_EQ(p.filename, c.name);
        EXPECT_EQ(p.fileSizeBytes, c.bytes.size());
        EXPECT_EQ(p.format, c.format);
        EXPECT_EQ(texts(p, before), c.texts);
        EXPECT_EQ(QSize(int(p.width), int(p.height)), c.size);
        EXPECT_EQ(p.thumb.size(), c.thumb);
        EXPECT_EQ(p.preview, nullptr); // attached by storage later, decoded when drawn
        const QImage full = decodeFullImage(c.bytes, c.name);
        EXPECT_EQ(full.size(), c.full.isValid() ? c.full : c.size);
        if (!c.size.isEmpty()) {
            EXPECT_EQ(layout(p.thumb.image()), c.thumbShows);
            EXPECT_EQ(layout(full), c.fullShows);
        }
    }
}

// How each tag is read: which storage types count, and what a wrong type or count gives.
TEST(BuildPhoto, TagTypes)
{
    enum { Shutter, Aperture, Iso, Exposure, Wb, Lens, Time }; // positions in texts()
    const QString time = "Exif.Photo.ExposureTime", f = "Exif.Photo.FNumber", iso = "Exif.Photo.ISOSpeedRatings",
                  bias = "Exif.Photo.ExposureBiasValue", wb = "Exif.Photo.WhiteBalance", model = "Exif.Image.Model",
                  lens = "Exif.Photo.LensModel", mm = "Exif.Photo.FocalLength", taken = "Exif.Photo.DateTimeOriginal";
    const std::tuple<QList<Tag>, int, const char *> rows[] = {
        {{{time, T::Short, "30"}}, Shutter, "30s"}, {{{time, T::Double, "0.004"}}, Shutter, "1/250"},
        {{{time, T::SRational, "1/125"}}, Shutter, "1/125"}, {{{time, T::Rational, "1/0"}}, Shutter, kDash},
        {{{time, T::Ascii, "1/250"}}, Shutter, kDash}, {{{time, T::Rational, "1/250 1/125"}}, Shutter, kDash},
        {{{f, T::Short, "8"}}, Aperture, "f/8.0"}, {{{iso, T::Short, "200 400"}}, Iso, "200"},
        {{{iso, T::Long, "12800"}}, Iso, "12800"}, {{{iso, T::Rational, "800/2"}}, Iso, "400"},
        {{{iso, T::Rational, "400/1 401/2"}}, Iso, kDash}, {{{iso, T::Ascii, "400"}}, Iso, kDash},
        {{{bias, T::SRational, "-1/3"}}, Exposure, "-0.3"}, {{{wb, T::Short, "5"}}, Wb, "Manual"},
        {{{wb, T::SShort, "-7"}}, Wb, "Manual"}, {{{wb, T::Rational, "0/3"}}, Wb, "AUTO"},
        {{{wb, T::Rational, "1/2"}}, Wb, kDash}, {{{wb, T::Ascii, "0"}}, Wb, kDash},
        {{{model, T::Ascii, "CAM-1   "}, {mm, T::Rational, "35/1"}}, Lens, "CAM-1 @35mm"},
        {{{model, T::Ascii, "CAM-1"}, {mm, T::Ascii, "35"}}, Lens, "CAM-1"},
        {{{model, T::Short, "7"}, {mm, T::Rational, "35/1"}}, Lens, "35mm"},
        {{{model, T::Ascii, "CAM-1"}, {lens, T::Undefined, "65 66"}}, Lens, "CAM-1"},
        // A capture time that does not parse is the time of building.
        {{{taken, T::Short, "2024"}}, Time, "now"}, {{{taken, T::Ascii, "2024-05-01T14:03:09"}}, Time, "now"},
        {{{taken, T::Ascii, "2024:13:01 14:03:09"}}, Time, "now"}, {{{taken, T::Ascii, "2024:05:01"}}, Time, "now"},
    };
    for (const auto &[tags, text, expected] : rows) {
        SCOPED_TRACE(tags.first().key.toStdString() + " " + tags.first().value.toStdString());
        const QByteArray bytes = jpeg(quadrants(QSize(64, 48)), tags);
        ASSERT_FALSE(bytes.isEmpty()) << "could not write the tags";
        const QDateTime before = QDateTime::currentDateTime();
        EXPECT_EQ(texts(Monitor::buildPhoto(QStringLiteral("t.jpg"), bytes), before).at(text), expected);
    }
}

// Qt refuses to allocate images above its limit; such a photo is shown at the largest size under
// the limit instead of not at all.
TEST(BuildPhoto, ImageAboveTheAllocationLimitIsDecodedSmaller)
{
    const QByteArray bytes = encode(quadrants(QSize(1600, 1200)), "jpeg", 90);
    ASSERT_FALSE(bytes.isEmpty());
    const int previous = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(2); // MiB; the full image needs 7.3
    const QImage full = decodeFullImage(bytes, QStringLiteral("big.jpg"));
    const CapturedPhoto p = Monitor::buildPhoto(QStringLiteral("big.jpg"), bytes);
    QImageReader::setAllocationLimit(previous);
    EXPECT_LE(qint64(full.width()) * full.height() * 4, 2 * 1024 * 1024);
    EXPECT_GE(full.width(), 400);
    EXPECT_NEAR(double(full.width()) / full.height(), 4.0 / 3.0, 0.02);
    EXPECT_EQ(layout(full), kUpright);
    EXPECT_EQ(p.width, 1600); // the record still tells the stored size
    EXPECT_EQ(p.thumb.size(), QSize(320, 240));
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Some of the user's locales write a decimal comma; the texts never do.
// A view gets the smallest 1/8, 1/4 or 1/2 decode of a JPEG that covers it, upright; the full
// image when nothing smaller covers the view or no view size is known.
TEST(BuildPhoto, DecodesForAViewAreReducedOnlyAsFarAsTheViewAllows)
{
    const QList<Tag> turn6{{"Exif.Image.Orientation", T::Short, "6"}};
    const QByteArray turned = jpeg(quadrants({1600, 800}), turn6);
    Dng spec;
    spec.preview = quadrants({1920, 1280});
    const QByteArray raw = dng(spec);
    const std::tuple<QByteArray, const char *, QSize, QSize, bool> cases[] = {
        {turned, "a.jpg", {100, 300}, {200, 400}, false}, // stored 400 × 200 covers 300 × 100
        {turned, "a.jpg", {100, 401}, {400, 800}, false},
        {turned, "a.jpg", {801, 100}, {800, 1600}, true},
        {turned, "a.jpg", {}, {800, 1600}, true},
        // This DNG's preview reaches the decoder wrapped in TIFF, not as a JPEG stream: whole.
        {raw, "a.dng", {500, 300}, {1920, 1280}, true},
    };
    for (const auto &[bytes, name, view, size, full] : cases) {
        const ViewImage shown = decodeForView(bytes, QString::fromLatin1(name), view);
        EXPECT_EQ(shown.image.size(), size) << name << " for " << view.width() << "x" << view.height();
        EXPECT_EQ(shown.full, full) << name << " for " << view.width() << "x" << view.height();
    }
    EXPECT_EQ(layout(decodeForView(turned, "a.jpg", {100, 300}).image), kTurned6);
}

TEST(PhotoText, NumberTextsInEveryLocale)
{
    using PhotoText::aperture, PhotoText::exposure, PhotoText::shutter;
    const std::tuple<QString (*)(std::optional<double>), std::optional<double>, const char *> rows[] = {
        // Below a second the denominator rounds half away from zero; from a second up exact ties
        // round as printf does, to even. Missing: no positive finite time, or a denominator
        // beyond 64 bits (2^62 still fits, 2^63 does not).
        {shutter, 0.4, "1/3"}, {shutter, 0.9, "1/1"}, {shutter, 1.0, "1s"}, {shutter, 1.3, "1s"}, {shutter, 2.5, "2s"},
        {shutter, 3.5, "4s"}, {shutter, 1.5e10, "15000000000s"}, {shutter, 0x1p-62, "1/4611686018427387904"},
        {shutter, 0x1p-63, kDash}, {shutter, std::numeric_limits<double>::denorm_min(), kDash}, {shutter, 0.0, kDash},
        {shutter, -0.004, kDash}, {shutter, kNaN, kDash}, {shutter, kInf, kDash}, {shutter, {}, kDash},
        // No range check on apertures; printf's tie rule.
        {aperture, 11.0, "f/11.0"}, {aperture, 0.0, "f/0.0"}, {aperture, 2.25, "f/2.2"}, {aperture, kNaN, kDash},
        {aperture, 1e20, "f/100000000000000000000.0"}, {aperture, {}, kDash},
        // Within 0.05 of zero the compensation shows as none.
        {exposure, 0.04, "\u00b10"}, {exposure, -0.04, "\u00b10"}, {exposure, 0.05, "+0.1"}, {exposure, -0.33, "-0.3"},
        {exposure, 0.25, "+0.2"}, {exposure, -0.75, "-0.8"}, {exposure, -kInf, kDash}, {exposure, {}, kDash},
    };
    for (const char *locale : {"C", "de_DE.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale << " is not generated (scripts/test does)";
        for (const auto &[text, value, expected] : rows)
            EXPECT_EQ(text(value), QString::fromUtf8(expected)) << locale << " " << value.value_or(-1234.5);
    }
    std::setlocale(LC_ALL, "C");
}

TEST(PhotoText, LensFromLensModelOrCameraModelAndFocalLength)
{
    using Text = std::optional<QString>;
    const std::tuple<Text, Text, std::optional<double>, const char *> rows[] = {
        {"CAM-1", "ZOOM 18-55", 23.9, "ZOOM 18-55 @23mm"}, {"CAM-1", {}, 35.0, "CAM-1 @35mm"}, {{}, {}, 35.0, "35mm"},
        {{}, {}, {}, kDash}, {{}, "PRIME 50", {}, "PRIME 50"},
        {"CAM-1", "", 50.0, "50mm"}, {"CAM-1", "", {}, kDash}, // even an empty lens model replaces the camera's
        {"CAM-1", {}, 0.0, "CAM-1"}, {"CAM-1", {}, 0.5, "CAM-1 @0mm"}, {"CAM-1", {}, 9.3e18, "CAM-1"},
        {"CAM-1", {}, kInf, "CAM-1"}, {"CAM-1", {}, kNaN, "CAM-1"},
    };
    for (const auto &[model, lensModel, focal, text] : rows)
        EXPECT_EQ(PhotoText::lens(model, lensModel, focal), QString::fromUtf8(text)) << text;
    EXPECT_EQ(PhotoText::iso(QList<qint64>{}), kDash); // an ISO tag with no element
}

TEST(PhotoText, FormatFromTheLastExtension)
{
    const char *const rows[][2] = {
        {"IMG_0001.jpg", "JPG"}, {"IMG_0001.HEIC", "HEIC"}, {"foto.JpEg", "JPEG"}, {"archive.tar.gz", "GZ"},
        {"x.raw.jpg", "JPG"}, {"x.jpg.raf", "RAW"}, {"rawfile.rawr", "RAWR"}, {"README", ""}, {".profile", ""},
        {"name.", ""}, {"dir.d/file", ""},
    };
    for (const auto &[name, format] : rows)
        EXPECT_EQ(PhotoText::format(QString::fromUtf8(name)), QString::fromUtf8(format)) << name;
}

} // namespace
