#include "ParamMapping.h"


#include <cmath>

namespace usb::mapping {

namespace {

// Lower-case letters and digits only: "PRO Neg. Hi" and "pro neg hi" read the same.
QString folded(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.isLetterOrNumber())
            out.append(c.toLower());
    }
    return out;
}

std::optional<double> number(const QString &text)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::optional<qint64> fromTable(const QString &text, std::initializer_list<std::pair<const char *, qint64>> table)
{
    const QString key = folded(text);
    for (const auto &[name, code] : table) {
        if (key == QLatin1String(name))
            return code;
    }
    return std::nullopt;
}

// How one vocabulary key is found in a configuration and how its texts read.
struct KeySpec
{
    const char *key;
    QStringList widgets; // candidate widget names, the first present wins
    std::optional<qint64> (*read)(const QString &);
    bool rangeInUnits; // a range widget counts in the key's own units
};

const QList<KeySpec> &keySpecs()
{
    static const QList<KeySpec> specs = {
        {"shutterSpeed", {QStringLiteral("shutterspeed"), QStringLiteral("shutterspeed2")}, shutterMicroseconds, false},
        {"aperture", {QStringLiteral("f-number"), QStringLiteral("aperture")}, apertureHundredths, false},
        {"iso", {QStringLiteral("iso"), QStringLiteral("isospeed")}, isoCode, false},
        {"colorTemperature", {QStringLiteral("colortemperature")}, kelvin, true},
        {"whiteBalanceMode", {QStringLiteral("whitebalance")}, whiteBalanceCode, false},
        {"filmSimulation", {QStringLiteral("filmsimulation")}, filmSimulationCode, false},
        {"dynamicRangeMode", {QStringLiteral("dynamicrange"), QStringLiteral("d-range")}, dynamicRangeCode, false},
        {"grainEffect", {QStringLiteral("graineffect"), QStringLiteral("grain")}, grainCode, false},
        {"wbTune1", {QStringLiteral("whitebalanceadjusta"), QStringLiteral("wbtune1")}, tuneSteps, true},
        {"wbTune2", {QStringLiteral("whitebalanceadjustb"), QStringLiteral("wbtune2")}, tuneSteps, true},
    };
    return specs;
}

const ConfigItem *findItem(const QList<ConfigItem> &config, const KeySpec &spec)
{
    for (const QString &name : spec.widgets) {
        for (const ConfigItem &item : config) {
            if (item.name == name)
                return &item;
        }
    }
    return nullptr;
}

const KeySpec *specFor(const QString &key)
{
    for (const KeySpec &spec : keySpecs()) {
        if (key == QLatin1String(spec.key))
            return &spec;
    }
    return nullptr;
}

std::optional<Param> paramFrom(const ConfigItem &item, const KeySpec &spec)
{
    Param param;
    switch (item.kind) {
    case ConfigItem::Kind::Choice: {
        const auto current = spec.read(item.text);
        if (!current)
            return std::nullopt;
        param.current = *current;
        for (const QString &choice : item.choices) {
            const auto v = spec.read(choice);
            if (v && !param.values.contains(*v))
                param.values.append(*v);
        }
        return param;
    }
    case ConfigItem::Kind::Range: {
        if (!spec.rangeInUnits || !std::isfinite(item.value) || !std::isfinite(item.min) || !std::isfinite(item.max))
            return std::nullopt;
        param.current = std::llround(item.value);
        if (item.step > 0 && item.max >= item.min && (item.max - item.min) / item.step < kMaxRangeValues) {
            for (double v = item.min; v <= item.max + item.step / 2; v += item.step)
                param.values.append(std::llround(v));
        }
        return param;
    }
    case ConfigItem::Kind::Text: {
        const auto current = spec.read(item.text);
        if (!current)
            return std::nullopt;
        param.current = *current;
        return param;
    }
    }
    return std::nullopt;
}

} // namespace

