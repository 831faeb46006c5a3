#include "ingest/PreviewCache.h"

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
    // An image larger than the whole budget is not kept (QCache refuses it), only returned.
    if (!decoded.isNull())
        m_decoded.insert(key, new QImage(decoded), decoded.sizeInBytes());
    return decoded;
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

private:
    std::shared_ptr<PreviewCache> m_cache;
    PreviewCache::Key m_key;
};

} // namespace

std::shared_ptr<PreviewSource> makePreviewSource(std::shared_ptr<PreviewCache> cache, PreviewCache::Key key)
{
    return std::make_shared<CachedPreview>(std::move(cache), key);
}
