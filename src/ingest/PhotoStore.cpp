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

void PhotoStore::setFolder(const QString &folder)
{
    m_folder = folder;
    if (folder.isEmpty())
        return;
    m_writer.removeLeftovers(folder, [folder](int removed) {
        if (removed > 0)
            qCInfo(lcIngest).noquote()
                << "removed" << removed << "temporary file(s) left by interrupted writes in" << folder;
    });
}

void PhotoStore::add(const QUuid &cameraId, CapturedPhoto &photo, const QByteArray &data)
{
    // The cache holds the bytes until the file is stored: until then they are the only copy.
    const PreviewCache::Key key = m_previews->add(data, photo.filename);
    photo.preview = makePreviewSource(m_previews, key);
    const Waiting item { cameraId, photo.id(), key, photo.filename };
    if (m_folder.isEmpty()) {
        capture::StoreResult noFolder;
        noFolder.error = capture::StoreError::NoFolder;
        reportFailure(noFolder, item.name);
        photo.storage = CapturedPhoto::Storage::NotStored;
        m_waiting.append(item);
        return;
    }
    photo.storage = CapturedPhoto::Storage::Writing;
    QList<Update> ignored; // the record is not shown yet; the caller set its state above
    queueWrite(item, ignored);
}

void PhotoStore::writeWaiting()
{
    if (m_waiting.isEmpty())
        return;
    QList<Update> updates;
    queueAllWaiting(updates);
    emit storageChanged(updates);
}

void PhotoStore::queueWrite(const Waiting &item, QList<Update> &updates)
{
    updates.append({ item.cameraId, item.photoId, CapturedPhoto::Storage::Writing, {} });
    m_writer.write(m_folder, item.name, m_previews->bytes(item.key),
        [this, item](const capture::StoreResult &result) { written(item, result); });
}

void PhotoStore::queueAllWaiting(QList<Update> &updates)
{
    if (m_folder.isEmpty())
        return;
    for (const Waiting &item : std::exchange(m_waiting, {}))
        queueWrite(item, updates);
}

void PhotoStore::written(const Waiting &item, const capture::StoreResult &result)
{
    QList<Update> updates;
    if (result.ok()) {
        m_reportedCauses.clear();
        if (result.sysError != 0) {
            // The file is complete at its name; only the directory flush failed.
            qCWarning(lcIngest).noquote() << "could not flush the capture folder after storing" << result.path
                                          << ":" << QString::fromLocal8Bit(strerror(result.sysError));
        }
        m_previews->markStored(item.key, result.path);
        updates.append({ item.cameraId, item.photoId, CapturedPhoto::Storage::Stored, result.path });
        // The folder works (again): write what earlier failures left in memory.
        queueAllWaiting(updates);
    } else {
        reportFailure(result, item.name);
        // Back in arrival order, whatever order the tries ran in.
        const auto at = std::lower_bound(m_waiting.begin(), m_waiting.end(), item.key,
            [](const Waiting &w, PreviewCache::Key key) { return w.key < key; });
        m_waiting.insert(at, item);
        if (!m_retryTimer.isActive())
            m_retryTimer.start();
        updates.append({ item.cameraId, item.photoId, CapturedPhoto::Storage::NotStored, {} });
    }
    emit storageChanged(updates);
}

// A retry tick: while writes are under way their results decide what happens next; otherwise
// the oldest waiting photo is tried, and its success writes the others.
void PhotoStore::retryOldest()
{
    if (m_waiting.isEmpty()) {
        m_retryTimer.stop();
        return;
    }
    if (m_folder.isEmpty() || m_writer.inFlight() > 0)
        return;
    QList<Update> updates;
    queueWrite(m_waiting.takeFirst(), updates);
    emit storageChanged(updates);
}

// Logs a failed store once per cause until a write succeeds again, so a disk that stays full
// during a burst does not flood the log.
void PhotoStore::reportFailure(const capture::StoreResult &result, const QString &name)
{
    const int cause = static_cast<int>(result.error);
    if (m_reportedCauses.contains(cause))
        return;
    m_reportedCauses.insert(cause);
    const QString detail
        = result.sysError != 0 ? QString::fromLocal8Bit(strerror(result.sysError)) : QString();
    const QString line
        = QStringLiteral("photo not stored (%1%2%3); kept in memory until it can be written: %4")
              .arg(QLatin1String(capture::describe(result.error)),
                  detail.isEmpty() ? QString() : QStringLiteral(": "), detail, name);
    logWarning(lcIngest(), line);
}
