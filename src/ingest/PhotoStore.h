#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <memory>
#include <optional>

#include "ingest/CaptureStorage.h"
#include "ingest/PendingFolder.h"
#include "ingest/PreviewCache.h"
#include "ingest/StoreWriter.h"
#include "model/CapturedPhoto.h"

// Stores received photos in the capture folder, and keeps every photo safe until it is.
//
// Each photo's bytes go into the preview cache (its only copy until it is in a file) and the
// photo is written off the main thread, in arrival order: into the capture folder when there is
// one and it works, otherwise into the pending folder (PendingFolder.h) on the user's data disk,
// where it waits without costing memory. Only when the pending folder fails too (its disk full,
// the data directory read-only) does a photo wait in memory. Past a memory budget, or when the
// photos handed to the writing thread pile up past a smaller one, hold(true) asks the owner to
// stop taking photo content from the cameras until memory frees up.
//
// Waiting photos, on disk or in memory, are written into the capture folder oldest first when a
// folder is set (writeWaiting), when a later photo is stored, or on a retry tick; a pending file
// is removed only after its copy in the capture folder is complete and flushed. Those in memory
// go at once; those on disk (a backlog that may be hundreds) are fed to the writing thread a few
// at a time, so new photos are written before the rest of the backlog, and an exit waits only
// for those few. Photos left in the pending folder by an earlier run (a crash, a kill, a power
// loss) are found when the folder is taken into use and written the same way; recovered() tells
// once they all are. Each failure cause is logged once until a write succeeds again. A photo
// that fails for a reason of its own (a name the folder refuses, a pending file no longer
// whole) keeps waiting without holding up the others, and is not tried in that folder again.
//
// The photo records belong to the owner: every change of a photo's storage state is told
// through storageChanged, one signal per step. A photo waiting in the pending folder stays
// NotStored. Main thread only.
class PhotoStore : public QObject
{
    Q_OBJECT

public:
    // While photos wait, the oldest is tried again at this interval, so they are written once
    // the folder works again even if no new photo arrives to show it. One file per try keeps a
    // full disk from being written over and over.
    static constexpr int kDefaultRetryIntervalMs = 2000;
    // Photo content is held back while the bytes of photos that are in no file at all reach
    // this budget (the pending folder fails too, and they wait in memory)...
    static constexpr qint64 kDefaultMemoryBudget = qint64(512) << 20;
    // ... or while those handed to the writing thread reach this one (photos arrive faster than
    // the disk takes them), which keeps a long burst's memory flat: the memory budget's Writing
    // share. Each photo also counts its overhead, so a flood of tiny files stays bounded too.
    static constexpr qint64 kDefaultQueueBudget = MemoryBudget::kWriting;
    // Photos copied from the pending folder that are handed to the writing thread at once: two
    // keep the disk busy (one is read while the other is flushed) while a new photo never waits
    // behind more than two.
    static constexpr int kBacklogInFlight = 2;

    struct Update {
        QUuid cameraId;
        QUuid photoId;
        CapturedPhoto::Storage storage = CapturedPhoto::Storage::NotStored;
        QString storedPath; // where the file is, when Stored
    };

    explicit PhotoStore(int retryIntervalMs = kDefaultRetryIntervalMs, QObject *parent = nullptr);
    // Writes already handed to the writing thread are completed first.
    ~PhotoStore() override;

    // Takes `dir` into use as the pending folder (empty: none, photos wait in memory): locks it,
    // removes interrupted writes and recovers the photos an earlier run left there. Call once,
    // before photos arrive. Another running instance holding the folder leaves this one without.
    void setPendingFolder(const QString &dir);
    [[nodiscard]] QString pendingFolder() const { return m_pendingDir; }

    // The folder new writes go to (empty: none). A folder coming into use is first cleared of
    // the temporary files interrupted writes left there, in order with the writes.
    void setFolder(const QString &folder);
    [[nodiscard]] QString folder() const { return m_folder; }

    // Test seam: the memory and queue budgets (kDefaultMemoryBudget, kDefaultQueueBudget).
    void setMemoryBudgets(qint64 memory, qint64 queue)
    {
        m_memoryBudget = memory;
        m_queueBudget = queue;
    }

    // Takes in a received photo of camera `cameraId`: sets its preview and its storage state
    // (Writing, or NotStored while there is no folder). No signal: the owner shows the record.
    // Returns the photo's key in the preview cache.
    PreviewCache::Key add(const QUuid &cameraId, const QString &cameraName, CapturedPhoto &photo, const QByteArray &data);