std::optional<qint64> shutterMicroseconds(const QString &input)
{
    QString text = input.trimmed().toLower();
    if (text.endsWith(QLatin1String("sec")))
        text.chop(3);
    else if (text.endsWith(QLatin1Char('s')))
        text.chop(1);
    std::optional<double> seconds;
    const qsizetype slash = text.indexOf(QLatin1Char('/'));
    if (slash > 0) {
        const auto num = number(text.left(slash));
        const auto den = number(text.mid(slash + 1));
        if (num && den && *den > 0)
            seconds = *num / *den;
    } else if (text.contains(QLatin1Char('"'))) {
        // 1"3 is 1.3 s, 30" is 30 s.
        if (text.endsWith(QLatin1Char('"')))
            text.chop(1);
        seconds = number(text.replace(QLatin1Char('"'), QLatin1Char('.')));
    } else {
        seconds = number(text);
    }
    // Bulb, time and automatic settings have no duration; an hour is beyond any timed exposure.
    if (!seconds || *seconds <= 0 || *seconds > 3600)
        return std::nullopt;
    return std::max<qint64>(1, std::llround(*seconds * 1e6));
}

std::optional<qint64> apertureHundredths(const QString &input)
{
    QString text = input.trimmed().toLower();
    if (text.startsWith(QLatin1String("f/")))
        text.remove(0, 2);
    else if (text.startsWith(QLatin1Char('f')))
        text.remove(0, 1);
    const auto f = number(text);
    if (!f || *f <= 0 || *f > 1000)
        return std::nullopt;
    return std::llround(*f * 100);
}

std::optional<qint64> isoCode(const QString &input)
{
    QString text = folded(input);
    if (text.startsWith(QLatin1String("auto"))) {
        text.remove(0, 4);
        if (text.startsWith(QLatin1String("iso")))
            text.remove(0, 3);
        if (text.isEmpty())
            return kIsoAuto1;
        // "Auto ISO 2", "AUTO3": the three automatic modes.
        const int n = text.toInt();
        if (n >= 1 && n <= 3)
            return kIsoAuto1 - (n - 1);
        return std::nullopt;
    }
    if (text.startsWith(QLatin1String("iso")))
        text.remove(0, 3);
    bool ok = false;
    const qint64 iso = text.toLongLong(&ok);
    if (!ok || iso <= 0 || iso > 10'000'000)
        return std::nullopt;
    return iso;
}

