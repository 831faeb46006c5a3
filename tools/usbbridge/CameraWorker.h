#pragma once

#include <QObject>
#include <QTimer>

#include <memory>

#include "CameraSession.h"

namespace usb {

// Runs one camera's session on a thread of its own, so that blocking camera calls never hold
// up the network or another camera. Slots are invoked across threads (queued); signals carry
// the session's output back to the camera's link.
class CameraWorker : public QObject, public SessionSink
{
    Q_OBJECT

public:
    CameraWorker(CameraBackend &backend, DetectedCamera camera, const SessionOptions &options);
    ~CameraWorker() override;

    // How long one round waits for camera events: short enough that commands are taken
    // promptly, long enough not to spin.
    static constexpr int kWaitMs = 50;

public slots:
    void start();
    void command(const QByteArray &json);
    void requestState();
    void setLinkReady(bool ready);
    void delivered();

signals:
    // The camera is open; its serial number when it tells one.
    void opened(const QString &serial);
    void stateFrame(const QByteArray &json);
    void fileFrame(const QByteArray &name, const QByteArray &content);
    void liveFrame(const QByteArray &jpeg);
    void logLine(const QString &line);
    // It could not be opened, or it went away: this worker is done.
    void finished();

private:
    void round();
    void state(const QByteArray &json) override { emit stateFrame(json); }
    void file(const QByteArray &name, const QByteArray &content) override { emit fileFrame(name, content); }
    void live(const QByteArray &jpeg) override { emit liveFrame(jpeg); }
    void log(const QString &line) override { emit logLine(line); }

    CameraBackend &m_backend;
    const DetectedCamera m_camera;
    const SessionOptions m_options;
    std::unique_ptr<CameraSession> m_session;
    QTimer *m_timer = nullptr; // created in the worker's thread
    bool m_done = false;
};

} // namespace usb
