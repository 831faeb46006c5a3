#include "WindowState.h"
#include "MonitorBinding.h"

WindowState::WindowState(QObject *parent)
    : QObject(parent)
{
    refresh();
}

void WindowState::setMonitor(Monitor *monitor)
{
    if (!rebindMonitor(this, m_monitor, monitor, &WindowState::refresh))
        return;
    refresh();
    emit monitorChanged();
}

bool WindowState::isBodyEmpty(const CameraConnection *activeCamera)
{
    return !activeCamera || (activeCamera->status == CameraStatus::NoSignal && activeCamera->photos.isEmpty());
}

void WindowState::refresh()
{
    const CameraConnection *cam = m_monitor ? m_monitor->activeCamera() : nullptr;
    m_bodyEmpty = isBodyEmpty(cam);
    m_hasActiveCamera = cam != nullptr;
    m_cameraTitle = cam ? cam->name : QStringLiteral("Sin cámara");
    m_photoCountText = cam ? QString::number(cam->photos.size()) : QString();

    emit changed();
}

CameraConnection *WindowState::camera(const QString &cameraId) const
{
    if (!m_monitor)
        return nullptr;
    const QUuid id(cameraId);
    for (const auto &cam : m_monitor->cameras()) {
        if (cam->id() == id)
            return cam.get();
    }
    return nullptr;
}

void WindowState::selectPhoto(const QString &photoId)
{
    if (m_monitor)
        m_monitor->setSelectedPhotoId(QUuid(photoId));
}

void WindowState::selectCamera(const QString &cameraId)
{
    if (CameraConnection *cam = camera(cameraId))
        m_monitor->selectCamera(*cam);
}

void WindowState::toggleEnabled(const QString &cameraId)
{
    if (CameraConnection *cam = camera(cameraId))
        m_monitor->toggleEnabled(*cam);
}

void WindowState::toggleDirectorMode()
{
    if (m_monitor)
        m_monitor->toggleDirectorMode();
}

void WindowState::triggerShutter()
{
    if (m_monitor)
        m_monitor->triggerShutter();
}

void WindowState::chooseFolder()
{
    if (m_monitor)
        m_monitor->chooseFolder();
}
