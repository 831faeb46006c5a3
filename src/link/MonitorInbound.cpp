// Monitor's inbound message handling: photo files go to storage, a hello renames the camera,
// a live-view frame replaces the camera's live image, a state frame merges into its parameter
// table. Malformed messages are dropped silently and leave the record as it was. A hello or a
// kept photo from another camera replaces an active camera that has lost its connection.

#include "link/MonitorInbound.h"

#include <QImage>
#include <QPointer>

#include "link/InboundMessages.h"
#include "model/Monitor.h"

namespace {

// Message types of the wire protocol that carry JSON.
constexpr quint8 kHelloType = 3;
constexpr quint8 kStateType = 7;

class MonitorInbound : public InboundHandler
{
public:
    explicit MonitorInbound(Monitor &monitor) : m_monitor(&monitor) {}

    void fileFrame(const std::shared_ptr<CameraConnection> &cam, const QString &name,
                   const QByteArray &data) override
    {
        if (!m_monitor || !cam)
            return;
        // A photo from a camera whose reception is off is dropped, so it does not bring that
        // camera forward either.
        if (cam->enabled)
            m_monitor->takeOverFromLostCamera(*cam);
        m_monitor->handleFile(name, data, *cam);
    }
    void jsonFrame(const std::shared_ptr<CameraConnection> &cam, quint8 type,
                   const std::optional<QByteArray> &payload) override
    {
        if (m_monitor && cam)
            m_monitor->handleJsonMessage(type, payload, *cam);
    }
    void liveViewFrame(const std::shared_ptr<CameraConnection> &cam,
                       const std::optional<QByteArray> &payload) override
    {
        if (m_monitor && cam)
            m_monitor->handleLiveView(payload, *cam);
    }

private:
    QPointer<Monitor> m_monitor;
};

} // namespace

std::unique_ptr<InboundHandler> makeMonitorInbound(Monitor &monitor)
{
    return std::make_unique<MonitorInbound>(monitor);
}

void Monitor::handleJsonMessage(quint8 type, const std::optional<QByteArray> &payload, CameraConnection &cam)
{
    if (!payload)
        return;
    if (type == kHelloType) {
        if (const auto name = inbound::helloName(*payload)) {
            cam.name = *name;
            emit objectWillChange();
            takeOverFromLostCamera(cam);
        }
    } else if (type == kStateType) {
        const auto entries = inbound::stateEntries(*payload);
        if (!entries)
            return;
        // All entries of one message land before the single notification.
        for (auto it = entries->cbegin(); it != entries->cend(); ++it)
            cam.paramState.insert(it.key(), it.value());
        emit objectWillChange();
    }
}

void Monitor::handleLiveView(const std::optional<QByteArray> &payload, CameraConnection &cam)
{
    if (!payload || payload->isEmpty())
        return;
    QImage frame;
    if (!frame.loadFromData(*payload))
        return; // the previous frame stays
    cam.liveFrame = frame;
    emit objectWillChange();
}
