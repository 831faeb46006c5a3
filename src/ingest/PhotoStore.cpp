#include "ingest/PhotoStore.h"

#include <cstring>

#include <algorithm>
#include <utility>

#include <QLoggingCategory>

#include "model/Logging.h"

PhotoStore::PhotoStore(int retryIntervalMs, QObject *parent)
    : QObject(parent)
{
    m_retryTimer.setInterval(retryIntervalMs);
    connect(&m_retryTimer, &QTimer::timeout, this, &PhotoStore::retryOldest);
}

PhotoStore::~PhotoStore() = default;

void PhotoStore::setPendingFolder(const QString &dir)
{
    if (dir.isEmpty() || !m_pendingDir.isEmpty())
        return;
    auto lock = std::make_unique<pending::FolderLock>(dir);
    if (!lock->isHeld()) {
        logWarning(lcIngest(),
            QStringLiteral("pending folder %1 cannot be used (%2): photos that cannot be stored wait in memory")
                .arg(dir, QString::fromLocal8Bit(strerror(lock->error()))));
        return;
    }
    m_pendingLock = std::move(lock);
    m_pendingDir = dir;
    m_writer.run<pending::Listing>([dir] { return pending::scan(dir); },
        [this](const pending::Listing &listing) { scanned(listing); });
}

void PhotoStore::setFolder(const QString &folder)
{
    if (folder != m_folder)
        setFolderFailing(false);
    m_folder = folder;
    if (folder.isEmpty())
        return;
    m_writer.removeLeftovers(folder, [folder](int removed) {
        if (removed > 0)
            qCInfo(lcIngest).noquote()
                << "removed" << removed << "temporary file(s) left by interrupted writes in" << folder;
    });
}

PreviewCache::Key PhotoStore::add(const QUuid &cameraId, const QString &cameraName, CapturedPhoto &photo, const QByteArray &data)
{
    // The cache holds the bytes until they are in a file: until then they are the only copy.
    const PreviewCache::Key key = m_previews->add(data, photo.filename);
    photo.preview = makePreviewSource(m_previews, key);
    Waiting item;
    item.cameraId = cameraId;
    item.photoId = photo.id();
    item.key = key;
    item.order = m_nextOrder++;
    item.size = data.size();
    item.meta = { photo.id(), photo.filename, cameraName, QDateTime::currentDateTimeUtc() };
    photo.storage = m_folder.isEmpty() ? CapturedPhoto::Storage::NotStored : CapturedPhoto::Storage::Writing;
    if (m_folder.isEmpty() && !canKeep()) {
        capture::StoreResult noFolder;
        noFolder.error = capture::StoreError::NoFolder;
        reportFailure(noFolder, item.meta.name, false);
        wait(std::move(item));
    } else {
        QList<Update> ignored; // the record is not shown yet; its state was set above
        queueWrite(std::move(item), ignored);
    }
    updateHold();
    return key;
}

void PhotoStore::writeWaiting()
{
    setFolderFailing(false);
    if (m_waiting.isEmpty())
        return;
    QList<Update> updates;
    queueAllWaiting(updates);
    if (!updates.isEmpty())
        emit storageChanged(updates);
}

bool PhotoStore::keepMemoryPhotosForExit()
{
    m_retryTimer.stop();
    QList<Update> updates;
    bool any = false;
    for (qsizetype i = 0; i < m_waiting.size();) {
        if (m_waiting.at(i).inMemoryOnly()) {
            queueWrite(m_waiting.takeAt(i), updates);
            any = true;
        } else {
            ++i;
        }
    }
    if (!updates.isEmpty())
        emit storageChanged(updates);
    return any;
}

int PhotoStore::memoryOnlyCount() const
{
    return int(std::count_if(m_waiting.cbegin(), m_waiting.cend(),
        [](const Waiting &w) { return w.inMemoryOnly(); }));
}

// One job per photo on the writing thread: a photo in a pending file is moved from it into the
// capture folder; a photo in memory goes into the capture folder or, failing that, into the
// pending folder.
void PhotoStore::queueWrite(Waiting item, QList<Update> &updates)
{
    if (!item.recovered() && !m_folder.isEmpty())
        updates.append({ item.cameraId, item.photoId, CapturedPhoto::Storage::Writing, {} });
    const QString folder = m_folder;
    const QString pendingDir = m_pendingDir;
    const std::optional<pending::Photo> onDisk = item.onDisk;
    const QByteArray data = onDisk ? QByteArray() : m_previews->bytes(item.key);
    if (onDisk) {
        ++m_backlogJobs;
    } else {
        ++m_memoryJobs;
        m_memoryJobBytes += item.size + MemoryBudget::kPerPhotoOverhead;
    }
    const pending::Meta meta = item.meta;
    m_writer.run<Outcome>(
        [folder, pendingDir, onDisk, meta, data] {
            Outcome out;
            if (onDisk) {
                if (folder.isEmpty()) {
                    out.stored.error = capture::StoreError::NoFolder;
                    return out;
                }
                const pending::MoveResult moved = pending::moveInto(folder, *onDisk);
                out.stored = moved.stored;
                out.ownFault = moved.unreadable || moved.stored.error == capture::StoreError::NameRefused;
                out.pendingRemoved = moved.removed;
                return out;
            }
            if (!folder.isEmpty()) {
                out.stored = capture::storeFile(folder, meta.name, data);
                if (out.stored.ok())
                    return out;
                out.ownFault = out.stored.error == capture::StoreError::NameRefused;
            } else {
                out.stored.error = capture::StoreError::NoFolder;
            }
            if (!pendingDir.isEmpty())
                out.kept = pending::write(pendingDir, meta, data);
            return out;
        },
        [this, item = std::move(item)](const Outcome &outcome) { written(item, outcome); });
}

