#include "link/WireProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace wire {

namespace {

void appendLe32(QByteArray &out, quint32 v)
{
    out.append(char(v & 0xff));
    out.append(char((v >> 8) & 0xff));
    out.append(char((v >> 16) & 0xff));
    out.append(char((v >> 24) & 0xff));
}

std::optional<QJsonValue> toJson(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return QJsonValue(value.toString());
    case QMetaType::Bool:
        return QJsonValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return QJsonValue(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong();
        if (u > qulonglong(std::numeric_limits<qint64>::max()))
            return std::nullopt;
        return QJsonValue(qint64(u));
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return std::nullopt; // JSON has no NaN or infinity
        return QJsonValue(d);
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<QByteArray> encodeFrame(quint8 type, QByteArrayView payload)
{
    if (quint64(payload.size()) > std::numeric_limits<quint32>::max())
        return std::nullopt;
    QByteArray frame;
    frame.reserve(kHeaderSize + payload.size());
    frame.append(char(kMagic0));
    frame.append(char(kMagic1));
    frame.append(char(kVersion));
    frame.append(char(type));
    appendLe32(frame, quint32(payload.size()));
    frame.append(payload);
    return frame;
}

std::optional<QByteArray> encodeFileFrame(const QString &name, QByteArrayView content)
{
    const QByteArray utf8 = name.toUtf8();
    if (utf8.size() > 0xffff)
        return std::nullopt;
    QByteArray payload;
    payload.reserve(2 + utf8.size() + content.size());
    payload.append(char(utf8.size() & 0xff));
    payload.append(char((utf8.size() >> 8) & 0xff));
    payload.append(utf8);
    payload.append(content);
    return encodeFrame(kFileFrame, payload);
}

std::optional<QByteArray> encodeCommandJson(const QVariantMap &command)
{
    QJsonObject object;
    for (auto it = command.cbegin(); it != command.cend(); ++it) {
        std::optional<QJsonValue> value = toJson(it.value());
        if (!value)
            return std::nullopt;
        object.insert(it.key(), *value);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<QByteArray> encodeCommandFrame(const QVariantMap &command)
{
    const std::optional<QByteArray> json = encodeCommandJson(command);
    if (!json)
        return std::nullopt;
    return encodeFrame(kCommandFrame, *json);
}

} // namespace wire
