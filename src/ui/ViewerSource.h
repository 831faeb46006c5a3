#pragma once

#include <QImage>
#include <QObject>
#include <QtQml/qqmlregistration.h>

#include <atomic>
#include <memory>
#include <optional>

#include "state/Monitor.h"

// What the photo column's viewer shows: in director mode the active camera's live frame,
// otherwise the selected photo's preview, with the identity that decides when the viewer's zoom
// and pan start afresh; or the placeholder caption when there is nothing to show. The image is
// handed over only when it really changes: a preview is decoded once per photo shown, and an
// unrelated change (a status, a count) does not touch the viewer. A photo's full image is
// decoded off the main thread: until it arrives the viewer shows the photo's thumbnail, scaled
// up, under the same identity, so the window never waits for a decode. Part of WindowState,
// which refreshes it after every Monitor change.
class ViewerSource : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    Q_PROPERTY(bool hasImage READ hasImage NOTIFY changed)
    Q_PROPERTY(QString caption READ caption NOTIFY changed)
    Q_PROPERTY(QString identity READ identity NOTIFY changed)
    Q_PROPERTY(QImage image READ image NOTIFY imageChanged)

public:
    explicit ViewerSource(const Monitor &monitor, QObject *parent = nullptr);

    // Follows the Monitor: called after each of its changes.
    void refresh();

    [[nodiscard]] bool hasImage() const { return !m_image.isNull(); }
    [[nodiscard]] QString caption() const { return m_caption; }
    [[nodiscard]] QString identity() const { return m_identity; }
    [[nodiscard]] QImage image() const { return m_image; }

    // The identity of a camera's live view: "live-" and the upper-case hyphenated UUID.
    [[nodiscard]] static QString liveIdentity(const QUuid &cameraId);

signals:
    void changed();
    void imageChanged();

private:
    void requestFull(const std::shared_ptr<PreviewSource> &preview, const QString &identity);
    void fullImageArrived(const QString &identity, const QImage &image);

    const Monitor &m_monitor;
    // The photo whose full image is being decoded; empty when none is awaited.
    QString m_awaited;
    // Set while refresh() runs: a source that answers at once hands its image over here.
    bool m_inRefresh = false;
    std::optional<QImage> m_answeredAtOnce;
    // Bumped for every request, so the decoder skips those the viewer has moved past.
    std::shared_ptr<std::atomic<quint64>> m_generation = std::make_shared<std::atomic<quint64>>(0);
    QString m_caption;
    QString m_identity;
    QImage m_image;
};
