#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>
#include <string>

// Frames written byte by byte, independently of the library's encoder, so the reader and the
// encoder are each checked against the wire layout rather than against each other.
namespace framebytes {

inline QByteArray le32(quint32 v)
{
    QByteArray out;
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xff));
    return out;
}

inline QByteArray header(quint8 type, quint32 length, char m0 = 'H', char m1 = 'V', char version = 1)
{
    QByteArray out;
    out.append(m0);
    out.append(m1);
    out.append(version);
    out.append(char(type));
    out.append(le32(length));
    return out;
}

inline QByteArray frame(quint8 type, const QByteArray &payload)
{
    return header(type, quint32(payload.size())) + payload;
}

// A file frame; `nameLength` overrides the declared N (for malformed frames).
inline QByteArray fileFrame(
    const QByteArray &nameUtf8, const QByteArray &content, std::optional<quint16> nameLength = std::nullopt)
{
    const quint16 n = nameLength.value_or(quint16(nameUtf8.size()));
    QByteArray payload;
    payload.append(char(n & 0xff));
    payload.append(char(n >> 8));
    payload.append(nameUtf8);
    payload.append(content);
    return frame(1, payload);
}

inline QByteArray bytesOf(const std::string &s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}

} // namespace framebytes
