#include <QLocale>
#include <QMap>
#include <QString>

#include <clocale>

#include <gtest/gtest.h>

#include "params/ParamFormat.h"

namespace {

struct Case {
    qint64 value;
    const char *text;
};

QString dash() { return QStringLiteral("\u2014"); }

void PrintTo(const Case &c, std::ostream *os) { *os << c.value << " -> " << c.text; }

class ShutterText : public ::testing::TestWithParam<Case> {};

TEST_P(ShutterText, SnapsToTheNearestStandardSpeed)
{
    EXPECT_EQ(ParamFormat::shutter(GetParam().value), QString::fromUtf8(GetParam().text));
}

INSTANTIATE_TEST_SUITE_P(Table, ShutterText, ::testing::Values(
    // Texts come from the reciprocal of the snapped value, not the nominal speed.
    Case{125, "1/8000s"}, Case{156, "1/6410s"}, Case{313, "1/3195s"}, Case{1563, "1/640s"},
    Case{16667, "1/60s"}, Case{76923, "1/13s"}, Case{400000, "1/3s"}, Case{600000, "1/2s"},
    Case{800000, "1/1s"}, Case{1000000, "1s"}, Case{1300000, "1.3s"}, Case{2500000, "2.5s"},
    Case{30000000, "30s"},
    // Between entries: nearest wins, a tie goes to the shorter time.
    Case{1125, "1/1000s"}, Case{1126, "1/800s"}, Case{140, "1/8000s"}, Case{141, "1/6410s"},
    Case{1150000, "1s"}, Case{1150001, "1.3s"}, Case{16000, "1/60s"},
    // Beyond either end.
    Case{1, "1/8000s"}, Case{60000000, "30s"}, Case{std::numeric_limits<qint64>::max(), "30s"}));

TEST(ShutterText, NonPositiveIsMissing)
{
    EXPECT_EQ(ParamFormat::shutter(0), dash());
    EXPECT_EQ(ParamFormat::shutter(-5), dash());
    EXPECT_EQ(ParamFormat::shutter(std::numeric_limits<qint64>::min()), dash());
}

TEST(ShutterTable, IsAscendingAndRoundedFromNominalSpeeds)
{
    const QList<qint64> &us = ParamFormat::standardShutterMicroseconds();
    ASSERT_EQ(us.size(), 55);
    EXPECT_TRUE(std::is_sorted(us.begin(), us.end()));
    EXPECT_EQ(us.first(), 125);
    EXPECT_EQ(us[1], 156);      // 1/6400 s = 156.25 µs
    EXPECT_EQ(us[4], 313);      // 1/3200 s = 312.5 µs, half rounds away from zero
    EXPECT_EQ(us[11], 1563);    // 1/640 s = 1562.5 µs
    EXPECT_EQ(us[21], 16667);   // 1/60 s
    EXPECT_EQ(us.last(), 30000000);
}

TEST(ApertureText, WholeNumbersDropTheDecimal)
{
    EXPECT_EQ(ParamFormat::aperture(0), dash());
    EXPECT_EQ(ParamFormat::aperture(-100), dash());
    EXPECT_EQ(ParamFormat::aperture(400), QStringLiteral("f/4"));
    EXPECT_EQ(ParamFormat::aperture(1100), QStringLiteral("f/11"));
    EXPECT_EQ(ParamFormat::aperture(560), QStringLiteral("f/5.6"));
    EXPECT_EQ(ParamFormat::aperture(280), QStringLiteral("f/2.8"));
    EXPECT_EQ(ParamFormat::aperture(1250), QStringLiteral("f/12.5"));
    EXPECT_EQ(ParamFormat::aperture(199), QStringLiteral("f/2.0"));
    EXPECT_EQ(ParamFormat::aperture(1), QStringLiteral("f/0.0"));
}

TEST(IsoText, AutoCodesAreTheUnsignedFormsOnly)
{
    EXPECT_EQ(ParamFormat::iso(800), QStringLiteral("800"));
    EXPECT_EQ(ParamFormat::iso(0), QStringLiteral("0"));
    EXPECT_EQ(ParamFormat::iso(4294967295LL), QStringLiteral("AUTO1"));
    EXPECT_EQ(ParamFormat::iso(4294967294LL), QStringLiteral("AUTO2"));
    EXPECT_EQ(ParamFormat::iso(4294967293LL), QStringLiteral("AUTO3"));
    EXPECT_EQ(ParamFormat::iso(4294967292LL), QStringLiteral("4294967292"));
    EXPECT_EQ(ParamFormat::iso(-1), QStringLiteral("-1"));
}

TEST(KelvinText, HasNoLowerBound)
{
    EXPECT_EQ(ParamFormat::kelvin(5500), QStringLiteral("5500K"));
    EXPECT_EQ(ParamFormat::kelvin(0), QStringLiteral("0K"));
    EXPECT_EQ(ParamFormat::kelvin(-20), QStringLiteral("-20K"));
}

struct LabelCase {
    const char *key;
    qint64 value;
    const char *text;
};

void PrintTo(const LabelCase &c, std::ostream *os) { *os << c.key << "=" << c.value; }

class LabelText : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelText, ChoosesTheFormatterByExactKey)
{
    const LabelCase &c = GetParam();
    EXPECT_EQ(ParamFormat::label(QString::fromUtf8(c.key), c.value), QString::fromUtf8(c.text));
}

