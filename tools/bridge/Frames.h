#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <cstdint>

// The bridge's own encoding of the camera-link frames, written from the protocol description
// and deliberately independent of the application's code, so that a fault in one side's
// framing shows up as a failed exchange instead of being shared by both.
namespace frames {

enum Type : quint8 {
    File = 1,
    Hello = 3,
    LiveView = 5,
    Command = 6,
    State = 7,
};

constexpr int kHeaderSize = 8;

// An 8-byte header: "HV", version, type, payload length (32-bit little-endian).
QByteArray header(quint8 type, quint32 length, quint8 version = 1);
QByteArray frame(quint8 type, const QByteArray &payload);
// Payload: name length (16-bit little-endian), name bytes, file bytes.
QByteArray fileFrame(const QByteArray &name, const QByteArray &content);
// Payload: two leading bytes, then {"camera": name}.
QByteArray helloFrame(const QString &cameraName);

// One camera parameter in the camera's own units: its value and the values allowed now.
struct Param
{
    qint64 current = 0;
    QList<qint64> values;
};
// A state frame's JSON: {"key": {"current": C, "values": [...]}, ..., "supported": [keys]}.
QByteArray stateJson(const QMap<QString, Param> &params);

// Cuts the application's byte stream into frames and keeps the payloads of command frames.
// Frames of other types are skipped; a header with the wrong magic or version stops it for good
// (everything after it is ignored), which tests see as a protocol fault on the application side.
class CommandReader
{
public:
    void feed(const QByteArray &bytes);
    // The command payloads completed since the last call, in arrival order.
    [[nodiscard]] QList<QByteArray> takeCommands();
    [[nodiscard]] bool broken() const { return m_broken; }
    // Frames of types other than 6 seen so far.
    [[nodiscard]] int otherFrames() const { return m_otherFrames; }

private:
    QByteArray m_buffer;
    QList<QByteArray> m_commands;
    bool m_broken = false;
    int m_otherFrames = 0;
};

} // namespace frames