std::optional<qint64> kelvin(const QString &input)
{
    QString text = input.trimmed();
    if (text.endsWith(QLatin1Char('K'), Qt::CaseInsensitive))
        text.chop(1);
    bool ok = false;
    const qint64 k = text.trimmed().toLongLong(&ok);
    if (!ok || k <= 0 || k > 100'000)
        return std::nullopt;
    return k;
}

std::optional<qint64> whiteBalanceCode(const QString &text)
{
    // The picture-transfer standard's codes where it has one; the others get codes of this
    // bridge's own from the vendor range, stable across cameras.
    return fromTable(text, {
        {"manual", 1}, {"custom", 1}, {"preset", 1},
        {"auto", 2}, {"automatic", 2}, {"awb", 2},
        {"onepushautomatic", 3},
        {"daylight", 4}, {"sunny", 4}, {"fine", 4}, {"directsunlight", 4},
        {"fluorescent", 5},
        {"tungsten", 6}, {"incandescent", 6},
        {"flash", 7},
        {"cloudy", 0x8010}, {"shade", 0x8011},
        {"kelvin", 0x8012}, {"colortemperature", 0x8012}, {"colourtemperature", 0x8012},
        {"underwater", 0x8013},
        {"fluorescent1", 0x8021}, {"fluorescent2", 0x8022}, {"fluorescent3", 0x8023},
    });
}

std::optional<qint64> filmSimulationCode(const QString &text)
{
    // The names of the vocabulary's film-simulation table, and the longer forms drivers use.
    return fromTable(text, {
        {"proviastd", 1}, {"provia", 1}, {"proviastandard", 1}, {"standard", 1},
        {"velviavivid", 2}, {"velvia", 2}, {"vivid", 2},
        {"astiasoft", 3}, {"astia", 3}, {"soft", 3},
        {"proneghi", 4}, {"pronegativehi", 4},
        {"pronegstd", 5}, {"pronegativestd", 5}, {"pronegstandard", 5},
        {"monochrome", 6},
        {"monoy", 7}, {"monochromey", 7}, {"monochromeyefilter", 7}, {"monochromeyellowfilter", 7},
        {"monor", 8}, {"monochromer", 8}, {"monochromerfilter", 8}, {"monochromeredfilter", 8},
        {"monog", 9}, {"monochromeg", 9}, {"monochromegfilter", 9}, {"monochromegreenfilter", 9},
        {"sepia", 10},
        {"classicchrome", 11},
        {"acros", 12},
        {"acrosy", 13}, {"acrosyefilter", 13}, {"acrosyellowfilter", 13},
        {"acrosr", 14}, {"acrosrfilter", 14}, {"acrosredfilter", 14},
        {"acrosg", 15}, {"acrosgfilter", 15}, {"acrosgreenfilter", 15},
        {"eterna", 16}, {"eternacinema", 16},
        {"classicneg", 17}, {"classicnegative", 17},
        {"eternableach", 18}, {"eternableachbypass", 18}, {"bleachbypass", 18},
        {"nostalgicneg", 19}, {"nostalgicnegative", 19},
        {"realaace", 20},
    });
}

std::optional<qint64> dynamicRangeCode(const QString &input)
{
    QString text = folded(input);
    if (text.startsWith(QLatin1String("dr")))
        text.remove(0, 2);
    if (text == QLatin1String("auto"))
        return kDynamicRangeAuto;
    for (qint64 code : {100, 200, 400}) {
        if (text == QString::number(code))
            return code;
    }
    return std::nullopt;
}

std::optional<qint64> grainCode(const QString &text)
{
    return fromTable(text, {
        {"off", 1},
        {"weak", 2}, {"weaksmall", 2}, {"weakfine", 2},
        {"strong", 3}, {"strongsmall", 3}, {"strongfine", 3},
        {"weaklarge", 4}, {"weakcoarse", 4},
        {"stronglarge", 5}, {"strongcoarse", 5},
    });
}

std::optional<qint64> tuneSteps(const QString &input)
{
    bool ok = false;
    const qint64 v = input.trimmed().toLongLong(&ok);
    if (!ok || v < -1000 || v > 1000)
        return std::nullopt;
    return v;
}

QMap<QString, Param> paramsFromConfig(const QList<ConfigItem> &config)
{
    QMap<QString, Param> out;
    for (const KeySpec &spec : keySpecs()) {
        if (const ConfigItem *item = findItem(config, spec)) {
            if (auto param = paramFrom(*item, spec))
                out.insert(QLatin1String(spec.key), *param);
        }
    }
    return out;
}

const ConfigItem *itemFor(const QList<ConfigItem> &config, const QString &key)
{
    const KeySpec *spec = specFor(key);
    return spec ? findItem(config, *spec) : nullptr;
}

std::optional<Change> changeFor(const QList<ConfigItem> &config, const QString &key, qint64 value)
{
    const KeySpec *spec = specFor(key);
    const ConfigItem *item = spec ? findItem(config, *spec) : nullptr;
    if (!item || item->readOnly)
        return std::nullopt;
    switch (item->kind) {
    case ConfigItem::Kind::Choice:
        for (const QString &choice : item->choices) {
            if (spec->read(choice) == value)
                return Change{*item, choice, 0};
        }
        return std::nullopt;
    case ConfigItem::Kind::Range:
        if (!spec->rangeInUnits || double(value) < item->min || double(value) > item->max)
            return std::nullopt;
        return Change{*item, QString(), double(value)};
    case ConfigItem::Kind::Text:
        if (spec->read(QString::number(value)) != value)
            return std::nullopt;
        return Change{*item, QString::number(value), 0};
    }
    return std::nullopt;
}

} // namespace usb::mapping
