#include <QFile>
#include <QImageReader>
#include <QtEndian>

#include <fstream>

#include <gtest/gtest.h>

#include "SampleFiles.h"
#include "ingest/ImageDecode.h"
#include "ingest/MediaBoxes.h"
#include "state/Monitor.h"

// What one received file can make the decoders do: the sizes it declares are checked against its
// bytes, every decode has a pixel limit, and a hostile file's record costs little memory.
namespace {

using namespace SampleFiles;

QByteArray be(quint64 value, int bytes)
{
    QByteArray out(8, '\0');
    qToBigEndian(value, out.data());
    return out.right(bytes);
}

// A 'meta' box (44 bytes without `more`) whose 'iloc' has one item of one extent built by
// `method` (0: in the file, 1: in the 'idat'), with 32-bit offset and length unless `sizes` differs.
QByteArray meta(quint32 offset, quint32 length, int method = 0, const QByteArray &more = {}, char sizes = 0x44)
{
    const QByteArray iloc = QByteArray("\1\0\0\0", 4) + sizes + QByteArray(1, '\0') + be(1, 2) + be(1, 2)
        + be(quint64(method), 2) + be(0, 2) + be(1, 2) + be(offset, 4) + be(length, 4);
    return box("meta", QByteArray(4, '\0') + box("iloc", iloc) + more);
}

// Writes `w` and `h` as big-endian fields of `width` bytes `at` bytes after every `marker` in
// `bytes` from `from` on.
QByteArray patched(QByteArray bytes, const QByteArray &marker, qsizetype at, quint32 w, quint32 h, int width,
                   qsizetype from = 0)
{
    for (qsizetype i = bytes.indexOf(marker, from); i >= 0; i = bytes.indexOf(marker, i + 1))
        bytes.replace(i + at, 2 * width, be(w, width) + be(h, width));
    return bytes;
}

// This process's resident memory in KiB: "VmRSS" now, "VmHWM" its peak since the last reset.
qint64 residentKiB(const char *field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stoll(line.substr(qstrlen(field)));
    return -1;
}

} // namespace

TEST(MediaBoxes, DeclaredSizesHoldOnlyWithinTheBytesThere)
{
    QByteArray nested = box("free", {});
    for (int depth = 1; depth < MediaBoxes::kMaxDepth; ++depth)
        nested = box("moov", nested);
    const QByteArray tooDeep = box("moov", nested), many = box("free", {}).repeated(MediaBoxes::kMaxBoxes);
    const QByteArray idat = box("idat", "abcd");
    const std::pair<QByteArray, bool> cases[] = {
        {box("free", "abc"), true}, {box("free", "abc").chopped(1), false}, {QByteArray("\0\0\0\4\0\0\0\x0c" "free" "abcd", 16), false},
        {QByteArray("\0\0\0\0free", 8) + "to the end", true}, {QByteArray("\0\0\0\1free", 8) + be(16, 8), true},
        {QByteArray("\0\0\0\1free", 8) + be(17, 8), false}, {box("uuid", QByteArray(15, 'u')), false},
        {nested, true}, {tooDeep, false}, {many, true}, {many + box("free", {}), false},
        // Item extents: in the file (44 bytes), in the 'idat' (4 bytes); length 0 runs to the end.
        {meta(0, 44), true}, {meta(0, 45), false}, {meta(40, 4), true}, {meta(41, 4), false}, {meta(44, 0), true},
        {meta(45, 0), false}, {meta(0, 4, 1, idat), true}, {meta(1, 4, 1, idat), false},
        {meta(0, 44, 0, {}, 0x24), false}, // 16-bit offsets do not exist
    };
    for (const auto &[bytes, holds] : cases)
        EXPECT_EQ(MediaBoxes::sizesHold(bytes), holds) << bytes.toHex().left(120).toStdString();
}

