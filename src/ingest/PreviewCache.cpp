#include "ingest/PreviewCache.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <QFile>

#include "ingest/ImageDecode.h"

PreviewCache::PreviewCache(qint64 bytesBudget, qint64 decodedBudget)
    : m_bytesBudget(bytesBudget)
    , m_decoded(decodedBudget)
{
}

PreviewCache::Key PreviewCache::add(const QByteArray &data, const QString &name)
{
    const Key key = m_nextKey++;
    Entry entry;
    entry.name = name;
    entry.size = data.size();
    entry.data = data;
    m_unstoredBytes += entry.size;
    m_entries.insert(key, std::move(entry));
    return key;
}

void PreviewCache::markStored(Key key, const QString &path)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || path.isEmpty() || !it->path.isEmpty())
        return;
    it->path = path;
    if (!it->data.isNull()) {
        m_unstoredBytes -= it->size;
        m_storedBytes += it->size;
        m_dropOrder.push_back(key);
        trimToBudget();
    }
}

void PreviewCache::trimToBudget()
{
    while (m_storedBytes > m_bytesBudget && !m_dropOrder.empty()) {
        const auto it = m_entries.find(m_dropOrder.front());
        m_dropOrder.pop_front();
        if (it == m_entries.end() || it->data.isNull())
            continue;
        m_storedBytes -= it->size;
        it->data = QByteArray();
    }
}

QByteArray PreviewCache::bytes(Key key) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend())
        return {};
    if (!it->data.isNull())
        return it->data;
    QFile file(it->path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != it->size)
        return {}; // moved away, or replaced by something else
    QByteArray data = file.readAll();
    if (data.size() != it->size)
        return {};
    return data;
}

QImage PreviewCache::image(Key key)
{
    if (const QImage *cached = m_decoded.object(key))
        return *cached;
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend())
        return {};
    const QByteArray data = bytes(key);
    if (data.isEmpty())
        return {};
    const QImage decoded = decodeFullImage(data, it->name);
    insertDecoded(key, decoded);
    return decoded;
}

QImage PreviewCache::cachedImage(Key key) const
{
    const QImage *cached = m_decoded.object(key);
    return cached ? *cached : QImage();
}

void PreviewCache::insertDecoded(Key key, const QImage &image)
{
    // An image larger than the whole budget is not kept (QCache refuses it).
    if (!image.isNull() && m_entries.contains(key))
        m_decoded.insert(key, new QImage(image), image.sizeInBytes());
}

bool PreviewCache::holdsBytes(Key key) const
{
    const auto it = m_entries.constFind(key);
    return it != m_entries.cend() && !it->data.isNull();
}

namespace {

class CachedPreview : public PreviewSource
{
public:
    CachedPreview(std::shared_ptr<PreviewCache> cache, PreviewCache::Key key)
        : m_cache(std::move(cache))
        , m_key(key)
    {
    }
    [[nodiscard]] QImage image() const override { return m_cache->image(m_key); }
    [[nodiscard]] QImage cachedImage() const override { return m_cache->cachedImage(m_key); }

    void requestImage(QObject *context, std::function<bool()> stillWanted,
                      std::function<void(const QImage &)> done) const override
    {
        if (const QImage hit = m_cache->cachedImage(m_key); !hit.isNull()) {
            done(hit);
            return;
        }
        // The bytes are fetched here, on the main thread (the cache is not shared across
        // threads); only the decoding moves to the worker.
        const QByteArray data = m_cache->bytes(m_key);
        if (data.isEmpty()) {
            done(QImage());
            return;
        }
        const QString name = m_cache->name(m_key);
        const std::weak_ptr<PreviewCache> weak = m_cache;
        const PreviewCache::Key key = m_key;
        const QFuture<QImage> future = QtConcurrent::run(decodePool(), [data, name, wanted = std::move(stillWanted)] {
            return wanted() ? decodeFullImage(data, name) : QImage();
        });
        // The watcher belongs to `context`: if that goes away first, so does the delivery.
        auto *watcher = new QFutureWatcher<QImage>(context);
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                         [watcher, weak, key, done = std::move(done)] {
                             const QImage image = watcher->result();
                             watcher->deleteLater();
                             if (const auto cache = weak.lock())
                                 cache->insertDecoded(key, image);
                             done(image);
                         });
        watcher->setFuture(future);
    }

private:
    // One decoding thread: previews are wanted one at a time, and the other core stays free
    // for the window and the camera link.
    static QThreadPool *decodePool()
    {
        static QThreadPool *pool = [] {
            auto *p = new QThreadPool;
            p->setMaxThreadCount(1);
            p->setObjectName(QStringLiteral("halvane-preview"));
            return p;
        }();
        return pool;
    }

public:

private:
    std::shared_ptr<PreviewCache> m_cache;
    PreviewCache::Key m_key;
};

} // namespace

std::shared_ptr<PreviewSource> makePreviewSource(std::shared_ptr<PreviewCache> cache, PreviewCache::Key key)
{
    return std::make_shared<CachedPreview>(std::move(cache), key);
}