// Photos in memory all at once (they cost memory while they wait); the backlog on disk only up
// to kBacklogInFlight at a time, each finished one feeding the next.
void PhotoStore::queueAllWaiting(QList<Update> &updates)
{
    if (m_folder.isEmpty() || m_folderFailing)
        return;
    for (qsizetype i = 0; i < m_waiting.size();) {
        const Waiting &w = m_waiting.at(i);
        if (!triedIn(w) && (w.inMemoryOnly() || m_backlogJobs < kBacklogInFlight))
            queueWrite(m_waiting.takeAt(i), updates);
        else
            ++i;
    }
}

void PhotoStore::written(Waiting item, const Outcome &outcome)
{
    // Told once everything below is settled: a listener may count the photos at once.
    const bool wasFailing = m_folderFailing;
    if (item.onDisk) {
        --m_backlogJobs;
    } else {
        --m_memoryJobs;
        m_memoryJobBytes -= item.size + MemoryBudget::kPerPhotoOverhead;
    }
    QList<Update> updates;
    const capture::StoreResult &stored = outcome.stored;
    if (stored.ok()) {
        m_folderFailing = false;
        m_reportedCauses.clear();
        if (stored.sysError != 0) {
            // The file is complete at its name; only the directory flush failed.
            qCWarning(lcIngest).noquote() << "could not flush the capture folder after storing" << stored.path
                                          << ":" << QString::fromLocal8Bit(strerror(stored.sysError));
        }
        if (!outcome.pendingRemoved)
            qCWarning(lcIngest).noquote() << "could not remove the stored pending photo" << item.onDisk->path;
        if (!item.recovered()) {
            m_previews->markStored(item.key, stored.path);
            updates.append({ item.cameraId, item.photoId, CapturedPhoto::Storage::Stored, stored.path });
        }
        if (item.recovered() && --m_recoveredLeft == 0) {
            qCInfo(lcIngest).noquote() << m_recoveredTotal << "photo(s) of an earlier run stored in" << m_folder;
            emit recovered(m_recoveredTotal, m_folder);
        }
    } else {
        if (outcome.ownFault)
            item.refusedIn = m_folder;
        else if (stored.error != capture::StoreError::NoFolder)
            m_folderFailing = true;
        reportFailure(stored, item.meta.name, false);
        if (outcome.kept.photo) {
            const bool wasFailing = !m_reportedPendingCauses.isEmpty();
            m_reportedPendingCauses.clear();
            item.onDisk = outcome.kept.photo;
            // Waiting photos cost no memory: the viewer reads one back when it is shown.
            m_previews->markStored(item.key, item.onDisk->path, item.onDisk->dataOffset, false);
            if (wasFailing)
                qCInfo(lcIngest).noquote() << "the pending folder works again:" << m_pendingDir;
        } else if (!item.onDisk && canKeep()) {
            reportFailure(outcome.kept.error, item.meta.name, true);
        }
        if (!item.recovered())
            updates.append({ item.cameraId, item.photoId, CapturedPhoto::Storage::NotStored, {} });
        const bool keptNow = outcome.kept.photo.has_value();
        wait(std::move(item));
        // The pending folder works (again): what waits in memory goes there too.
        if (keptNow) {
            for (qsizetype i = 0; i < m_waiting.size();) {
                if (m_waiting.at(i).inMemoryOnly())
                    queueWrite(m_waiting.takeAt(i), updates);
                else
                    ++i;
            }
        }
    }
    // The folder works (again), or a photo failed for a reason of its own that says nothing about
    // the folder: what waits goes on.
    if (stored.ok() || outcome.ownFault)
        queueAllWaiting(updates);
    updateHold();
    if (!updates.isEmpty())
        emit storageChanged(updates);
    if (m_folderFailing != wasFailing)
        emit folderFailingChanged(m_folderFailing);
}

// Back in arrival order, whatever order the tries ran in; the retry timer runs while a retry
// could change something.
void PhotoStore::wait(Waiting item)
{
    const auto at = std::lower_bound(m_waiting.begin(), m_waiting.end(), item.order,
        [](const Waiting &w, qint64 order) { return w.order < order; });
    const bool retryable = (!m_folder.isEmpty() && !triedIn(item)) || (!item.onDisk && canKeep());
    m_waiting.insert(at, std::move(item));
    if (retryable && !m_retryTimer.isActive())
        m_retryTimer.start();
}

