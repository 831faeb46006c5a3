#include "ThumbnailModel.h"

ThumbnailModel::ThumbnailModel(const Monitor &monitor, QObject *parent)
    : QAbstractListModel(parent)
    , m_monitor(monitor)
{
}

const CameraConnection *ThumbnailModel::camera() const
{
    return m_monitor.activeCamera();
}

int ThumbnailModel::selectedIndex() const
{
    const CameraConnection *cam = camera();
    const CapturedPhoto *photo = m_monitor.selectedPhoto();
    if (!cam || !photo)
        return -1;
    // The selection is usually the newest photo: look from the end.
    for (qsizetype i = cam->photos.size() - 1; i >= 0; --i) {
        if (&cam->photos[i] == photo)
            return int(i);
    }
    return -1;
}

void ThumbnailModel::refresh()
{
    const CameraConnection *cam = camera();
    const QUuid cameraId = cam ? cam->id() : QUuid();
    const int photos = cam ? int(cam->photos.size()) : 0;
    const int oldRows = m_rows;

    if (cameraId != m_cameraId || photos < m_rows) {
        beginResetModel();
        m_cameraId = cameraId;
        m_rows = photos;
        m_selectedIndex = selectedIndex();
        m_shown.clear();
        for (int i = 0; i < photos; ++i)
            m_shown.append(shown(cam->photos[i]));
        endResetModel();
    } else {
        if (photos > m_rows) {
            beginInsertRows({}, 0, photos - m_rows - 1);
            m_rows = photos;
            for (int i = int(m_shown.size()); i < photos; ++i)
                m_shown.append(shown(cam->photos[i]));
            endInsertRows();
        }
        // Files are written and thumbnails built after the record is shown: a photo may change
        // its storage state and get its thumbnail.
        for (int i = 0; i < m_rows; ++i) {
            const Shown now = shown(cam->photos[i]);
            QList<int> roles;
            if (now.unsaved != m_shown[i].unsaved)
                roles.append(UnsavedRole);
            if (now.thumbKey != m_shown[i].thumbKey)
                roles.append({ThumbRole, HasThumbRole});
            if (!roles.isEmpty()) {
                m_shown[i] = now;
                const QModelIndex row = index(m_rows - 1 - i);
                emit dataChanged(row, row, roles);
            }
        }
        const int selected = selectedIndex();
        if (selected != m_selectedIndex) {
            const int previous = m_selectedIndex;
            m_selectedIndex = selected;
            for (int photoIndex : {previous, selected}) {
                if (photoIndex >= 0 && photoIndex < m_rows) {
                    const QModelIndex row = index(m_rows - 1 - photoIndex);
                    emit dataChanged(row, row, {SelectedRole});
                }
            }
        }
    }
    if (oldRows != m_rows)
        emit countChanged();
}

int ThumbnailModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

QVariant ThumbnailModel::data(const QModelIndex &index, int role) const
{
    const CameraConnection *cam = camera();
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid) || !cam
        || cam->id() != m_cameraId || m_rows > cam->photos.size())
        return {};
    const int photoIndex = m_rows - 1 - index.row();
    const CapturedPhoto &photo = cam->photos[photoIndex];
    switch (role) {
    case PhotoIdRole:
        return photo.id().toString(QUuid::WithoutBraces);
    case ThumbRole:
        return thumbnail(photoIndex, photo);
    case HasThumbRole:
        return !thumbnail(photoIndex, photo).isNull();
    case SelectedRole:
        return photoIndex == m_selectedIndex;
    case UnsavedRole:
        return photo.isNotStored();
    case FilenameRole:
    case Qt::DisplayRole:
        return photo.filename;
    default:
        return {};
    }
}

QImage ThumbnailModel::thumbnail(int photoIndex, const CapturedPhoto &photo) const
{
    QImage image = photo.thumb.cached();
    const quint64 key = photo.thumb.cacheKey();
    if (!image.isNull() || m_loading.contains(key))
        return image;
    // data() is const, and asking for a load changes no row; the answer is told through the model.
    auto *self = const_cast<ThumbnailModel *>(this);
    const auto arrived = [self, key, cameraId = m_cameraId, photoIndex, photoId = photo.id()](bool changed) {
        self->m_loading.remove(key);
        if (changed)
            self->thumbnailLoaded(cameraId, photoIndex, photoId);
    };
    const bool loading = photo.thumb.request(self, arrived);
    if (loading)
        m_loading.insert(key);
    return image;
}

// A thumbnail arrived, or is worth asking for again: its tile reads it, if it is still listed.
void ThumbnailModel::thumbnailLoaded(const QUuid &cameraId, int photoIndex, const QUuid &photoId)
{
    const CameraConnection *cam = camera();
    if (!cam || cam->id() != cameraId || cameraId != m_cameraId || photoIndex >= m_rows
        || photoIndex >= cam->photos.size() || cam->photos[photoIndex].id() != photoId)
        return;
    const QModelIndex row = index(m_rows - 1 - photoIndex);
    emit dataChanged(row, row, {ThumbRole, HasThumbRole});
}

QHash<int, QByteArray> ThumbnailModel::roleNames() const
{
    return {
        {PhotoIdRole, "photoId"},   {ThumbRole, "thumb"},       {HasThumbRole, "hasThumb"},
        {SelectedRole, "selected"}, {UnsavedRole, "unsaved"},     {FilenameRole, "filename"},
    };
}
