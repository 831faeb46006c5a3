#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace usb {

// One configuration entry of a camera as its driver describes it: a named widget with a text
// value and text choices, or a numeric range.
struct ConfigItem
{
    enum class Kind { Choice, Range, Text };
    QString name{};
    Kind kind = Kind::Choice;
    QString text{}; // Choice, Text: the current value
    QStringList choices{};
    double value = 0; // Range
    double min = 0;
    double max = 0;
    double step = 0;
    bool readOnly = false;
};

// What one call to the camera came to.
enum class Status {
    Ok,
    Busy,         // the camera is doing something else; worth retrying shortly
    NotSupported, // this camera cannot do that at all
    Gone,         // the camera was unplugged or stopped answering: the session is over
    Failed,       // anything else; the session goes on
};

struct CameraEvent
{
    enum class Type { None, FileAdded, Other };
    Type type = Type::None;
    QString folder;
    QString name;
};

// One opened camera. Calls block; a session calls them from one thread only.
class CameraDevice
{
public:
    virtual ~CameraDevice() = default;
    virtual Status readConfig(QList<ConfigItem> &out) = 0;
    // Sets a Choice or Text item to `text`, or a Range item to `value`.
    virtual Status setConfig(const ConfigItem &item, const QString &text, double value) = 0;
    virtual Status triggerCapture() = 0;
    // Waits up to `timeoutMs` for the next event; Type::None when none came.
    virtual Status waitForEvent(int timeoutMs, CameraEvent &out) = 0;
    virtual Status fileSize(const QString &folder, const QString &name, qint64 &size) = 0;
    virtual Status download(const QString &folder, const QString &name, QByteArray &out) = 0;
    virtual Status remove(const QString &folder, const QString &name) = 0;
    virtual Status capturePreview(QByteArray &out) = 0;
    // The driver's words for the last failure, for the log.
    [[nodiscard]] virtual QString lastError() const = 0;
};

// A camera found on a port, not yet opened.
struct DetectedCamera
{
    QString model;
    QString port; // e.g. "usb:001,004": unique while the camera stays plugged in
};

class CameraBackend
{
public:
    virtual ~CameraBackend() = default;
    virtual QList<DetectedCamera> detect() = 0;
    // Opens the camera; null with `error` set when it cannot be opened. May be called from
    // another thread than detect(); implementations serialise what must be.
    virtual std::unique_ptr<CameraDevice> open(const DetectedCamera &camera, QString &error) = 0;
};

} // namespace usb
