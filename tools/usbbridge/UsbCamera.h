#pragma once

#include <QObject>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include "CameraDevice.h"
#include "CameraSession.h"
#include "Frames.h"

namespace usb {

class CameraWorker;

// One detected camera: its worker thread, and its own TCP connection to the application,
// re-established with back-off whenever it drops. It greets with a hello naming the camera
// and its parameter state, forwards commands to the camera, and sends photos, state and live
// view back. Every event is printed as one line: EVENT PORT [DETAILS].
class UsbCamera : public QObject
{
    Q_OBJECT

public:
    UsbCamera(CameraBackend &backend, const DetectedCamera &camera, const SessionOptions &options, QObject *parent = nullptr);
    ~UsbCamera() override;

    // Back-off between connection attempts: from the first to the last, doubling. Ten seconds
    // keeps a bridge that waits for the workstation cheap, and it is back soon after.
    static constexpr int kFirstRetryMs = 250;
    static constexpr int kLastRetryMs = 10'000;
    // Live frames are dropped while this much is still waiting in the socket: a slow network
    // gets fewer frames instead of a growing queue.
    static constexpr qint64 kLiveBacklogBytes = 2 << 20;
    // The application takes live frames up to 16 MiB.
    static constexpr qsizetype kMaxLiveBytes = 16 << 20;

    [[nodiscard]] const DetectedCamera &camera() const { return m_camera; }
    [[nodiscard]] QString serial() const { return m_serial; }
    [[nodiscard]] bool isOpen() const { return m_open; }
    [[nodiscard]] bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

    // Where the application is; connects (or reconnects) there. An empty host: nowhere yet.
    void setTarget(const QString &host, quint16 port);
    // The name the hello carries; a changed name is sent at once.
    void setName(const QString &name);

signals:
    void opened();
    void finished();
    // A connection to the application dropped or could not be made.
    void linkLost();

private:
    void connectNow();
    void onConnected();
    void onDisconnected();
    void onReadyRead();
    void onBytesWritten(qint64 bytes);
    void sendFile(const QByteArray &name, const QByteArray &content);
    void sendLive(const QByteArray &jpeg);
    void write(const QByteArray &bytes);
    void say(const QString &event, const QString &rest = QString()) const;

    const DetectedCamera m_camera;
    QThread m_thread;
    CameraWorker *m_worker; // lives in m_thread
    QTcpSocket m_socket;
    frames::CommandReader m_reader;
    QTimer m_retry;
    int m_retryMs = kFirstRetryMs;
    QString m_host;
    quint16 m_port = 0;
    QString m_name;
    QString m_serial;
    bool m_open = false;
    bool m_up = false; // connected since the last drop
    // Bytes handed to the socket and written by it since connecting; a photo is delivered once
    // the written count passes its last byte.
    qint64 m_queued = 0;
    qint64 m_written = 0;
    qint64 m_fileEnd = -1;
};

} // namespace usb
