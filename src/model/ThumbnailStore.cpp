#include "model/ThumbnailStore.h"

#include <climits>

#include "model/Background.h"

std::shared_ptr<ThumbnailStore> ThumbnailStore::create(Renderer render, qint64 packedShare, qint64 decodedShare,
                                                       MemoryBudget &budget)
{
    // The constructor is private: the store is always shared, so its thumbnails can outlive it.
    return std::shared_ptr<ThumbnailStore>(new ThumbnailStore(std::move(render), packedShare, decodedShare, budget));
}

ThumbnailStore::ThumbnailStore(Renderer render, qint64 packedShare, qint64 decodedShare, MemoryBudget &budget)
    : m_render(std::move(render))
    , m_budget(budget)
    , m_packed(packedShare)
    , m_decoded(decodedShare)
{
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("halvane-thumbnails"));
}

ThumbnailStore::~ThumbnailStore()
{
    // A running load uses the image libraries: it must end before the owner goes. Its result is
    // posted to the relay, which goes with the store, so it is never delivered.
    m_pool.clear();
    m_pool.waitForDone();
}

Thumbnail ThumbnailStore::add(const QImage &image, QByteArray packed, std::shared_ptr<PreviewSource> origin,
                              const QString &name)
{
    if (image.isNull())
        return {};
    auto slot = std::make_shared<Thumbnail::Slot>();
    slot->key = Thumbnail::newKey();
    slot->size = image.size();
    slot->store = weak_from_this();
    m_entries.insert(slot->key, Entry{std::move(origin), name});
    keepPacked(slot->key, packed.isEmpty() ? Thumbnail::pack(image) : std::move(packed));
    keepDecoded(slot->key, image);
    return Thumbnail(std::move(slot));
}

void ThumbnailStore::keepDecoded(quint64 key, const QImage &image)
{
    const qint64 bytes = image.sizeInBytes();
    // One larger than the whole cache is refused (and its charge released with it).
    m_decoded.insert(key, new Decoded{image, MemoryBudget::Charge(MemoryBudget::Part::Thumbnails, bytes, m_budget)},
                     bytes);
}

void ThumbnailStore::keepPacked(quint64 key, QByteArray packed)
{
    if (packed.isEmpty())
        return;
    const qint64 bytes = packed.size();
    m_packed.insert(key,
                    new Packed{std::move(packed), MemoryBudget::Charge(MemoryBudget::Part::Thumbnails, bytes, m_budget)},
                    bytes);
}

QImage ThumbnailStore::cached(quint64 key) const
{
    const Decoded *decoded = m_decoded.object(key);
    return decoded ? decoded->image : QImage();
}

QImage ThumbnailStore::image(quint64 key)
{
    if (const Decoded *decoded = m_decoded.object(key))
        return decoded->image;
    const Packed *packed = m_packed.object(key);
    if (!packed || !m_entries.contains(key))
        return {};
    const QImage image = Thumbnail::unpack(packed->bytes);
    if (!image.isNull())
        keepDecoded(key, image);
    return image;
}

bool ThumbnailStore::request(quint64 key, QObject *context, std::function<void(bool)> done)
{
    const auto entry = m_entries.constFind(key);
    if (entry == m_entries.cend() || m_decoded.contains(key))
        return false;
    const quint64 asked = ++*m_asked;
    if (const auto load = m_loads.find(key); load != m_loads.end()) {
        load->asked->store(asked);
        load->waiting.emplace_back(context, std::move(done));
        return true;
    }
    QByteArray packed;
    if (const Packed *kept = m_packed.object(key))
        packed = kept->bytes;
    std::function<QByteArray()> reader;
    if (packed.isEmpty() && entry->origin)
        reader = entry->origin->bytesReader();
    if (packed.isEmpty() && !reader)
        return false;

    Load load{std::make_shared<std::atomic<quint64>>(asked), {}};
    load.waiting.emplace_back(context, std::move(done));
    const auto job = [this, key, packed, reader, name = entry->name, render = m_render, budget = &m_budget,
                      newest = m_asked, mine = load.asked] {
        background::yieldToWindow(kNiceness);
        LoadResult result;
        if (*newest - *mine > kWantedLoads) {
            result.outcome = Outcome::PassedOver;
        } else if (!packed.isEmpty()) {
            result.image = Thumbnail::unpack(packed);
        } else {
            const QByteArray data = reader();
            // The photo's bytes are held only while its thumbnail is made from them.
            const MemoryBudget::Charge readBack(MemoryBudget::Part::ReadBack, data.size(), *budget);
            result.image = data.isEmpty() ? QImage() : render(name, data);
            result.packed = Thumbnail::pack(result.image);
        }
        if (!result.image.isNull())
            result.outcome = Outcome::Loaded;
        // Delivered on the main thread, while the relay (and so the store) is there.
        QMetaObject::invokeMethod(&m_relay, [this, key, result] { loaded(key, result); }, Qt::QueuedConnection);
    };
    m_loads.insert(key, std::move(load));
    // A higher priority runs first: the newest request, for the tiles the view has just reached.
    m_pool.start(job, int(asked % INT_MAX));
    return true;
}

void ThumbnailStore::loaded(quint64 key, const LoadResult &result)
{
    const auto load = m_loads.find(key);
    if (load == m_loads.end())
        return; // forgotten meanwhile
    const auto waiting = std::move(load->waiting);
    m_loads.erase(load);
    if (result.outcome == Outcome::Loaded) {
        keepPacked(key, result.packed);
        keepDecoded(key, result.image);
    }
    for (const auto &[context, done] : waiting) {
        if (context)
            done(result.outcome != Outcome::Failed);
    }
}

void ThumbnailStore::forget(quint64 key)
{
    m_entries.remove(key);
    m_packed.remove(key);
    m_decoded.remove(key);
    m_loads.remove(key);
}
