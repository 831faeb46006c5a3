#include "ViewerSource.h"

#include <utility>

ViewerSource::ViewerSource(const Monitor &monitor, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
{
}

QString ViewerSource::liveIdentity(const QUuid &cameraId)
{
    return QStringLiteral("live-") + cameraId.toString(QUuid::WithoutBraces).toUpper();
}

void ViewerSource::refresh()
{
    const CameraConnection *cam = m_monitor.activeCamera();
    QString identity;
    QImage image;
    if (m_monitor.directorModeOn()) {
        m_caption = QStringLiteral("Live view");
        if (cam && !cam->liveFrame.isNull()) {
            identity = liveIdentity(cam->id());
            image = cam->liveFrame;
        }
    } else {
        m_caption = QStringLiteral("Última foto capturada");
        const CapturedPhoto *photo = m_monitor.selectedPhoto();
        if (photo && photo->preview) {
            identity = photo->id().toString(QUuid::WithoutBraces);
            if (identity == m_identity || identity == m_awaited) {
                image = m_image; // unchanged, or its full image is on its way
            } else {
                image = photo->preview->cachedImage();
                if (image.isNull()) {
                    m_inRefresh = true;
                    requestFull(photo->preview, identity);
                    m_inRefresh = false;
                    if (m_answeredAtOnce) {
                        image = *std::exchange(m_answeredAtOnce, std::nullopt);
                        m_awaited.clear();
                    } else {
                        image = photo->thumb; // stand-in until the full image is decoded
                    }
                }
            }
            // Nothing to show yet, or a preview that cannot be decoded: the placeholder.
            if (image.isNull() && identity != m_awaited)
                identity.clear();
        }
    }
    if (identity.isEmpty() || identity != m_awaited)
        m_awaited.clear();
    const bool newImage = image.cacheKey() != m_image.cacheKey();
    m_identity = identity;
    m_image = image;
    emit changed();
    if (newImage)
        emit imageChanged();
}

void ViewerSource::requestFull(const std::shared_ptr<PreviewSource> &preview, const QString &identity)
{
    m_awaited = identity;
    const quint64 generation = ++*m_generation;
    const std::shared_ptr<std::atomic<quint64>> current = m_generation;
    preview->requestImage(
        this, [current, generation] { return current->load() == generation; },
        [this, identity](const QImage &image) { fullImageArrived(identity, image); });
}

void ViewerSource::fullImageArrived(const QString &identity, const QImage &image)
{
    if (identity != m_awaited)
        return; // the viewer has moved on
    if (m_inRefresh) {
        m_answeredAtOnce = image;
        return;
    }
    m_awaited.clear();
    const bool wasShown = m_identity == identity;
    m_identity = image.isNull() ? QString() : identity; // undecodable: the placeholder
    m_image = image;
    emit changed();
    if (wasShown || !image.isNull())
        emit imageChanged();
}
