#include "model/Monitor.h"

#include <algorithm>

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {
// The folder's last path component; the root directory has none and shows as itself.
QString lastComponent(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}
} // namespace

Monitor::Monitor(std::unique_ptr<QSettings> settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings ? std::move(settings) : std::make_unique<QSettings>())
{
    restoreFolder();
}

Monitor::~Monitor() = default;

// Restores the capture folder stored by setFolder(). The members are assigned directly, so
// the stored entry is never rewritten here, even when the folder has gone missing.
void Monitor::restoreFolder()
{
    const QVariant stored = m_settings->value(QLatin1String(kFolderKey));
    if (!stored.isValid())
        return;
    const QString path = stored.toString();
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    m_folder = QDir::cleanPath(path);
    m_folderName = lastComponent(m_folder);
    sweepFolder();
}

void Monitor::appendCamera(std::shared_ptr<CameraConnection> cam)
{
    m_cameras.append(std::move(cam));
    emit objectWillChange();
}

void Monitor::setActiveCameraId(const QUuid &id)
{
    m_activeCameraId = id;
    emit objectWillChange();
}

void Monitor::setSelectedPhotoId(const QUuid &id)
{
    m_selectedPhotoId = id;
    emit objectWillChange();
}

void Monitor::setDirectorModeOn(bool on)
{
    m_directorModeOn = on;
    emit objectWillChange();
}

void Monitor::setCameraPopoverOpen(bool open)
{
    m_cameraPopoverOpen = open;
    emit objectWillChange();
}

void Monitor::setListening(bool listening)
{
    m_listening = listening;
    emit objectWillChange();
}

void Monitor::setFolder(const QString &path)
{
    m_folder = path.isEmpty() ? QString() : QDir::cleanPath(path);
    if (m_folder.isEmpty()) {
        m_settings->remove(QLatin1String(kFolderKey));
        m_folderName = kMissing;
    } else {
        m_settings->setValue(QLatin1String(kFolderKey), m_folder);
        m_folderName = lastComponent(m_folder);
        sweepFolder();
    }
    m_settings->sync();
    emit objectWillChange();
}

CameraConnection *Monitor::activeCamera() const
{
    if (!m_activeCameraId.isNull()) {
        for (const auto &cam : m_cameras) {
            if (cam->id() == m_activeCameraId)
                return cam.get();
        }
    }
    return m_cameras.isEmpty() ? nullptr : m_cameras.first().get();
}

int Monitor::photoCount(CapturedPhoto::Storage storage) const
{
    int count = 0;
    for (const auto &cam : m_cameras)
        count += int(std::count_if(cam->photos.cbegin(), cam->photos.cend(),
                                   [storage](const CapturedPhoto &photo) { return photo.storage == storage; }));
    return count;
}

const CapturedPhoto *Monitor::selectedPhoto() const
{
    const CameraConnection *cam = activeCamera();
    if (!cam)
        return nullptr;
    if (!m_selectedPhotoId.isNull()) {
        for (const auto &photo : cam->photos) {
            if (photo.id() == m_selectedPhotoId)
                return &photo;
        }
    }
    return cam->photos.isEmpty() ? nullptr : &cam->photos.last();
}