// A retry tick: while writes are under way their results decide what happens next; otherwise
// the oldest waiting photo that a try could help is tried (into the capture folder, or into the
// pending folder while it is only in memory), and its success writes the others.
void PhotoStore::retryOldest()
{
    if (m_writer.inFlight() > 0)
        return;
    const auto next = std::find_if(m_waiting.cbegin(), m_waiting.cend(), [this](const Waiting &w) {
        return (!m_folder.isEmpty() && !triedIn(w)) || (w.inMemoryOnly() && canKeep());
    });
    if (next == m_waiting.cend()) {
        m_retryTimer.stop();
        return;
    }
    QList<Update> updates;
    queueWrite(m_waiting.takeAt(next - m_waiting.cbegin()), updates);
    if (!updates.isEmpty())
        emit storageChanged(updates);
}

void PhotoStore::scanned(const pending::Listing &listing)
{
    if (listing.removedTemporaries > 0)
        qCInfo(lcIngest).noquote() << "removed" << listing.removedTemporaries
                                   << "interrupted write(s) from the pending folder" << m_pendingDir;
    if (!listing.alreadyStored.isEmpty())
        qCInfo(lcIngest).noquote() << listing.alreadyStored.size()
                                   << "photo(s) of an earlier run were already stored; their pending files are removed:"
                                   << listing.alreadyStored.join(QLatin1String(", "));
    if (listing.unreadable > 0)
        logWarning(lcIngest(),
            QStringLiteral("%1 file(s) in the pending folder %2 are not complete pending photos; left as they are")
                .arg(listing.unreadable)
                .arg(m_pendingDir));
    if (listing.photos.isEmpty())
        return;
    logWarning(lcIngest(),
        QStringLiteral("%1 photo(s) of an earlier run found in the pending folder %2; they are stored as soon as "
                       "a capture folder works")
            .arg(listing.photos.size())
            .arg(m_pendingDir));
    m_recoveredTotal = m_recoveredLeft = int(listing.photos.size());
    // Before every photo of this run.
    QList<Waiting> recovered;
    qint64 order = -listing.photos.size();
    for (const pending::Photo &photo : listing.photos) {
        Waiting item;
        item.order = order++;
        item.meta = photo.meta;
        item.size = photo.size;
        item.onDisk = photo;
        recovered.append(std::move(item));
    }
    m_waiting = recovered + m_waiting;
    if (m_folder.isEmpty())
        return;
    if (!m_retryTimer.isActive())
        m_retryTimer.start();
    QList<Update> updates;
    queueAllWaiting(updates);
    if (!updates.isEmpty())
        emit storageChanged(updates);
}

void PhotoStore::setFolderFailing(bool failing)
{
    if (failing == m_folderFailing)
        return;
    m_folderFailing = failing;
    emit folderFailingChanged(failing);
}

void PhotoStore::updateHold()
{
    const bool held = m_previews->unstoredBytes() >= m_memoryBudget || m_memoryJobBytes >= m_queueBudget;
    if (held == m_holding)
        return;
    m_holding = held;
    if (held)
        logWarning(lcIngest(),
            QStringLiteral("%1 MiB of photos are only in memory: holding the cameras back until they are written")
                .arg(m_previews->unstoredBytes() >> 20));
    else
        qCInfo(lcIngest) << "photos in memory are below the budget again: taking photos from the cameras";
    emit hold(held);
}

// Logs a failed store once per cause and folder until a write there succeeds again, so a disk
// that stays full during a burst does not flood the log.
void PhotoStore::reportFailure(const capture::StoreResult &result, const QString &name, bool pendingFolder)
{
    QSet<int> &reported = pendingFolder ? m_reportedPendingCauses : m_reportedCauses;
    const int cause = static_cast<int>(result.error);
    if (reported.contains(cause))
        return;
    reported.insert(cause);
    const QString detail
        = result.sysError != 0 ? QString::fromLocal8Bit(strerror(result.sysError)) : QString();
    // The causes' texts speak of the capture folder; for the pending folder the system's own
    // reason is clearer.
    const QString why = pendingFolder && !detail.isEmpty()
        ? detail
        : QLatin1String(capture::describe(result.error)) + (detail.isEmpty() ? QString() : QStringLiteral(": ") + detail);
    const QString line = pendingFolder
        ? QStringLiteral("photo not kept in the pending folder %1 (%2); it waits in memory: %3").arg(m_pendingDir, why, name)
        : canKeep() ? QStringLiteral("photo not stored (%1); it waits in the pending folder until it can be: %2").arg(why, name)
                    : QStringLiteral("photo not stored (%1); kept in memory until it can be written: %2").arg(why, name);
    logWarning(lcIngest(), line);
}
