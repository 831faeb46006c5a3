#include "state/RecordBuilds.h"

#include <QPointer>
#include <QThread>

#include <algorithm>
#include <utility>

#include "model/Background.h"
#include "model/Logging.h"

namespace {
// Builders give way to the window and to the store's writes (a burst of photos is stored at
// disk speed; the thumbnails follow).
constexpr int kBuilderNiceness = 10;
} // namespace

RecordBuilds::RecordBuilds(QObject *context, Locate locate, Done done)
    : m_context(context)
    , m_locate(std::move(locate))
    , m_done(std::move(done))
    , m_build(buildPhotoValues)
{
    // One core is left to the main thread (and the store's writer shares the rest).
    m_pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
    m_pool.setObjectName(QStringLiteral("halvane-build"));
}

RecordBuilds::~RecordBuilds()
{
    *m_alive = false;
    m_pool.clear();
    m_pool.waitForDone();
}

void RecordBuilds::add(const QUuid &cameraId, const QUuid &photoId, const QString &name, const QByteArray &data,
                       PreviewCache::Key key)
{
    m_queue.push_back({cameraId, photoId, name, data, key, 0});
    m_heldBytes += data.size();
    shed();
    startNext();
}

void RecordBuilds::shed()
{
    // The newest run first: they keep their bytes, the older ones let theirs go.
    const qint64 share = MemoryBudget::global().share(MemoryBudget::Part::Building);
    qint64 onDisk = 0;
    for (auto it = m_queue.rbegin(); it != m_queue.rend(); ++it) {
        if (it->data.isNull() || !m_locate(it->key))
            continue;
        if (onDisk + it->data.size() <= share) {
            onDisk += it->data.size();
        } else {
            m_heldBytes -= it->data.size();
            background::release(std::exchange(it->data, QByteArray()));
        }
    }
    // Bytes of photos in no file yet are counted where they wait to be written.
    m_charge.set(onDisk);
}

void RecordBuilds::startNext()
{
    while (!m_queue.empty() && m_running < m_pool.maxThreadCount()) {
        Item item = std::move(m_queue.back());
        m_queue.pop_back();
        m_heldBytes -= item.data.size();
        std::optional<PreviewCache::FileSpan> span;
        if (item.data.isNull() && !(span = m_locate(item.key))) {
            // Only the bytes of photos in a file are let go, and a file is never forgotten.
            qCWarning(lcIngest) << "no bytes to build" << item.name << "from";
            continue;
        }
        ++m_running;
        // While it runs, the build's bytes (held or read back) count as building.
        m_pool.start([this, item = std::move(item), span, build = m_build, alive = m_alive,
                      context = QPointer<QObject>(m_context)]() mutable {
            background::yieldToWindow(kBuilderNiceness);
            const QByteArray data = span ? PreviewCache::read(*span) : item.data;
            item.data = QByteArray();
            std::optional<BuiltPhoto> built;
            if (!data.isEmpty()) {
                const MemoryBudget::Charge charge(MemoryBudget::Part::Building, data.size());
                built = build(item.name, data);
            }
            QMetaObject::invokeMethod(
                context,
                [this, alive, item = std::move(item), built = std::move(built)]() mutable {
                    if (*alive) {
                        --m_running;
                        finished(std::move(item), std::move(built));
                    }
                },
                Qt::QueuedConnection);
        });
    }
}

void RecordBuilds::finished(Item item, std::optional<BuiltPhoto> built)
{
    if (built) {
        m_done(item.cameraId, item.photoId, *built);
    } else if (++item.tries < kMaxTries && m_locate(item.key)) {
        // Its file moved between the lookup and the read: again, from where it is now.
        m_queue.push_back(std::move(item));
    } else {
        qCWarning(lcIngest) << "the texts and thumbnail of" << item.name
                            << "could not be built: its file is gone";
    }
    shed();
    startNext();
}
