#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <deque>
#include <memory>
#include <optional>

#include "CameraDevice.h"

namespace usb {

// Where a session's output goes: the frames for the application, and the log.
class SessionSink
{
public:
    virtual ~SessionSink() = default;
    virtual void state(const QByteArray &json) = 0;
    // A photo to send; the session waits for fileDelivered() or linkDown() before the next one.
    virtual void file(const QByteArray &name, const QByteArray &content) = 0;
    virtual void live(const QByteArray &jpeg) = 0;
    virtual void log(const QString &line) = 0;
};

struct SessionOptions
{
    bool deleteFromCard = false;
    double liveFps = 0; // 0: no live view
    // One photo is held in memory at a time, downloaded from the camera only when it can be
    // sent; a file above this is logged and skipped. 1 GiB takes any still camera's largest
    // raw file, and it still leaves room on a board with 2 GiB of memory.
    qint64 maxFileBytes = qint64(1) << 30;
    // A busy camera is asked again this many times, after waiting `busyWaitMs` for its events.
    int busyRetries = 8;
    int busyWaitMs = 250;
    // References to photos waiting for the application (when it is away): a bound, not a
    // working size. Older ones are dropped first, and stay on the card.
    int maxPending = 10'000;
};

// One camera's conversation, independent of threads and sockets: commands from the application
// become camera calls, camera events become frames. Every call blocks on the camera; the owner
// runs it on a thread of its own.
class CameraSession
{
public:
    CameraSession(std::unique_ptr<CameraDevice> device, const SessionOptions &options, SessionSink &sink);

    // A command frame's payload. Malformed or unknown commands are logged and ignored.
    void handleCommand(const QByteArray &json);
    void sendState();
    void shutter();
    void setParam(const QString &key, qint64 value);

    // One round of the event loop: the next photo if it can go, a live frame when one is due,
    // then the camera's events for up to `waitMs`.
    void step(int waitMs);

    // Whether the application is there to take photos and live view.
    void setLinkReady(bool ready);
    // The photo last handed to the sink has left in full (removed from the card if asked).
    void fileDelivered();

    [[nodiscard]] bool gone() const { return m_gone; }
    [[nodiscard]] qsizetype pending() const { return m_pending.size() + (m_inFlight ? 1 : 0); }
    [[nodiscard]] bool liveViewOn() const { return m_liveFps > 0; }

private:
    struct FileRef
    {
        QString folder;
        QString name;
    };
    // Calls `call` until it is not busy (waiting for events in between), noting a lost camera.
    template<typename Call> Status retrying(Call call);
    void pollEvents(int waitMs);
    void sendNextFile();
    void liveFrame();
    bool check(Status status, const QString &what);

    std::unique_ptr<CameraDevice> m_device;
    SessionOptions m_options;
    SessionSink &m_sink;
    std::deque<FileRef> m_pending;
    std::optional<FileRef> m_inFlight;
    QElapsedTimer m_liveClock;
    double m_liveFps;
    bool m_linkReady = false;
    bool m_gone = false;
};

} // namespace usb
