#include "link/InboundMessages.h"

#include <cmath>
#include <limits>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

namespace inbound {

namespace {

std::optional<QJsonObject> parseObject(const QByteArray &json)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace

std::optional<QString> helloName(const QByteArray &payload)
{
    const auto object = parseObject(payload.size() >= 2 ? payload.mid(2) : payload);
    if (!object)
        return std::nullopt;
    const QJsonValue camera = object->value(QLatin1String("camera"));
    if (!camera.isString() || camera.toString().isEmpty())
        return std::nullopt;
    return camera.toString();
}

std::optional<qint64> rawValue(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool() ? 1 : 0;
    if (!value.isDouble())
        return std::nullopt;
    // The parser keeps integer literals that fit 64 bits as integers; a double would round
    // values above 2^53.
    const QVariant exact = value.toVariant();
    if (exact.typeId() == QMetaType::LongLong)
        return exact.toLongLong();
    const double d = std::trunc(value.toDouble());
    if (d >= kInt64Limit)
        return std::numeric_limits<qint64>::max();
    if (d < -kInt64Limit)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(d);
}

std::optional<QMap<QString, ParamState>> stateEntries(const QByteArray &payload)
{
    const auto object = parseObject(payload);
    if (!object)
        return std::nullopt;
    QMap<QString, ParamState> entries;
    for (auto it = object->begin(); it != object->end(); ++it) {
        if (it.key() == QLatin1String("supported") || !it.value().isObject())
            continue;
        const QJsonObject param = it.value().toObject();
        const std::optional<qint64> current = rawValue(param.value(QLatin1String("current")));
        if (!current)
            continue;
        ParamState state;
        state.current = *current;
        const QJsonValue values = param.value(QLatin1String("values"));
        if (values.isArray()) {
            for (const QJsonValue &element : values.toArray()) {
                const std::optional<qint64> v = rawValue(element);
                if (!v) {
                    state.values.clear();
                    break;
                }
                state.values.append(*v);
            }
        }
        entries.insert(it.key(), state);
    }
    return entries;
}

} // namespace inbound
