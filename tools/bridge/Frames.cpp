#include "Frames.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace frames {

namespace {
void putLe32(QByteArray &out, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
}

quint32 le32(const QByteArray &bytes, int at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | quint8(bytes.at(at + i));
    return value;
}
} // namespace

QByteArray header(quint8 type, quint32 length, quint8 version)
{
    QByteArray out;
    out.reserve(kHeaderSize);
    out.append('H');
    out.append('V');
    out.append(char(version));
    out.append(char(type));
    putLe32(out, length);
    return out;
}

QByteArray frame(quint8 type, const QByteArray &payload)
{
    return header(type, quint32(payload.size())) + payload;
}

QByteArray fileFrame(const QByteArray &name, const QByteArray &content)
{
    // Built in one buffer: the photo is copied once.
    const qsizetype length = 2 + name.size() + content.size();
    QByteArray out;
    out.reserve(kHeaderSize + length);
    out.append(header(File, quint32(length)));
    out.append(char(name.size() & 0xff));
    out.append(char((name.size() >> 8) & 0xff));
    out.append(name);
    out.append(content);
    return out;
}

QByteArray helloFrame(const QString &cameraName)
{
    // The two leading bytes carry nothing the application reads; a bridge sends its own
    // protocol revision there.
    QByteArray payload("\x01\x00", 2);
    payload.append(QJsonDocument(QJsonObject{{QStringLiteral("camera"), cameraName}})
                       .toJson(QJsonDocument::Compact));
    return frame(Hello, payload);
}

QByteArray stateJson(const QMap<QString, Param> &params)
{
    QJsonObject root;
    QJsonArray supported;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        QJsonArray values;
        for (qint64 v : it->values)
            values.append(v);
        root.insert(it.key(), QJsonObject{{QStringLiteral("current"), it->current}, {QStringLiteral("values"), values}});
        supported.append(it.key());
    }
    root.insert(QStringLiteral("supported"), supported);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void CommandReader::feed(const QByteArray &bytes)
{
    if (m_broken)
        return;
    m_buffer.append(bytes);
    while (m_buffer.size() >= kHeaderSize) {
        if (m_buffer.at(0) != 'H' || m_buffer.at(1) != 'V' || m_buffer.at(2) != 1) {
            m_broken = true;
            m_buffer.clear();
            return;
        }
        const quint32 length = le32(m_buffer, 4);
        // Commands are small; anything past 16 MiB is a broken stream, not a command.
        if (length > 16u * 1024 * 1024) {
            m_broken = true;
            m_buffer.clear();
            return;
        }
        if (quint64(m_buffer.size()) < kHeaderSize + quint64(length))
            return;
        const quint8 type = quint8(m_buffer.at(3));
        const QByteArray payload = m_buffer.mid(kHeaderSize, qsizetype(length));
        m_buffer.remove(0, kHeaderSize + qsizetype(length));
        if (type == Command)
            m_commands.append(payload);
        else
            ++m_otherFrames;
    }
}

QList<QByteArray> CommandReader::takeCommands()
{
    QList<QByteArray> out;
    out.swap(m_commands);
    return out;
}

} // namespace frames