INSTANTIATE_TEST_SUITE_P(Table, LabelText, ::testing::Values(
    LabelCase{"aperture", 280, "f/2.8"}, LabelCase{"Aperture", 280, "#280"},
    LabelCase{"shutterSpeed", 4000, "1/250s"}, LabelCase{"iso", 4294967295LL, "AUTO1"},
    LabelCase{"colorTemperature", 5500, "5500K"},
    LabelCase{"filmSimulation", 1, "PROVIA/Std"}, LabelCase{"filmSimulation", 20, "REALA ACE"},
    LabelCase{"filmSimulation", 21, "#21"}, LabelCase{"filmSimulation", 0, "#0"},
    LabelCase{"dynamicRangeMode", 65535, "AUTO"}, LabelCase{"dynamicRangeMode", 400, "DR400"},
    LabelCase{"dynamicRangeMode", 300, "#300"},
    LabelCase{"grainEffect", 0, "#0"}, LabelCase{"grainEffect", 1, "Sin grano"},
    LabelCase{"grainEffect", 4, "Débil/Grueso"},
    LabelCase{"whiteBalanceMode", 2, "#2"}, LabelCase{"wbTune1", -3, "#-3"},
    LabelCase{"wbTune2", 0, "#0"}, LabelCase{"exposureComp", -7, "#-7"},
    LabelCase{"", 5, "#5"}));

TEST(DisplayLabel, FallsBackToTheKey)
{
    EXPECT_EQ(ParamFormat::displayLabel(QStringLiteral("filmSimulation")), QStringLiteral("Simulación de película"));
    EXPECT_EQ(ParamFormat::displayLabel(QStringLiteral("wbTune2")), QStringLiteral("Ajuste WB (eje 2)"));
    EXPECT_EQ(ParamFormat::displayLabel(QStringLiteral("exposureComp")), QStringLiteral("exposureComp"));
    EXPECT_EQ(ParamFormat::displayLabel(QStringLiteral("ISO")), QStringLiteral("ISO"));
}

QMap<QString, ParamState> stateWithKeys(const QStringList &keys)
{
    QMap<QString, ParamState> state;
    for (const QString &k : keys)
        state.insert(k, ParamState{1, {}});
    return state;
}

TEST(OrderedParamNames, KnownKeysFirstThenCodePointOrder)
{
    EXPECT_EQ(ParamFormat::orderedParamNames(stateWithKeys({"iso", "zeta", "Alpha", "aperture", "beta"})),
              QStringList({"aperture", "iso", "Alpha", "beta", "zeta"}));
    EXPECT_TRUE(ParamFormat::orderedParamNames({}).isEmpty());

    QStringList all = ParamFormat::paramOrder();
    std::reverse(all.begin(), all.end());
    all << "exposureComp";
    EXPECT_EQ(ParamFormat::orderedParamNames(stateWithKeys(all)),
              ParamFormat::paramOrder() + QStringList{"exposureComp"});
}

TEST(OrderedParamNames, SortsBeyondTheBasicPlaneByScalarValue)
{
    // U+1F600 is a surrogate pair in UTF-16 and would sort before U+FF21 by code unit.
    const QString emoji = QString::fromUcs4(U"\U0001F600");
    const QString fullwidth = QString::fromUcs4(U"\uFF21");
    EXPECT_EQ(ParamFormat::orderedParamNames(stateWithKeys({emoji, fullwidth, "Z"})),
              QStringList({"Z", fullwidth, emoji}));
}

// Number texts use "." whatever the user's locale says.
TEST(Formatting, DecimalPointUnderACommaLocale)
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // scripts/test generates this locale; without it the test would prove nothing.
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "de_DE.UTF-8 is not generated";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    EXPECT_EQ(ParamFormat::aperture(280), QStringLiteral("f/2.8"));
    EXPECT_EQ(ParamFormat::shutter(1300000), QStringLiteral("1.3s"));
    EXPECT_EQ(ParamFormat::label(QStringLiteral("colorTemperature"), 10000), QStringLiteral("10000K"));
    EXPECT_EQ(ParamFormat::iso(12800), QStringLiteral("12800"));
    std::setlocale(LC_ALL, "C");
    QLocale::setDefault(previous);
}

} // namespace
