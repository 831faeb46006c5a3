#include "ViewerSource.h"

ViewerSource::ViewerSource(QObject *parent)
    : QObject(parent)
{
    refresh();
}

void ViewerSource::setMonitor(Monitor *monitor)
{
    if (monitor == m_monitor)
        return;
    if (m_monitor)
        disconnect(m_monitor, nullptr, this, nullptr);
    m_monitor = monitor;
    if (m_monitor)
        connect(m_monitor, &Monitor::objectWillChange, this, &ViewerSource::refresh);
    refresh();
    emit monitorChanged();
}

QString ViewerSource::liveIdentity(const QUuid &cameraId)
{
    return QStringLiteral("live-") + cameraId.toString(QUuid::WithoutBraces).toUpper();
}

void ViewerSource::refresh()
{
    const CameraConnection *cam = m_monitor ? m_monitor->activeCamera() : nullptr;
    QString identity;
    QImage image;
    if (m_monitor && m_monitor->directorModeOn()) {
        m_caption = QStringLiteral("Live view");
        if (cam && !cam->liveFrame.isNull()) {
            identity = liveIdentity(cam->id());
            image = cam->liveFrame;
        }
    } else {
        m_caption = QStringLiteral("Última foto capturada");
        const CapturedPhoto *photo = m_monitor ? m_monitor->selectedPhoto() : nullptr;
        if (photo && photo->preview) {
            identity = photo->id().toString(QUuid::WithoutBraces);
            image = identity == m_identity ? m_image : photo->preview->image();
            // A preview that cannot be decoded shows the placeholder, like a missing one.
            if (image.isNull())
                identity.clear();
        }
    }
    const bool newImage = image.cacheKey() != m_image.cacheKey();
    m_identity = identity;
    m_image = image;
    emit changed();
    if (newImage)
        emit imageChanged();
}
