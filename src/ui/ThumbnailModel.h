#pragma once

#include <QAbstractListModel>
#include <QSet>
#include <QUuid>
#include <QtQml/qqmlregistration.h>

#include "state/Monitor.h"

// The active camera's photos for the thumbnail strip, newest first. Updates are incremental:
// a new photo is one inserted row at the top, a selection change touches two rows, and a file
// that reaches the folder or a thumbnail built after its photo was listed touches its own row, so a strip of thousands of tiles never rebuilds
// its delegates; switching cameras resets. Thumbnails are answered from the store's small
// decoded cache: a tile whose thumbnail is not at hand shows the placeholder while it loads off
// the main thread, and its row is told when it arrives. Part of WindowState.
class ThumbnailModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Part of WindowState")

    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role {
        PhotoIdRole = Qt::UserRole + 1,
        ThumbRole,
        HasThumbRole,
        SelectedRole,
        UnsavedRole, // the file is not in the capture folder (and is not being written)
        FilenameRole,
    };

    explicit ThumbnailModel(const Monitor &monitor, QObject *parent = nullptr);

    // Follows the Monitor: called after each of its changes.
    void refresh();
    [[nodiscard]] int count() const { return m_rows; }

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

signals:
    void countChanged();

private:
    [[nodiscard]] const CameraConnection *camera() const;
    // Index into the camera's photos (oldest first) of the selected photo, or -1.
    [[nodiscard]] int selectedIndex() const;
    // The photo's thumbnail if it is at hand; otherwise null, and it is loaded.
    [[nodiscard]] QImage thumbnail(int photoIndex, const CapturedPhoto &photo) const;
    void thumbnailLoaded(const QUuid &cameraId, int photoIndex, const QUuid &photoId);

    const Monitor &m_monitor;
    QUuid m_cameraId;
    int m_rows = 0;
    int m_selectedIndex = -1;
    // What each tile showed, by photo index, oldest first.
    struct Shown {
        bool unsaved = false;
        quint64 thumbKey = 0; // Thumbnail::cacheKey of the thumbnail; 0 while there is none
    };
    [[nodiscard]] static Shown shown(const CapturedPhoto &photo) { return {photo.isNotStored(), photo.thumb.cacheKey()}; }
    QList<Shown> m_shown;
    // Thumbnails being loaded (by cache key), so that a tile asks once.
    mutable QSet<quint64> m_loading;
};
