#include "link/CameraLink.h"

#include "link/ServiceAdvertiser.h"
#include "link/WireProtocol.h"

namespace {

QVariantMap command(const char *name)
{
    return { { QStringLiteral("cmd"), QString::fromLatin1(name) } };
}

} // namespace

CameraLink::CameraLink(QObject *parent)
    : QObject(parent)
    , m_listener(this)
{ }

CameraLink::~CameraLink() = default;

bool CameraLink::start(const QHostAddress &address, quint16 port, Advertise advertise)
{
    if (m_listener.isListening())
        return true;
    if (!m_listener.listen(address, port))
        return false;
    // Without a running avahi-daemon the advertiser waits for one; the listener works regardless.
    if (advertise == Advertise::Yes && !m_advertiser) {
        m_advertiser
            = new ServiceAdvertiser(ServiceAdvertiser::workstationServiceName(), m_listener.port(), this);
        m_advertiser->start();
    }
    return true;
}

void CameraLink::send(CameraConnection &cam, const QVariantMap &command)
{
    const std::optional<QByteArray> frame = wire::encodeCommandFrame(command);
    if (!frame || !cam.conn())
        return;
    cam.conn()->send(*frame);
}

void CameraLink::requestState(CameraConnection &cam)
{
    send(cam, command("requestState"));
}

void CameraLink::shutter(CameraConnection &cam)
{
    send(cam, command("shutter"));
}

void CameraLink::setParam(CameraConnection &cam, const QString &key, qint64 value)
{
    QVariantMap cmd = command("setParam");
    cmd.insert(QStringLiteral("param"), key);
    cmd.insert(QStringLiteral("value"), value);
    send(cam, cmd);
}
