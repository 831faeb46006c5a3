#include "ViewerSource.h"

#include <cmath>
#include <utility>

#include "ZoomState.h"

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
    bool full = true;
    bool reduced = false;
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
                image = m_image; // unchanged, or its image is on its way
                reduced = m_reduced;
            } else {
                m_zoom = 1; // a new identity starts at the fitted view
                m_inRefresh = true;
                requestFull(photo->preview, identity, shownPixels(*photo));
                m_inRefresh = false;
                if (m_answeredAtOnce) {
                    std::tie(image, full) = *std::exchange(m_answeredAtOnce, std::nullopt);
                    reduced = !full && !image.isNull();
                    m_awaited.clear();
                } else {
                    // Stand-in until the decode arrives: a smaller decode kept from before, or
                    // the thumbnail.
                    image = photo->preview->cachedImage();
                    reduced = !image.isNull();
                    if (image.isNull())
                        image = photo->thumb.image();
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
    m_reduced = reduced;
    emit changed();
    if (newImage)
        emit imageChanged();
}

void ViewerSource::setFrameSize(const QSizeF &size)
{
    if (size == m_frameSize)
        return;
    m_frameSize = size;
    emit viewChanged();
    upgradeIfZoomedPast();
}

void ViewerSource::setZoom(qreal zoom)
{
    if (qFuzzyCompare(zoom, m_zoom))
        return;
    m_zoom = zoom;
    emit viewChanged();
    upgradeIfZoomedPast();
}

QSize ViewerSource::shownPixels(const CapturedPhoto &photo) const
{
    // The thumbnail is upright, so it has the shown aspect ratio; the record's size may not.
    const QSizeF aspect = photo.thumb.isNull() ? QSizeF(photo.width, photo.height) : QSizeF(photo.thumb.size());
    const QSizeF fitted = ZoomState::fittedSize(aspect, m_frameSize) * std::max<qreal>(m_zoom, 1);
    if (fitted.isEmpty())
        return {};
    return {int(std::ceil(fitted.width())), int(std::ceil(fitted.height()))};
}

void ViewerSource::upgradeIfZoomedPast()
{
    if (!m_reduced || !m_awaited.isEmpty() || m_monitor.directorModeOn())
        return;
    const CapturedPhoto *photo = m_monitor.selectedPhoto();
    if (!photo || !photo->preview || photo->id().toString(QUuid::WithoutBraces) != m_identity)
        return;
    const QSize shown = shownPixels(*photo);
    if (!shown.isEmpty() && shown.width() <= m_image.width() && shown.height() <= m_image.height())
        return;
    requestFull(photo->preview, m_identity, QSize());
}

void ViewerSource::requestFull(const std::shared_ptr<PreviewSource> &preview, const QString &identity, QSize atLeast)
{
    m_awaited = identity;
    const quint64 generation = ++*m_generation;
    const std::shared_ptr<std::atomic<quint64>> current = m_generation;
    preview->requestImage(
        this, atLeast, [current, generation] { return current->load() == generation; },
        [this, identity](const QImage &image, bool full) { fullImageArrived(identity, image, full); });
}

void ViewerSource::fullImageArrived(const QString &identity, const QImage &image, bool full)
{
    if (identity != m_awaited)
        return; // the viewer has moved on
    if (m_inRefresh) {
        m_answeredAtOnce = std::pair(image, full);
        return;
    }
    m_awaited.clear();
    const bool wasShown = m_identity == identity;
    if (image.isNull() && wasShown && m_reduced) {
        m_reduced = false; // the full image is gone: the reduced one stays, and is not asked again
        return;
    }
    m_identity = image.isNull() ? QString() : identity; // undecodable: the placeholder
    m_image = image;
    m_reduced = !full && !image.isNull();
    emit changed();
    if (wasShown || !image.isNull())
        emit imageChanged();
    upgradeIfZoomedPast();
}
