#include "params/ParamFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "model/Missing.h"

namespace {

// printf-style formatting of one double. snprintf follows the C locale's LC_NUMERIC, which
// Qt applications leave at "C", but a host program may not: QString::asprintf always writes
// "." as decimal separator, whatever the locale.
QString format(const char *fmt, double value)
{
    return QString::asprintf(fmt, value);
}

QString codeText(qint64 value)
{
    return QStringLiteral("#") + QString::number(value);
}

QString named(const QMap<qint64, QString> &table, qint64 value)
{
    const auto it = table.constFind(value);
    return it != table.constEnd() ? *it : codeText(value);
}

// Nearest integer, halves away from zero (std::llround's rule).
qint64 roundHalfAway(double v)
{
    return static_cast<qint64>(std::llround(v));
}

} // namespace

const QStringList &ParamFormat::paramOrder()
{
    static const QStringList order = {
        QStringLiteral("shutterSpeed"), QStringLiteral("aperture"), QStringLiteral("iso"),
        QStringLiteral("colorTemperature"), QStringLiteral("whiteBalanceMode"),
        QStringLiteral("filmSimulation"), QStringLiteral("dynamicRangeMode"),
        QStringLiteral("grainEffect"), QStringLiteral("wbTune1"), QStringLiteral("wbTune2"),
    };
    return order;
}

const QMap<QString, QString> &ParamFormat::paramLabels()
{
    static const QMap<QString, QString> labels = {
        {QStringLiteral("shutterSpeed"), QStringLiteral("Velocidad")},
        {QStringLiteral("aperture"), QStringLiteral("Apertura")},
        {QStringLiteral("iso"), QStringLiteral("ISO")},
        {QStringLiteral("colorTemperature"), QStringLiteral("Temperatura de color")},
        {QStringLiteral("whiteBalanceMode"), QStringLiteral("Balance de blancos")},
        {QStringLiteral("filmSimulation"), QStringLiteral("Simulación de película")},
        {QStringLiteral("dynamicRangeMode"), QStringLiteral("Rango dinámico")},
        {QStringLiteral("grainEffect"), QStringLiteral("Granulado")},
        {QStringLiteral("wbTune1"), QStringLiteral("Ajuste WB (eje 1)")},
        {QStringLiteral("wbTune2"), QStringLiteral("Ajuste WB (eje 2)")},
    };
    return labels;
}

const QMap<qint64, QString> &ParamFormat::filmSimulationNames()
{
    static const QMap<qint64, QString> names = {
        {1, QStringLiteral("PROVIA/Std")},      {2, QStringLiteral("Velvia/Vivid")},
        {3, QStringLiteral("ASTIA/Soft")},      {4, QStringLiteral("PRO Neg. Hi")},
        {5, QStringLiteral("PRO Neg. Std")},    {6, QStringLiteral("Monochrome")},
        {7, QStringLiteral("Mono +Y")},         {8, QStringLiteral("Mono +R")},
        {9, QStringLiteral("Mono +G")},         {10, QStringLiteral("Sepia")},
        {11, QStringLiteral("Classic Chrome")}, {12, QStringLiteral("ACROS")},
        {13, QStringLiteral("ACROS +Y")},       {14, QStringLiteral("ACROS +R")},
        {15, QStringLiteral("ACROS +G")},       {16, QStringLiteral("ETERNA")},
        {17, QStringLiteral("Classic Neg.")},   {18, QStringLiteral("ETERNA Bleach")},
        {19, QStringLiteral("Nostalgic Neg.")}, {20, QStringLiteral("REALA ACE")},
    };
    return names;
}

const QMap<qint64, QString> &ParamFormat::dynamicRangeNames()
{
    static const QMap<qint64, QString> names = {
        {0xFFFF, QStringLiteral("AUTO")},
        {100, QStringLiteral("DR100")},
        {200, QStringLiteral("DR200")},
        {400, QStringLiteral("DR400")},
    };
    return names;
}

const QMap<qint64, QString> &ParamFormat::grainNames()
{
    static const QMap<qint64, QString> names = {
        {1, QStringLiteral("Sin grano")},
        {2, QStringLiteral("Débil/Fino")},
        {3, QStringLiteral("Fuerte/Fino")},
        {4, QStringLiteral("Débil/Grueso")},
        {5, QStringLiteral("Fuerte/Grueso")},
    };
    return names;
}

const QMap<qint64, QString> &ParamFormat::isoAutoLabels()
{
    // The unsigned 32-bit codes, carried as positive values (not -1, -2, -3).
    static const QMap<qint64, QString> names = {
        {0xFFFFFFFFLL, QStringLiteral("AUTO1")},
        {0xFFFFFFFELL, QStringLiteral("AUTO2")},
        {0xFFFFFFFDLL, QStringLiteral("AUTO3")},
    };
    return names;
}