// Over the pixel limit, a photo is decoded reduced where its format can do that while decoding,
// a HEIF shows its thumbnail item, and anything else, live frames included, is not decoded.
TEST(DecodeLimits, OverThePixelLimitReducedWhereTheFormatAllowsOrNotDecoded)
{
    const int previous = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1); // MiB, a limit of 262,144 pixels: 512 × 512
    const QImage big = quadrants({640, 480}), square = quadrants({512, 512}), over = quadrants({513, 512});
    const std::tuple<const char *, QByteArray, QSize, QSize> cases[] = {
        {"a.jpg", encode(big, "jpeg"), {320, 240}, {560, 420}}, // 7/8 of the stored size
        {"a.png", encode(big, "png"), {0, 0}, {0, 0}}, // PNG and TIFF cannot be read reduced
        {"b.tif", encode(square, "tiff"), {320, 320}, {512, 512}},
        {"c.tif", encode(over, "tiff"), {0, 0}, {0, 0}},
        {"a.heic", heic(big, {}, 1, 64), {64, 48}, {64, 48}},
        {"b.heic", heic(big), {0, 0}, {0, 0}},
    };
    for (const auto &[name, bytes, thumb, full] : cases) {
        const CapturedPhoto p = Monitor::buildPhoto(name, bytes);
        EXPECT_GT(p.width, 0) << name; // the record still tells the stored size
        EXPECT_EQ(p.thumb.size(), thumb) << name;
        EXPECT_EQ(decodeFullImage(bytes, name).size(), full) << name;
    }
    EXPECT_EQ(decodeFrame(encode(square, "jpeg")).size(), QSize(512, 512));
    EXPECT_TRUE(decodeFrame(encode(over, "jpeg")).isNull());
    EXPECT_EQ(decodeFrame(encode(square, "png")).size(), QSize(512, 512));
    EXPECT_TRUE(decodeFrame(encode(over, "png")).isNull());
    QImageReader::setAllocationLimit(previous);
}

// Files whose declared sizes are far beyond what they hold, and one within the claim but over
// the limit: each record costs a bounded amount of memory whatever the file says.
TEST(DecodeLimits, HostileFilesCostLittleMemory)
{
    QFile found(QStringLiteral(HALVANE_SOURCE_DIR "/fuzz/corpus/fuzz_build_photo/heif-declared-sizes"));
    ASSERT_TRUE(found.open(QIODevice::ReadOnly));
    QImage blank(32768, 32768, QImage::Format_Mono);
    blank.fill(0);
    const QByteArray png = encode(blank, "png"); // 1 MB that decodes to 2^30 pixels
    const QByteArray small = encode(quadrants({64, 64}), "jpeg"), grid = found.readAll().mid(1);
    // None is decoded; the record keeps the size the file tells where it is read at all.
    const std::tuple<const char *, QByteArray, qint64> cases[] = {
        {"grid.heic", grid, 0}, // a 19789² grid of one 64² tile, its 'ispe' 16 × 24
        {"4000.heic", patched(grid, "MMMM", 0, 4000, 4000, 2), 0}, // within the pixel limit
        {"cover.heic", patched(patched(grid, "MMMM", 0, 4000, 4000, 2), "ispe", 8, 4000, 4000, 4, grid.lastIndexOf("ispe")), 0},
        {"ispe.heic", patched(heic(quadrants({64, 64})), "ispe", 8, 20000, 20000, 4), 0},
        {"sof.jpg", patched(small, "\xFF\xC0", 5, 65000, 65000, 2), 65000},
        {"big.png", png, 32768},
    };
    for (const auto &[name, bytes, width] : cases) {
        std::ofstream("/proc/self/clear_refs") << '5'; // the peak is now
        const qint64 before = residentKiB("VmRSS:");
        ASSERT_GT(before, 0);
        const CapturedPhoto p = Monitor::buildPhoto(name, bytes);
        EXPECT_LT(residentKiB("VmHWM:") - before, 64 * 1024) << name;
        EXPECT_EQ(p.width, width) << name;
        EXPECT_TRUE(p.thumb.isNull()) << name;
    }
}
