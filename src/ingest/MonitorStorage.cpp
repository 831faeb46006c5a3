// Monitor's capture folder and file storage: choosing the folder, storing each received photo
// file under a name that overwrites nothing, and keeping photos that could not be written
// until they can be.

#include <cstring>
#include <syslog.h>

#include <QDateTime>
#include <QDir>
#include <QLoggingCategory>

#include "ingest/CaptureStorage.h"
#include "ingest/IngestState.h"
#include "ingest/PreviewCache.h"
#include "model/Monitor.h"

namespace {

Q_LOGGING_CATEGORY(lcIngest, "halvane.ingest")

// Logs a failed store once per cause until a write succeeds again, so a disk that stays full
// during a burst does not flood the log.
void reportFailure(IngestState &state, const capture::StoreResult &result, const QString &name)
{
    const int cause = static_cast<int>(result.error);
    if (state.reportedCauses.contains(cause))
        return;
    state.reportedCauses.insert(cause);
    const QString detail = result.sysError != 0 ? QString::fromLocal8Bit(strerror(result.sysError)) : QString();
    const QString line = QStringLiteral("photo not stored (%1%2%3); kept in memory until it can be written: %4")
                             .arg(QLatin1String(capture::describe(result.error)),
                                  detail.isEmpty() ? QString() : QStringLiteral(": "), detail, name);
    qCWarning(lcIngest).noquote() << line;
    syslog(LOG_WARNING, "%s", line.toUtf8().constData());
}

void noteSuccess(IngestState &state, const capture::StoreResult &result)
{
    state.reportedCauses.clear();
    if (result.sysError != 0) {
        // The file is complete at its name; only the directory flush failed.
        qCWarning(lcIngest).noquote() << "could not flush the capture folder after storing" << result.path
                                      << ":" << QString::fromLocal8Bit(strerror(result.sysError));
    }
}

CapturedPhoto *findPhoto(const Monitor &monitor, const QUuid &cameraId, const QUuid &photoId)
{
    for (const auto &cam : monitor.cameras()) {
        if (cam->id() != cameraId)
            continue;
        for (auto &photo : cam->photos) {
            if (photo.id() == photoId)
                return &photo;
        }
    }
    return nullptr;
}

// Writes the photos that are not stored yet, oldest first, and stops at the first failure
// (its cause most likely applies to the rest too). Returns how many were stored.
int storePending(const Monitor &monitor, IngestState &state)
{
    int stored = 0;
    while (!state.pending.isEmpty()) {
        const IngestState::Pending &next = state.pending.first();
        const capture::StoreResult result =
            capture::storeFile(monitor.folder(), next.name, state.previews->bytes(next.key));
        if (!result.ok()) {
            reportFailure(state, result, next.name);
            break;
        }
        noteSuccess(state, result);
        state.previews->markStored(next.key, result.path);
        // A record of a camera that is no longer listed cannot be updated, but its file is safe.
        if (CapturedPhoto *photo = findPhoto(monitor, next.cameraId, next.photoId))
            photo->storedPath = result.path;
        state.pending.removeFirst();
        ++stored;
    }
    return stored;
}

} // namespace

IngestState &Monitor::ingest()
{
    if (!m_ingest)
        m_ingest = std::make_shared<IngestState>();
    return *m_ingest;
}

QString Monitor::nonClobbering(const QString &dir, const QString &name)
{
    return capture::firstFreePath(dir, name);
}

void Monitor::chooseFolder()
{
    emit folderChooserRequested(m_folder);
}

void Monitor::useChosenFolder(const QUrl &location)
{
    const QString path = location.isLocalFile() ? location.toLocalFile()
                         : location.scheme().isEmpty() ? location.path()
                                                       : QString();
    if (path.isEmpty())
        return;
    // An existing directory, or one that cannot be made, is no reason to refuse the choice.
    QDir().mkpath(path);
    setFolder(path);
    if (storePending(*this, ingest()) > 0)
        emit objectWillChange();
}

void Monitor::handleFile(const QString &name, const QByteArray &data, CameraConnection &cam)
{
    if (!cam.enabled)
        return;

    IngestState &state = ingest();
    const capture::StoreResult stored = capture::storeFile(m_folder, name, data);

    cam.lastActivity = QDateTime::currentDateTime();
    cam.status = CameraStatus::Receiving;

    CapturedPhoto photo = buildPhoto(name, data);
    const PreviewCache::Key key = state.previews->add(data, name);
    photo.preview = makePreviewSource(state.previews, key);
    if (stored.ok()) {
        noteSuccess(state, stored);
        photo.storedPath = stored.path;
        state.previews->markStored(key, stored.path);
    } else {
        reportFailure(state, stored, name);
        state.pending.append({cam.id(), photo.id(), key, name});
    }
    cam.photos.append(photo);
    m_selectedPhotoId = photo.id();

    // The folder works again: write what earlier failures left in memory.
    if (stored.ok())
        storePending(*this, state);

    emit objectWillChange();
}