const QList<qint64> &ParamFormat::standardShutterMicroseconds()
{
    // The nominal speeds in seconds, converted once to whole microseconds (halves away from zero).
    static const QList<qint64> table = [] {
        const double seconds[] = {
            1.0 / 8000, 1.0 / 6400, 1.0 / 5000, 1.0 / 4000, 1.0 / 3200, 1.0 / 2500, 1.0 / 2000,
            1.0 / 1600, 1.0 / 1250, 1.0 / 1000, 1.0 / 800,  1.0 / 640,  1.0 / 500,  1.0 / 400,
            1.0 / 320,  1.0 / 250,  1.0 / 200,  1.0 / 160,  1.0 / 125,  1.0 / 100,  1.0 / 80,
            1.0 / 60,   1.0 / 50,   1.0 / 40,   1.0 / 30,   1.0 / 25,   1.0 / 20,   1.0 / 15,
            1.0 / 13,   1.0 / 10,   1.0 / 8,    1.0 / 6,    1.0 / 5,    1.0 / 4,    1.0 / 3,
            0.4,        0.5,        0.6,        0.8,        1,          1.3,        1.6,
            2,          2.5,        3.2,        4,          5,          6,          8,
            10,         13,         15,         20,         25,         30,
        };
        QList<qint64> us;
        us.reserve(std::size(seconds));
        for (double s : seconds)
            us.append(roundHalfAway(s * 1000000.0));
        return us;
    }();
    return table;
}

QString ParamFormat::displayLabel(const QString &key)
{
    return paramLabels().value(key, key);
}

QString ParamFormat::shutter(qint64 microseconds)
{
    if (microseconds < 1)
        return kMissing;
    // Nearest standard speed; on a tie the earlier (shorter) entry stays.
    const QList<qint64> &table = standardShutterMicroseconds();
    qint64 best = table.first();
    for (qint64 candidate : table) {
        // Distances fit: both values are positive and the table ends at 3e7.
        if (std::abs(candidate - microseconds) < std::abs(best - microseconds))
            best = candidate;
    }
    const double s = static_cast<double>(best) / 1000000.0;
    if (s >= 1.0)
        return format(std::trunc(s) == s ? "%.0fs" : "%.1fs", s);
    return QStringLiteral("1/") + QString::number(roundHalfAway(1.0 / s)) + QLatin1Char('s');
}

QString ParamFormat::aperture(qint64 hundredths)
{
    if (hundredths < 1)
        return kMissing;
    const double f = static_cast<double>(hundredths) / 100.0;
    return format(std::trunc(f) == f ? "f/%.0f" : "f/%.1f", f);
}

QString ParamFormat::iso(qint64 code)
{
    const auto it = isoAutoLabels().constFind(code);
    return it != isoAutoLabels().constEnd() ? *it : QString::number(code);
}

QString ParamFormat::kelvin(qint64 kelvin)
{
    return QString::number(kelvin) + QLatin1Char('K');
}

QString ParamFormat::label(const QString &key, qint64 value)
{
    if (key == QLatin1String("aperture"))
        return aperture(value);
    if (key == QLatin1String("shutterSpeed"))
        return shutter(value);
    if (key == QLatin1String("iso"))
        return iso(value);
    if (key == QLatin1String("filmSimulation"))
        return named(filmSimulationNames(), value);
    if (key == QLatin1String("dynamicRangeMode"))
        return named(dynamicRangeNames(), value);
    if (key == QLatin1String("grainEffect"))
        return named(grainNames(), value);
    if (key == QLatin1String("colorTemperature"))
        return kelvin(value);
    return codeText(value);
}

QStringList ParamFormat::orderedParamNames(const QMap<QString, ParamState> &paramState)
{
    QStringList ordered;
    for (const QString &key : paramOrder()) {
        if (paramState.contains(key))
            ordered.append(key);
    }
    QStringList rest;
    for (auto it = paramState.keyBegin(); it != paramState.keyEnd(); ++it) {
        if (!paramOrder().contains(*it))
            rest.append(*it);
    }
    // Code-point order: QString's operator< compares UTF-16 units, which differs from scalar
    // order only for characters beyond the BMP against U+E000..U+FFFF; compare as UCS-4.
    std::sort(rest.begin(), rest.end(), [](const QString &a, const QString &b) {
        return a.toUcs4() < b.toUcs4();
    });
    return ordered + rest;
}
