// Monitor's capture folder and file storage: choosing the folder, storing each received photo
// file under a name that overwrites nothing, and keeping photos that could not be written
// until they can be.

#include <cstring>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QStandardPaths>
#include <QUrl>

#include <algorithm>
#include <utility>

#include "ingest/CaptureStorage.h"
#include "ingest/IngestState.h"
#include "ingest/PreviewCache.h"
#include "ingest/StoreWriter.h"
#include "model/Logging.h"
#include "model/Monitor.h"

namespace {


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
    logWarning(lcIngest(), line);
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

void markResult(Monitor &monitor, IngestState &state, const IngestState::Pending &item,
                const capture::StoreResult &result);

// Hands one photo's file to the writer. Its record (when still listed) shows Writing until the
// result comes back.
void queueWrite(Monitor &monitor, IngestState &state, const IngestState::Pending &item)
{
    if (CapturedPhoto *photo = findPhoto(monitor, item.cameraId, item.photoId))
        photo->storage = CapturedPhoto::Storage::Writing;
    QPointer<Monitor> guard(&monitor);
    state.writer->write(monitor.folder(), item.name, state.previews->bytes(item.key),
                        [guard, &state, item](const capture::StoreResult &result) {
                            if (guard)
                                markResult(*guard, state, item, result);
                        });
}

// Queues the photos that are not stored yet, oldest first, into the current folder.
void retryPending(Monitor &monitor, IngestState &state)
{
    if (monitor.folder().isEmpty())
        return;
    const QList<IngestState::Pending> retry = std::exchange(state.pending, {});
    for (const IngestState::Pending &item : retry)
        queueWrite(monitor, state, item);
}

void markResult(Monitor &monitor, IngestState &state, const IngestState::Pending &item,
                const capture::StoreResult &result)
{
    CapturedPhoto *photo = findPhoto(monitor, item.cameraId, item.photoId);
    if (result.ok()) {
        noteSuccess(state, result);
        state.previews->markStored(item.key, result.path);
        if (photo) {
            photo->storage = CapturedPhoto::Storage::Stored;
            photo->storedPath = result.path;
        }
        // The folder works (again): write what earlier failures left in memory.
        retryPending(monitor, state);
    } else {
        reportFailure(state, result, item.name);
        // Back in arrival order (keys grow with arrival), whatever order the tries ran in.
        const auto at = std::lower_bound(state.pending.begin(), state.pending.end(), item.key,
                                         [](const IngestState::Pending &p, PreviewCache::Key key) { return p.key < key; });
        state.pending.insert(at, item);
        if (!state.retryTimer.isActive())
            state.retryTimer.start();
        if (photo)
            photo->storage = CapturedPhoto::Storage::NotStored;
    }
    emit monitor.objectWillChange();
}

// A retry tick: while writes are under way their results decide what happens next; otherwise
// the oldest waiting photo is tried, and its success writes the others.
void retryOldest(Monitor &monitor, IngestState &state)
{
    if (state.pending.isEmpty()) {
        state.retryTimer.stop();
        return;
    }
    if (monitor.folder().isEmpty() || state.writer->inFlight() > 0)
        return;
    queueWrite(monitor, state, state.pending.takeFirst());
    emit monitor.objectWillChange();
}

} // namespace

IngestState &Monitor::ingest()
{
    if (!m_ingest) {
        m_ingest = std::make_shared<IngestState>();
        m_ingest->retryTimer.setInterval(IngestState::kRetryIntervalMs);
        connect(&m_ingest->retryTimer, &QTimer::timeout, this, [this] { retryOldest(*this, *m_ingest); });
    }
    return *m_ingest;
}

void Monitor::sweepFolder()
{
    const QString folder = m_folder;
    ingest().writer->removeLeftovers(folder, [folder](int removed) {
        if (removed > 0)
            qCInfo(lcIngest).noquote() << "removed" << removed << "temporary file(s) left by interrupted writes in"
                                       << folder;
    });
}

QString Monitor::nonClobbering(const QString &dir, const QString &name)
{
    return capture::firstFreePath(dir, name);
}

void Monitor::chooseFolder()
{
    QString start = m_folder;
    if (start.isEmpty())
        start = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::homePath();
    // A file URL, not "file://" + path: names with "#", "?" or "%" stay part of the path.
    emit folderChooserRequested(QUrl::fromLocalFile(start));
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
    IngestState &state = ingest();
    if (!state.pending.isEmpty()) {
        retryPending(*this, state);
        emit objectWillChange();
    }
}

void Monitor::handleFile(const QString &name, const QByteArray &data, CameraConnection &cam)
{
    if (!cam.enabled)
        return;

    IngestState &state = ingest();
    cam.lastActivity = QDateTime::currentDateTime();
    cam.status = CameraStatus::Receiving;

    CapturedPhoto photo = buildPhoto(name, data);
    // The cache holds the bytes until the file is stored: until then they are the only copy.
    const PreviewCache::Key key = state.previews->add(data, name);
    photo.preview = makePreviewSource(state.previews, key);
    const IngestState::Pending item{cam.id(), photo.id(), key, name};
    cam.photos.append(photo);
    m_selectedPhotoId = photo.id();

    if (m_folder.isEmpty()) {
        capture::StoreResult noFolder;
        noFolder.error = capture::StoreError::NoFolder;
        reportFailure(state, noFolder, name);
        state.pending.append(item);
    } else {
        queueWrite(*this, state, item);
    }
    emit objectWillChange();
}

void waitForStores(Monitor &monitor)
{
    monitor.ingest().writer->waitForIdle();
}
