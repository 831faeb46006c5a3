#include "ingest/PreviewCache.h"

#include <QFile>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include "ingest/ImageDecode.h"

PreviewCache::PreviewCache(qint64 bytesBudget, qint64 decodedBudget)
    : m_bytesBudget(bytesBudget)
    , m_decoded(decodedBudget)
    , m_decoder(decodeFullImage)
{
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("halvane-preview"));
}

PreviewCache::~PreviewCache()
{
    // A decode still running keeps using the image libraries: it must be over before the
    // owner (and, at quit, the libraries' static state) goes away. Those still queued are
    // skipped; their requests finish with a null image.
    m_cancelled->store(true);
    m_pool.waitForDone();
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

void PreviewCache::markStored(Key key, const QString &path, qint64 offset, bool keepInMemory)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || path.isEmpty())
        return;
    const bool firstFile = it->path.isEmpty();
    it->path = path;
    it->offset = offset;
    if (firstFile && !keepInMemory && !it->data.isNull()) {
        m_unstoredBytes -= it->size;
        it->data = QByteArray();
    } else if (firstFile && !it->data.isNull()) {
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
    if (!file.open(QIODevice::ReadOnly) || file.size() != it->offset + it->size || !file.seek(it->offset))
        return {}; // moved away, or replaced by something else
    QByteArray data = file.read(it->size);
    if (data.size() != it->size)
        return {};
    return data;
}

QImage PreviewCache::image(Key key)
{
    if (const QImage *cached = m_decoded.object(key))
        return *cached;
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend() || it->undecodable)
        return {};
    const QByteArray data = bytes(key);
    if (data.isEmpty())
        return {};
    const QImage decoded = m_decoder(data, it->name);
    noteDecoded(key, decoded);
    return decoded;
}

QImage PreviewCache::cachedImage(Key key) const
{
    const QImage *cached = m_decoded.object(key);
    return cached ? *cached : QImage();
}

void PreviewCache::noteDecoded(Key key, const QImage &image)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return;
    if (image.isNull())
        it->undecodable = true;
    else // an image larger than the whole budget is not kept (QCache refuses it)
        m_decoded.insert(key, new QImage(image), image.sizeInBytes());
}

namespace {

// What a decode job gives back: `attempted` is false when it was skipped (no longer wanted,
// or the cache went away), so that a skipped job is not taken for a failed decode.
struct DecodeOutcome {
    QImage image;
    bool attempted = false;
};

} // namespace

void PreviewCache::requestImage(Key key, QObject *context, std::function<bool()> stillWanted,
                                std::function<void(const QImage &)> done)
{
    if (const QImage hit = cachedImage(key); !hit.isNull() || isUndecodable(key)) {
        done(hit);
        return;
    }
    // The bytes are fetched here, on the main thread (the cache is not shared across threads);
    // only the decoding moves to the worker.
    const QByteArray data = bytes(key);
    if (data.isEmpty()) {
        done(QImage());
        return;
    }
    const QFuture<DecodeOutcome> future = QtConcurrent::run(
        &m_pool, [data, name = this->name(key), decoder = m_decoder, cancelled = m_cancelled,
                  wanted = std::move(stillWanted)] {
            if (cancelled->load() || !wanted())
                return DecodeOutcome{};
            return DecodeOutcome{decoder(data, name), true};
        });
    // The watcher belongs to `context`: if that goes away first, so does the delivery. The
    // cache may go first; the result is then delivered without being kept.
    auto *watcher = new QFutureWatcher<DecodeOutcome>(context);
    // Both run on the main thread, so the flag tells whether the cache is still there.
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher,
                     [watcher, this, cancelled = m_cancelled, key, done = std::move(done)] {
                         const DecodeOutcome outcome = watcher->result();
                         watcher->deleteLater();
                         if (!cancelled->load() && outcome.attempted)
                             noteDecoded(key, outcome.image);
                         done(outcome.image);
                     });
    watcher->setFuture(future);
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
        m_cache->requestImage(m_key, context, std::move(stillWanted), std::move(done));
    }

private:
    std::shared_ptr<PreviewCache> m_cache;
    PreviewCache::Key m_key;
};

} // namespace

std::shared_ptr<PreviewSource> makePreviewSource(std::shared_ptr<PreviewCache> cache, PreviewCache::Key key)
{
    return std::make_shared<CachedPreview>(std::move(cache), key);
}
