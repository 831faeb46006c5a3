#include <QVariantMap>

#include <optional>

#include "link/WireProtocol.h"
#include "model/Monitor.h"

namespace {

QVariantMap command(const char *name)
{
    return { { QStringLiteral("cmd"), QString::fromLatin1(name) } };
}

} // namespace

void Monitor::selectCamera(CameraConnection &cam)
{
    setActiveCameraId(cam.id());
    setSelectedPhotoId(QUuid());
    sendRemoteCommand(command("requestState"), cam);
}

// A camera whose connection is gone would otherwise keep hiding the cameras that do send (a
// bridge that connected and dropped at once, or one that reconnected as a new record). Director
// mode shows the active camera's parameters, so there the new camera is asked for them as when
// the user picks it; outside it nothing is sent, and switching director mode on asks then.
void Monitor::takeOverFromLostCamera(CameraConnection &cam)
{
    const CameraConnection *active = activeCamera();
    if (!active || active == &cam || active->status != CameraStatus::NoSignal)
        return;
    setActiveCameraId(cam.id());
    setSelectedPhotoId(QUuid());
    if (m_directorModeOn)
        sendRemoteCommand(command("requestState"), cam);
}

// Local only: the bridge keeps sending, and storage discards photos while reception is off.
void Monitor::toggleEnabled(CameraConnection &cam)
{
    cam.enabled = !cam.enabled;
    cam.status = cam.enabled ? CameraStatus::Receiving : CameraStatus::Paused;
    emit objectWillChange();
}

void Monitor::toggleDirectorMode()
{
    setDirectorModeOn(!m_directorModeOn);
    if (m_directorModeOn) {
        if (CameraConnection *cam = activeCamera())
            sendRemoteCommand(command("requestState"), *cam);
    }
}

void Monitor::triggerShutter()
{
    if (CameraConnection *cam = activeCamera())
        sendRemoteCommand(command("shutter"), *cam);
}

// The new value shows at once; the camera's next state frame overwrites it with what the camera
// actually took. No entry is created for a key the camera has not reported.
void Monitor::setParam(const QString &key, qint64 value)
{
    CameraConnection *cam = activeCamera();
    if (!cam)
        return;
    if (auto it = cam->paramState.find(key); it != cam->paramState.end())
        it->current = value;
    emit objectWillChange();
    QVariantMap cmd = command("setParam");
    cmd.insert(QStringLiteral("param"), key);
    cmd.insert(QStringLiteral("value"), value);
    sendRemoteCommand(cmd, *cam);
}

// Fire-and-forget: nothing is reported when the command cannot be written or the connection is
// gone.
void Monitor::sendRemoteCommand(const QVariantMap &command, CameraConnection &cam)
{
    const std::optional<QByteArray> frame = wire::encodeCommandFrame(command);
    if (!frame || !cam.conn())
        return;
    cam.conn()->send(*frame);
}
