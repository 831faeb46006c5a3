#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVariantMap>
#include <QtGlobal>

#include <optional>

// Frame layout shared by both directions of the camera link: an 8-byte header (the magic "HV",
// version 1, a type byte, the payload length as unsigned 32-bit little-endian) and the payload.
namespace wire {

inline constexpr uchar kMagic0 = 0x48; // 'H'
inline constexpr uchar kMagic1 = 0x56; // 'V'
inline constexpr uchar kVersion = 1;
inline constexpr qsizetype kHeaderSize = 8;

inline constexpr quint8 kFileFrame = 1;
inline constexpr quint8 kHelloFrame = 3;
inline constexpr quint8 kLiveViewFrame = 5;
inline constexpr quint8 kCommandFrame = 6;
inline constexpr quint8 kStateFrame = 7;

// A complete frame of the given type around `payload`. std::nullopt when the payload does not
// fit the 32-bit length field.
[[nodiscard]] std::optional<QByteArray> encodeFrame(quint8 type, QByteArrayView payload);

// A file frame: name length (16-bit little-endian), UTF-8 name, content. std::nullopt when the
// name's UTF-8 form is longer than 65,535 bytes or the frame would not fit.
[[nodiscard]] std::optional<QByteArray> encodeFileFrame(const QString &name, QByteArrayView content);

// The compact UTF-8 JSON text of a command. Values may be strings, booleans and integers
// (written exactly, the full signed 64-bit range) or finite floating-point numbers; anything
// else cannot be written and gives std::nullopt.
[[nodiscard]] std::optional<QByteArray> encodeCommandJson(const QVariantMap &command);

// A complete command frame (type 6) for `command`, or std::nullopt when it cannot be written.
[[nodiscard]] std::optional<QByteArray> encodeCommandFrame(const QVariantMap &command);

} // namespace wire
