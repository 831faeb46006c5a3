#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QUuid>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "ingest/PhotoBuilder.h"
#include "ingest/PreviewCache.h"
#include "model/MemoryBudget.h"

// Builds the texts and thumbnails of listed photos off the main thread, within the Building
// share of the memory budget.
//
// The newest photo is built first: it is the one the window shows, and during a burst the
// oldest can wait. A queued build holds the photo's bytes only while the queue is within its
// share; past it, builds whose photo is already on disk (in the capture or the pending folder)
// let their bytes go, oldest first, and read them back from the file when they run. Bytes of a
// photo that is in no file yet are its only copy and stay: the store's Writing share, which
// holds the cameras back, bounds those. A build whose file has moved meanwhile (the pending
// folder's copy went to the capture folder) is tried again from where the file is now.
// Main thread only; the builds themselves run on the pool's threads.
class RecordBuilds
{
public:
    // Where a photo's bytes are on disk now; nullopt while in no file.
    using Locate = std::function<std::optional<PreviewCache::FileSpan>(PreviewCache::Key)>;
    using Build = std::function<BuiltPhoto(const QString &name, const QByteArray &data)>;
    // A photo's values, on the main thread. Not called for a photo whose bytes could not be
    // had at all (its files gone): it keeps its placeholders.
    using Done = std::function<void(const QUuid &cameraId, const QUuid &photoId, const BuiltPhoto &built)>;

    // Tries of a build whose file moved away between looking it up and reading it.
    static constexpr int kMaxTries = 3;

    RecordBuilds(QObject *context, Locate locate, Done done);
    // Queued builds are dropped; a running one is waited for and its result dropped.
    ~RecordBuilds();
    RecordBuilds(const RecordBuilds &) = delete;
    RecordBuilds &operator=(const RecordBuilds &) = delete;

    void add(const QUuid &cameraId, const QUuid &photoId, const QString &name, const QByteArray &data,
             PreviewCache::Key key);
    // Lets queued builds of photos now on disk drop their bytes while the queue is over its
    // share. add() does it too; call it when photos reach a file.
    void shed();

    // Builds queued or running.
    [[nodiscard]] int inFlight() const { return int(m_queue.size()) + m_running; }
    // Photo bytes held by queued builds.
    [[nodiscard]] qint64 heldBytes() const { return m_heldBytes; }

    // Test seam: the build (buildPhotoValues).
    void setBuild(Build build) { m_build = std::move(build); }
    // Builds run one at a time on these many threads (default: all cores but one).
    void setThreads(int threads) { m_pool.setMaxThreadCount(threads); }

private:
    struct Item {
        QUuid cameraId;
        QUuid photoId;
        QString name;
        QByteArray data; // null once let go
        PreviewCache::Key key = 0;
        int tries = 0;
    };
    void startNext();
    void finished(Item item, std::optional<BuiltPhoto> built);

    QObject *m_context;
    Locate m_locate;
    Done m_done;
    Build m_build;
    std::deque<Item> m_queue; // oldest in front; the newest runs first
    qint64 m_heldBytes = 0;
    MemoryBudget::Charge m_charge{MemoryBudget::Part::Building};
    int m_running = 0;
    // Set when this goes away: results still on their way are dropped.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    QThreadPool m_pool;
};