    // Queues the waiting photos, oldest first, into the folder; told as one storageChanged.
    void writeWaiting();
    // Before the process ends on a signal or with the session: the photos whose only copy is in
    // memory are handed to the writing thread once more (the capture folder, else the pending
    // folder), which the destructor then waits for. True when there were any.
    bool keepMemoryPhotosForExit();

    // Photos waiting to be written into the capture folder, on disk or in memory.
    [[nodiscard]] int waitingCount() const { return int(m_waiting.size()); }
    // Photos whose only copy is in memory and that wait for a folder that works.
    [[nodiscard]] int memoryOnlyCount() const;
    // Writes under way of photos whose only copy is in memory (each ends in the capture folder,
    // the pending folder, or back among the waiting).
    [[nodiscard]] int memoryWritesInFlight() const { return m_memoryJobs; }
    // The capture folder failed its last write (missing, full, read-only): photos wait for it.
    [[nodiscard]] bool folderFailing() const { return m_folderFailing; }
    [[nodiscard]] int writesInFlight() const { return m_writer.inFlight(); }
    [[nodiscard]] bool holding() const { return m_holding; }
    [[nodiscard]] PreviewCache &previews() const { return *m_previews; }

signals:
    // Storage states that changed together, in the order they changed.
    void storageChanged(const QList<PhotoStore::Update> &updates);
    // Photos of an earlier run found in the pending folder are now all in the capture folder
    // `folder`; told once.
    void recovered(int count, const QString &folder);
    // Photo bytes in no file crossed the memory budget: stop (true) or go on (false) taking
    // photo content from the cameras.
    void hold(bool held);
    // folderFailing() changed.
    void folderFailingChanged(bool failing);

private:
    struct Waiting {
        QUuid cameraId; // null for a photo recovered from an earlier run: it has no record
        QUuid photoId;
        PreviewCache::Key key = 0; // 0 for a recovered photo
        qint64 order = 0; // arrival order; recovered photos come first
        qint64 size = 0; // bytes
        pending::Meta meta;
        std::optional<pending::Photo> onDisk; // its pending file, once written
        QString refusedIn; // the capture folder that failed it for a reason of its own
        [[nodiscard]] bool recovered() const { return key == 0; }
        // Its only copy is in memory (a recovered photo is always on disk).
        [[nodiscard]] bool inMemoryOnly() const { return !onDisk; }
    };
    // What one write job did: the photo stored, or else kept in a pending file, or neither.
    struct Outcome {
        capture::StoreResult stored;
        pending::WriteResult kept;
        bool ownFault = false; // the photo failed, not the folder
        bool pendingRemoved = true; // a stored pending photo's pending file is gone
    };

    void queueWrite(Waiting item, QList<Update> &updates);
    void queueAllWaiting(QList<Update> &updates);
    void written(Waiting item, const Outcome &outcome);
    void wait(Waiting item);
    void retryOldest();
    void scanned(const pending::Listing &listing);
    void updateHold();
    void reportFailure(const capture::StoreResult &result, const QString &name, bool pendingFolder);
    void setFolderFailing(bool failing);
    [[nodiscard]] bool triedIn(const Waiting &item) const { return !m_folder.isEmpty() && item.refusedIn == m_folder; }
    [[nodiscard]] bool canKeep() const { return !m_pendingDir.isEmpty(); }

    QString m_folder;
    bool m_folderFailing = false; // the last write into m_folder failed
    QString m_pendingDir; // empty when there is no pending folder to use
    std::unique_ptr<pending::FolderLock> m_pendingLock;
    std::shared_ptr<PreviewCache> m_previews = std::make_shared<PreviewCache>();
    // Declared after the cache so that it is destroyed first: its pending results refer to it.
    StoreWriter m_writer;
    QList<Waiting> m_waiting; // in arrival order
    int m_memoryJobs = 0; // write jobs of photos whose only copy is in memory
    int m_backlogJobs = 0; // write jobs of photos copied from the pending folder
    qint64 m_memoryJobBytes = 0; // and their bytes
    qint64 m_nextOrder = 1;
    QTimer m_retryTimer;
    qint64 m_memoryBudget = kDefaultMemoryBudget;
    qint64 m_queueBudget = kDefaultQueueBudget;
    bool m_holding = false;
    int m_recoveredTotal = 0;
    int m_recoveredLeft = 0;
    // Causes reported since the last successful write, per folder: each is logged once.
    QSet<int> m_reportedCauses;
    QSet<int> m_reportedPendingCauses;
};
