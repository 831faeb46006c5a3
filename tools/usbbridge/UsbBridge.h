#pragma once

#include <QMap>
#include <QObject>
#include <QTimer>

#include "CameraDevice.h"
#include "CameraSession.h"

namespace usb {

class UsbCamera;

// Every camera the backend detects, each with its own connection: it looks for cameras now and
// then, so a camera plugged in (or in again) later is taken up, and lets one go when it is gone.
class UsbBridge : public QObject
{
    Q_OBJECT

public:
    UsbBridge(CameraBackend &backend, const SessionOptions &options, QObject *parent = nullptr);
    ~UsbBridge() override;

    // Looks for cameras every `intervalMs`, starting now.
    void start(int intervalMs);
    void setTarget(const QString &host, quint16 port);
    void scan();

    // The hello names: the model, and where two cameras share one, the serial number (or the
    // port when the camera tells none) beside it.
    static QMap<QString, QString> names(const QList<DetectedCamera> &cameras, const QMap<QString, QString> &serials);

signals:
    // A camera lost its connection, or could not make one: the application may have moved.
    void linkLost();

private:
    void rename();

    CameraBackend &m_backend;
    const SessionOptions m_options;
    QMap<QString, UsbCamera *> m_cameras; // by port
    QTimer m_scan;
    QString m_host;
    quint16 m_port = 0;
};

} // namespace usb
