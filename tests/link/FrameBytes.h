#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// Frames written byte by byte, independently of the library's encoder, so the reader and the
// encoder are each checked against the wire layout rather than against each other.
namespace framebytes {

inline QByteArray header(quint8 type, quint32 length, char m0 = 'H', char m1 = 'V', char version = 1)
{
    const char bytes[] = { m0, m1, version, char(type), char(length), char(length >> 8), char(length >> 16),
        char(length >> 24) };
    return QByteArray(bytes, 8);
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
    const char size[] = { char(n & 0xff), char(n >> 8) };
    return frame(1, QByteArray(size, 2) + nameUtf8 + content);
}

} // namespace framebytes
