#include <QLocale>
#include <QMap>
#include <QString>

#include <clocale>
#include <limits>

#include <gtest/gtest.h>

#include "params/ParamFormat.h"

// The director sidebar's texts for raw parameter values, checked in the C locale and again under
// one that writes a decimal comma (the texts never do).
namespace {

const char *const kDash = "\u2014";

// Microseconds and their text.
const std::pair<qint64, const char *> kShutter[] = {
    // The text is the reciprocal of the snapped entry, which is the nominal speed rounded to
    // whole microseconds, halves away from zero: 1/6400 s is 156 µs, 1/3200 s is 313 µs.
    {125, "1/8000s"}, {156, "1/6410s"}, {313, "1/3195s"}, {1563, "1/640s"}, {16667, "1/60s"},
    {76923, "1/13s"}, {400000, "1/3s"}, {600000, "1/2s"}, {800000, "1/1s"}, {1000000, "1s"},
    {1300000, "1.3s"}, {2500000, "2.5s"}, {30000000, "30s"},
    // Between entries the nearest wins; an exact tie goes to the shorter time.
    {1125, "1/1000s"}, {1126, "1/800s"}, {140, "1/8000s"}, {141, "1/6410s"}, {1150000, "1s"},
    {1150001, "1.3s"}, {16000, "1/60s"},
    // Beyond either end, and no time at all.
    {1, "1/8000s"}, {60000000, "30s"}, {std::numeric_limits<qint64>::max(), "30s"}, {0, kDash},
    {-5, kDash}, {std::numeric_limits<qint64>::min(), kDash},
};

// Key, value and text.
const std::tuple<const char *, qint64, const char *> kLabels[] = {
    // Apertures in hundredths: whole numbers drop the decimal, nothing below 1.
    {"aperture", 400, "f/4"}, {"aperture", 1100, "f/11"}, {"aperture", 560, "f/5.6"},
    {"aperture", 280, "f/2.8"}, {"aperture", 1250, "f/12.5"}, {"aperture", 199, "f/2.0"},
    {"aperture", 1, "f/0.0"}, {"aperture", 0, kDash}, {"aperture", -100, kDash},
    // ISO: only the unsigned 32-bit AUTO codes are named.
    {"iso", 800, "800"}, {"iso", 0, "0"}, {"iso", 4294967295LL, "AUTO1"}, {"iso", 4294967294LL, "AUTO2"},
    {"iso", 4294967293LL, "AUTO3"}, {"iso", 4294967292LL, "4294967292"}, {"iso", -1, "-1"},
    {"colorTemperature", 5500, "5500K"}, {"colorTemperature", 10000, "10000K"},
    {"colorTemperature", 0, "0K"}, {"colorTemperature", -20, "-20K"},
    {"shutterSpeed", 4000, "1/250s"},
    // Named values, and the code for values and keys without a name (keys match exactly).
    {"filmSimulation", 1, "PROVIA/Std"}, {"filmSimulation", 20, "REALA ACE"}, {"filmSimulation", 21, "#21"},
    {"filmSimulation", 0, "#0"}, {"dynamicRangeMode", 65535, "AUTO"}, {"dynamicRangeMode", 400, "DR400"},
    {"dynamicRangeMode", 300, "#300"}, {"grainEffect", 0, "#0"}, {"grainEffect", 1, "Sin grano"},
    {"grainEffect", 4, "Débil/Grueso"}, {"whiteBalanceMode", 2, "#2"}, {"wbTune1", -3, "#-3"},
    {"wbTune2", 0, "#0"}, {"exposureComp", -7, "#-7"}, {"Aperture", 280, "#280"}, {"", 5, "#5"},
};

TEST(ParamFormat, ValueTextsInEveryLocale)
{
    const QLocale previous;
    for (const auto &[locale, language] : {std::pair{"C", QLocale::C}, std::pair{"de_DE.UTF-8", QLocale::German}}) {
        // scripts/test generates the second; without it the test would prove nothing.
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale << " is not generated";
        QLocale::setDefault(QLocale(language));
        EXPECT_STREQ(std::localeconv()->decimal_point, language == QLocale::C ? "." : ",");
        for (const auto &[microseconds, text] : kShutter)
            EXPECT_EQ(ParamFormat::shutter(microseconds), QString::fromUtf8(text)) << microseconds;
        for (const auto &[key, value, text] : kLabels)
            EXPECT_EQ(ParamFormat::label(QString::fromUtf8(key), value), QString::fromUtf8(text))
                << key << " " << value;
    }
    std::setlocale(LC_ALL, "C");
    QLocale::setDefault(previous);
}

TEST(ParamFormat, KnownKeysInVocabularyOrderThenTheRestByCodePoint)
{
    // U+1F600 is a surrogate pair in UTF-16 and would sort before U+FF21 by code unit.
    const QString emoji = QString::fromUcs4(U"\U0001F600");
    const QString fullwidth = QString::fromUcs4(U"\uFF21");
    QMap<QString, ParamState> state;
    for (const QString &key : QStringList{"wbTune2", "zeta", emoji, "iso", "Alpha", fullwidth, "shutterSpeed",
                                          "beta", "grainEffect", "aperture"})
        state.insert(key, ParamState{1, {}});
    EXPECT_EQ(ParamFormat::orderedParamNames(state),
              QStringList({"shutterSpeed", "aperture", "iso", "grainEffect", "wbTune2", "Alpha", "beta", "zeta",
                           fullwidth, emoji}));
}

} // namespace
