#pragma once

#include <QByteArray>
#include <QList>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

#include "model/Connection.h"
#include "state/Monitor.h"

// A connection that records what is sent on it, for tests without sockets.
class FakeConnection : public Connection
{
public:
    void send(const QByteArray &bytes) override { sent.append(bytes); }

    QList<QByteArray> sent;
};

// What was sent to a camera record made over a FakeConnection, oldest first.
inline const QList<QByteArray> &sentTo(const CameraConnection &cam)
{
    return static_cast<FakeConnection *>(cam.conn())->sent;
}

// A camera record over a FakeConnection, listed by `monitor`.
inline std::shared_ptr<CameraConnection> addFakeCamera(Monitor &monitor)
{
    auto cam = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
    monitor.appendCamera(cam);
    return cam;
}

// Settings in a temporary folder of their own, so that no test reads or writes the user's.
struct ScratchSettings {
    QTemporaryDir dir;
    [[nodiscard]] std::unique_ptr<QSettings> settings() const
    {
        return std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat);
    }
};
