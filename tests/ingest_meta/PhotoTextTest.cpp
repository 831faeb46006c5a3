#include <QDateTime>

#include <clocale>
#include <limits>

#include <gtest/gtest.h>

#include "ingest/PhotoText.h"

// The display rules at their edges, including values no file in the other tests can carry
// (non-finite numbers, 64-bit overflow). The texts a real file produces are checked end to end in
// BuildPhotoTest.
namespace {

const QString kDash = QStringLiteral("\u2014");
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct FormatCase {
    const char *name;
    const char *format;
};

class FormatFromName : public ::testing::TestWithParam<FormatCase>
{
};

TEST_P(FormatFromName, ClassifiesByLastExtension)
{
    EXPECT_EQ(PhotoText::format(QString::fromUtf8(GetParam().name)), QString::fromUtf8(GetParam().format));
}

INSTANTIATE_TEST_SUITE_P(Names, FormatFromName,
    ::testing::Values(FormatCase { "IMG_0001.RAF", "RAW" }, FormatCase { "IMG_0001.raf", "RAW" },
        FormatCase { "IMG_0001.Raf", "RAW" }, FormatCase { "a.cr2", "RAW" }, FormatCase { "a.CR3", "RAW" },
        FormatCase { "a.nef", "RAW" }, FormatCase { "a.arw", "RAW" }, FormatCase { "a.dng", "RAW" },
        FormatCase { "a.orf", "RAW" }, FormatCase { "a.rw2", "RAW" }, FormatCase { "a.srw", "RAW" },
        FormatCase { "a.pef", "RAW" }, FormatCase { "a.rwl", "RAW" }, FormatCase { "a.gpr", "RAW" },
        FormatCase { "a.raw", "RAW" }, FormatCase { "IMG_0001.jpg", "JPG" },
        FormatCase { "IMG_0001.HEIC", "HEIC" }, FormatCase { "README", "" },
        FormatCase { "archive.tar.gz", "GZ" }, FormatCase { "x.raw.jpg", "JPG" },
        FormatCase { "x.jpg.raf", "RAW" }, FormatCase { "rawfile.rawr", "RAWR" },
        FormatCase { ".profile", "" }, FormatCase { "name.", "" }, FormatCase { "dir.d/file", "" },
        FormatCase { "foto.JpEg", "JPEG" }));

TEST(ShutterText, RoundsTheDenominatorHalfAwayFromZero)
{
    EXPECT_EQ(PhotoText::shutter(0.004), QStringLiteral("1/250"));
    EXPECT_EQ(PhotoText::shutter(1.0 / 4000), QStringLiteral("1/4000"));
    EXPECT_EQ(PhotoText::shutter(0.3), QStringLiteral("1/3"));
    EXPECT_EQ(PhotoText::shutter(0.4), QStringLiteral("1/3")); // 2.5 rounds up, not to even
    EXPECT_EQ(PhotoText::shutter(0.5), QStringLiteral("1/2"));
    EXPECT_EQ(PhotoText::shutter(0.9), QStringLiteral("1/1"));
}

TEST(ShutterText, SecondsFromOneUp)
{
    EXPECT_EQ(PhotoText::shutter(1.0), QStringLiteral("1s"));
    EXPECT_EQ(PhotoText::shutter(1.3), QStringLiteral("1s"));
    EXPECT_EQ(PhotoText::shutter(30.0), QStringLiteral("30s"));
    EXPECT_EQ(PhotoText::shutter(1.5e10), QStringLiteral("15000000000s"));
    // Exact ties round as printf does, to even.
    EXPECT_EQ(PhotoText::shutter(2.5), QStringLiteral("2s"));
    EXPECT_EQ(PhotoText::shutter(3.5), QStringLiteral("4s"));
}

TEST(ShutterText, MissingForNoPositiveFiniteTimeOrAnOverflowingDenominator)
{
    EXPECT_EQ(PhotoText::shutter(std::nullopt), kDash);
    EXPECT_EQ(PhotoText::shutter(0.0), kDash);
    EXPECT_EQ(PhotoText::shutter(-0.004), kDash);
    EXPECT_EQ(PhotoText::shutter(kNaN), kDash);
    EXPECT_EQ(PhotoText::shutter(kInf), kDash);
    EXPECT_EQ(PhotoText::shutter(1e-300), kDash); // 1/t far beyond 64 bits
    EXPECT_EQ(PhotoText::shutter(std::numeric_limits<double>::denorm_min()), kDash); // 1/t is infinite
    // Just inside and just outside the signed 64-bit range.
    EXPECT_EQ(PhotoText::shutter(1.0 / 4611686018427387904.0), QStringLiteral("1/4611686018427387904"));
    EXPECT_EQ(PhotoText::shutter(1.0 / 9223372036854775808.0), kDash);
}

TEST(ApertureExposureWbText, FormatAndMissing)
{
    EXPECT_EQ(PhotoText::aperture(2.8), QStringLiteral("f/2.8"));
    EXPECT_EQ(PhotoText::aperture(11.0), QStringLiteral("f/11.0"));
    EXPECT_EQ(PhotoText::aperture(0.0), QStringLiteral("f/0.0")); // no range check
    EXPECT_EQ(PhotoText::aperture(2.25), QStringLiteral("f/2.2")); // printf's tie rule
    EXPECT_EQ(PhotoText::aperture(1e20), QStringLiteral("f/100000000000000000000.0"));
    EXPECT_EQ(PhotoText::aperture(kNaN), kDash);
    EXPECT_EQ(PhotoText::aperture(std::nullopt), kDash);

    EXPECT_EQ(PhotoText::exposure(0.04), QStringLiteral("\u00b10"));
    EXPECT_EQ(PhotoText::exposure(-0.04), QStringLiteral("\u00b10"));
    EXPECT_EQ(PhotoText::exposure(0.0), QStringLiteral("\u00b10"));
    EXPECT_EQ(PhotoText::exposure(0.05), QStringLiteral("+0.1"));
    EXPECT_EQ(PhotoText::exposure(-0.33), QStringLiteral("-0.3"));
    EXPECT_EQ(PhotoText::exposure(0.67), QStringLiteral("+0.7"));
    EXPECT_EQ(PhotoText::exposure(-1.0), QStringLiteral("-1.0"));
    EXPECT_EQ(PhotoText::exposure(2.0), QStringLiteral("+2.0"));
    EXPECT_EQ(PhotoText::exposure(0.25), QStringLiteral("+0.2"));
    EXPECT_EQ(PhotoText::exposure(-0.75), QStringLiteral("-0.8"));
    EXPECT_EQ(PhotoText::exposure(-kInf), kDash);
    EXPECT_EQ(PhotoText::exposure(std::nullopt), kDash);

    EXPECT_EQ(PhotoText::whiteBalance(0), QStringLiteral("AUTO"));
    EXPECT_EQ(PhotoText::whiteBalance(1), QStringLiteral("Manual"));
    EXPECT_EQ(PhotoText::whiteBalance(-7), QStringLiteral("Manual"));
    EXPECT_EQ(PhotoText::whiteBalance(std::nullopt), kDash);

    EXPECT_EQ(PhotoText::iso(QList<qint64> { 200, 400 }), QStringLiteral("200"));
    EXPECT_EQ(PhotoText::iso(QList<qint64> {}), kDash);
    EXPECT_EQ(PhotoText::iso(std::nullopt), kDash);
}

TEST(LensText, CombinesModelLensAndFocalLength)
{
    const auto s = [](const char *t) { return std::optional<QString>(QString::fromUtf8(t)); };
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), s("ZOOM 18-55"), 23.9), QStringLiteral("ZOOM 18-55 @23mm"));
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), std::nullopt, 35.0), QStringLiteral("CAM-1 @35mm"));
    EXPECT_EQ(PhotoText::lens(std::nullopt, std::nullopt, 35.0), QStringLiteral("35mm"));
    EXPECT_EQ(PhotoText::lens(std::nullopt, std::nullopt, std::nullopt), kDash);
    EXPECT_EQ(PhotoText::lens(std::nullopt, s("PRIME 50"), std::nullopt), QStringLiteral("PRIME 50"));
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), s(""), 50.0), QStringLiteral("50mm")); // empty lens model wins
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), s(""), std::nullopt), kDash);
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), std::nullopt, 0.0), QStringLiteral("CAM-1"));
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), std::nullopt, 0.5), QStringLiteral("CAM-1 @0mm"));
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), std::nullopt, 9.3e18), QStringLiteral("CAM-1")); // beyond 64 bits
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), std::nullopt, kInf), QStringLiteral("CAM-1"));
    EXPECT_EQ(PhotoText::lens(s("CAM-1"), std::nullopt, kNaN), QStringLiteral("CAM-1"));
}

TEST(CaptureTime, ParsesTheExifPatternInLocalTime)
{
    const auto parsed = PhotoText::captureTime(QStringLiteral("2024:05:01 14:03:09"));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, QDateTime(QDate(2024, 5, 1), QTime(14, 3, 9), Qt::LocalTime));
    for (const char *bad : { "2024-05-01 14:03:09", "2024:13:01 14:03:09", "0000:00:00 00:00:00",
             "    :  :     :  :  ", "", "2024:05:01" })
        EXPECT_FALSE(PhotoText::captureTime(QString::fromUtf8(bad)).has_value()) << bad;
}

// Some of the user's locales write a decimal comma; the texts never do.
TEST(NumberTexts, UseADecimalPointInEveryLocale)
{
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8"))
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (scripts/test installs it)";
    const QString aperture = PhotoText::aperture(2.8);
    const QString exposure = PhotoText::exposure(0.67);
    const QString seconds = PhotoText::shutter(2.5);
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(aperture, QStringLiteral("f/2.8"));
    EXPECT_EQ(exposure, QStringLiteral("+0.7"));
    EXPECT_EQ(seconds, QStringLiteral("2s"));
}

} // namespace
