#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "link/Listener.h"
#include "model/CameraConnection.h"

class ServiceAdvertiser;

// The camera link as the application state sees it: the listener with its connections, the
// DNS-SD advertisement of its port, and the commands sent to cameras. It knows the camera
// records only; what arrives is told through the listener's signals (listener()), which the
// owner connects once. Main thread only.
class CameraLink : public QObject
{
    Q_OBJECT

public:
    enum class Advertise { Yes, No };

    explicit CameraLink(QObject *parent = nullptr);
    ~CameraLink() override;

    // Listens and, when asked, advertises the port through DNS-SD. Only the first successful
    // call has an effect; a failed one is logged and a later call tries again.
    bool start(const QHostAddress &address = QHostAddress::Any, quint16 port = 0,
        Advertise advertise = Advertise::Yes);

    [[nodiscard]] Listener &listener() { return m_listener; }
    [[nodiscard]] bool isStarted() const { return m_listener.isListening(); }

    // While held, no photo content is taken in: each bridge's photos wait in its connection,
    // and TCP holds the bridge back, until release. Live view, hello and state frames keep
    // coming, on a connection up to its next photo.
    void setPhotosHeld(bool held) { m_listener.setFilesHeld(held); }
    [[nodiscard]] bool photosHeld() const { return m_listener.filesHeld(); }

    // Fire-and-forget: nothing is reported when the command cannot be written or the
    // connection is gone.
    static void send(CameraConnection &cam, const QVariantMap &command);
    // The commands the application sends: {"cmd": name}, with setParam's key and value.
    static void requestState(CameraConnection &cam);
    static void shutter(CameraConnection &cam);
    static void setParam(CameraConnection &cam, const QString &key, qint64 value);

private:
    Listener m_listener;
    ServiceAdvertiser *m_advertiser = nullptr; // a child, made once listening works
};
