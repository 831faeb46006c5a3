#pragma once

#include <QImage>
#include <QObject>
#include <QSizeF>
#include <QtQml/qqmlregistration.h>

#include <atomic>
#include <memory>
#include <optional>

#include "state/Monitor.h"

// What the photo column's viewer shows: in director mode the active camera's live frame,
// otherwise the selected photo's preview, with the identity that decides when the viewer's zoom
// and pan start afresh; or the placeholder caption when there is nothing to show. The image is
// handed over only when it really changes: a preview is decoded once per photo shown, and an
// unrelated change (a status, a count) does not touch the viewer. A photo's image is decoded
// off the main thread: until it arrives the viewer shows the photo's thumbnail, scaled up, under
// the same identity, so the window never waits for a decode. Once the view has told its size, a
// photo is first decoded only as large as the view shows it (a JPEG decodes several times
// faster reduced); the full image is decoded when the zoom shows more pixels than that, and the
// reduced image stays on screen, scaled, until it arrives. Part of WindowState, which refreshes
// it after every Monitor change.
class ViewerSource : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    Q_PROPERTY(bool hasImage READ hasImage NOTIFY changed)
    Q_PROPERTY(QString caption READ caption NOTIFY changed)
    Q_PROPERTY(QString identity READ identity NOTIFY changed)
    Q_PROPERTY(QImage image READ image NOTIFY imageChanged)
    // Set by the view: its frame in device pixels (empty: unknown, photos are decoded at full
    // size) and its committed zoom.
    Q_PROPERTY(QSizeF frameSize READ frameSize WRITE setFrameSize NOTIFY viewChanged)
    Q_PROPERTY(qreal zoom READ zoom WRITE setZoom NOTIFY viewChanged)

public:
    explicit ViewerSource(const Monitor &monitor, QObject *parent = nullptr);

    // Follows the Monitor: called after each of its changes.
    void refresh();

    [[nodiscard]] bool hasImage() const { return !m_image.isNull(); }
    [[nodiscard]] QString caption() const { return m_caption; }
    [[nodiscard]] QString identity() const { return m_identity; }
    [[nodiscard]] QImage image() const { return m_image; }
    [[nodiscard]] QSizeF frameSize() const { return m_frameSize; }
    void setFrameSize(const QSizeF &size);
    [[nodiscard]] qreal zoom() const { return m_zoom; }
    void setZoom(qreal zoom);

    // The identity of a camera's live view: "live-" and the upper-case hyphenated UUID.
    [[nodiscard]] static QString liveIdentity(const QUuid &cameraId);

signals:
    void changed();
    void imageChanged();
    void viewChanged();

private:
    // The pixels the view shows `photo` at, at the current zoom; empty when unknown.
    [[nodiscard]] QSize shownPixels(const CapturedPhoto &photo) const;
    void requestFull(const std::shared_ptr<PreviewSource> &preview, const QString &identity, QSize atLeast);
    void fullImageArrived(const QString &identity, const QImage &image, bool full);
    // Asks for the full image of the shown photo when the zoom shows more than its reduced one.
    void upgradeIfZoomedPast();

    const Monitor &m_monitor;
    // The photo whose full image is being decoded; empty when none is awaited.
    QString m_awaited;
    // Set while refresh() runs: a source that answers at once hands its image over here.
    bool m_inRefresh = false;
    std::optional<std::pair<QImage, bool>> m_answeredAtOnce; // the image, and whether it is full
    // Bumped for every request, so the decoder skips those the viewer has moved past.
    std::shared_ptr<std::atomic<quint64>> m_generation = std::make_shared<std::atomic<quint64>>(0);
    // Whether m_image is a reduced decode of the photo (not its full image nor its thumbnail).
    bool m_reduced = false;
    QSizeF m_frameSize;
    qreal m_zoom = 1;
    QString m_caption;
    QString m_identity;
    QImage m_image;
};
