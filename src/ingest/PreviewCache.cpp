#include "ingest/PreviewCache.h"

#include <utility>

#include <QFile>
#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

#include "ingest/ImageDecode.h"
#include "model/Background.h"

PreviewCache::PreviewCache(qint64 bytesBudget, qint64 decodedBudget)
    : m_bytesBudget(bytesBudget)
    , m_decoded(decodedBudget)
    , m_decoder(decodeForView)
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
    syncCharges();
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
        background::release(std::exchange(it->data, QByteArray()));
    } else if (firstFile && !it->data.isNull()) {
        m_unstoredBytes -= it->size;
        m_storedBytes += it->size;
        m_dropOrder.push_back(key);
        trimToBudget();
    }
    syncCharges();
}

void PreviewCache::syncCharges()
{
    m_unstoredCharge.set(m_unstoredBytes);
    m_storedCharge.set(m_storedBytes);
    m_decodedCharge.set(m_decoded.totalCost());
}

void PreviewCache::trimToBudget()
{
    while (m_storedBytes > m_bytesBudget && !m_dropOrder.empty()) {
        const auto it = m_entries.find(m_dropOrder.front());
        m_dropOrder.pop_front();
        if (it == m_entries.end() || it->data.isNull())
            continue;
        m_storedBytes -= it->size;
        background::release(std::exchange(it->data, QByteArray()));
    }
}

QByteArray PreviewCache::bytes(Key key) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend())
        return {};
    if (!it->data.isNull())
        return it->data;
    return read({it->path, it->offset, it->size});
}

QByteArray PreviewCache::read(const FileSpan &span)
{
    if (span.path.isEmpty() || span.size <= 0)
        return {};
    QFile file(span.path);
    // The file must still end where the bytes do: one of another size is not this photo.
    if (!file.open(QIODevice::ReadOnly) || file.size() != span.offset + span.size || !file.seek(span.offset))
        return {};
    QByteArray data = file.read(span.size);
    if (data.size() != span.size)
        return {};
    return data;
}

std::function<QByteArray()> PreviewCache::reader(Key key) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend())
        return {};
    if (!it->data.isNull())
        return [data = it->data] { return data; };
    return [span = FileSpan{it->path, it->offset, it->size}] { return read(span); };
}

std::optional<PreviewCache::FileSpan> PreviewCache::fileSpan(Key key) const
{
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend() || it->path.isEmpty())
        return std::nullopt;
    return FileSpan{it->path, it->offset, it->size};
}

QImage PreviewCache::image(Key key)
{
    if (const ViewImage *cached = cachedFor(key, QSize()))
        return cached->image;
    const auto it = m_entries.constFind(key);
    if (it == m_entries.cend() || it->undecodable)
        return {};
    const QByteArray data = bytes(key);
    if (data.isEmpty())
        return {};
    const ViewImage decoded = m_decoder(data, it->name, QSize());
    noteDecoded(key, decoded);
    return decoded.image;
}

QImage PreviewCache::cachedImage(Key key) const
{
    const ViewImage *cached = m_decoded.object(key);
    return cached ? cached->image : QImage();
}

const ViewImage *PreviewCache::cachedFor(Key key, QSize atLeast) const
{
    const ViewImage *cached = m_decoded.object(key);
    if (!cached || !(cached->full || (!atLeast.isEmpty() && cached->image.width() >= atLeast.width()
                                      && cached->image.height() >= atLeast.height())))
        return nullptr;
    return cached;
}

void PreviewCache::noteDecoded(Key key, const ViewImage &decoded)
{
    const auto it = m_entries.find(key);
    if (it == m_entries.end())
        return;
    if (decoded.image.isNull())
        it->undecodable = true;
    else if (const ViewImage *cached = m_decoded.object(key); !cached || !cached->full || decoded.full)
        // an image larger than the whole budget is not kept (QCache refuses it)
        m_decoded.insert(key, new ViewImage(decoded), decoded.image.sizeInBytes());
    syncCharges();
}

namespace {

// What a decode job gives back: `attempted` is false when it was skipped (no longer wanted,
// or the cache went away), so that a skipped job is not taken for a failed decode.
struct DecodeOutcome {
    ViewImage decoded;
    bool attempted = false;
};

} // namespace

void PreviewCache::requestImage(Key key, QSize atLeast, QObject *context, std::function<bool()> stillWanted,
                                std::function<void(const ViewImage &)> done)
{
    if (const ViewImage *hit = cachedFor(key, atLeast)) {
        done(*hit);
        return;
    }
    if (isUndecodable(key)) {
        done(ViewImage());
        return;
    }
    // Bytes still in memory go to the worker as they are; those that are only in a file are
    // read back there, so the main thread never waits on a disk.
    const auto entry = m_entries.constFind(key);
    if (entry == m_entries.cend()) {
        done(ViewImage());
        return;
    }
    const QFuture<DecodeOutcome> future = QtConcurrent::run(
        &m_pool, [bytes = reader(key), name = entry->name, atLeast, decoder = m_decoder, cancelled = m_cancelled,
                  wanted = std::move(stillWanted)] {
            if (cancelled->load() || !wanted())
                return DecodeOutcome{};
            const QByteArray data = bytes();
            // Bytes that are gone are no decode failure: the file may come back.
            if (data.isEmpty())
                return DecodeOutcome{};
            return DecodeOutcome{decoder(data, name, atLeast), true};
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
                             noteDecoded(key, outcome.decoded);
                         done(outcome.decoded);
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
    [[nodiscard]] std::function<QByteArray()> bytesReader() const override { return m_cache->reader(m_key); }

    void requestImage(QObject *context, QSize atLeast, std::function<bool()> stillWanted,
                      std::function<void(const QImage &, bool)> done) const override
    {
        m_cache->requestImage(m_key, atLeast, context, std::move(stillWanted),
                              [done = std::move(done)](const ViewImage &decoded) { done(decoded.image, decoded.full); });
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
