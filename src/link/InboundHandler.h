#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class CameraConnection;

// Receives the messages a connection's read loop cuts out of the byte stream, in arrival order,
// on the main thread. The application's implementation forwards to Monitor's inbound handling;
// tests observe the read loop through their own.
class InboundHandler
{
public:
    virtual ~InboundHandler() = default;

    // A complete file frame with content (the name may be empty).
    virtual void fileFrame(const std::shared_ptr<CameraConnection> &cam, const QString &name,
                           const QByteArray &data) = 0;
    // A hello (type 3) or state (type 7) frame; std::nullopt when the payload was cut short.
    virtual void jsonFrame(const std::shared_ptr<CameraConnection> &cam, quint8 type,
                           const std::optional<QByteArray> &payload) = 0;
    // A live-view frame (type 5); std::nullopt when the payload was cut short.
    virtual void liveViewFrame(const std::shared_ptr<CameraConnection> &cam,
                               const std::optional<QByteArray> &payload) = 0;
};
