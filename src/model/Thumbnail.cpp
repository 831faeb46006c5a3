#include "model/Thumbnail.h"

#include <QBuffer>
#include <QImageWriter>

#include <atomic>

#include "model/ThumbnailStore.h"

namespace {

// JPEG quality of the compressed form: at tile size (144 × 96 points, or twice that on a dense
// screen) 85 is indistinguishable from the decoded thumbnail, at 5 to 20 KB for a photo.
constexpr int kPackQuality = 85;

} // namespace

quint64 Thumbnail::newKey()
{
    static std::atomic<quint64> last{0};
    return ++last;
}

Thumbnail::Thumbnail(const QImage &image)
{
    if (image.isNull())
        return;
    auto slot = std::make_shared<Slot>();
    slot->key = newKey();
    slot->size = image.size();
    slot->held = image;
    slot->charge = MemoryBudget::Charge(MemoryBudget::Part::Thumbnails, image.sizeInBytes());
    m_slot = std::move(slot);
}

QSize Thumbnail::size() const
{
    return m_slot ? m_slot->size : QSize(0, 0); // as a null QImage
}

quint64 Thumbnail::cacheKey() const
{
    return m_slot ? m_slot->key : 0;
}

QImage Thumbnail::cached() const
{
    if (!m_slot || !m_slot->held.isNull())
        return m_slot ? m_slot->held : QImage();
    const auto store = m_slot->store.lock();
    return store ? store->cached(m_slot->key) : QImage();
}

QImage Thumbnail::image() const
{
    if (!m_slot || !m_slot->held.isNull())
        return cached();
    const auto store = m_slot->store.lock();
    return store ? store->image(m_slot->key) : QImage();
}

bool Thumbnail::request(QObject *context, std::function<void(bool)> done) const
{
    if (!m_slot || !m_slot->held.isNull())
        return false;
    const auto store = m_slot->store.lock();
    return store && store->request(m_slot->key, context, std::move(done));
}

QByteArray Thumbnail::pack(const QImage &image)
{
    if (image.isNull())
        return {};
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, image.hasAlphaChannel() ? "png" : "jpeg");
    writer.setQuality(kPackQuality);
    if (!writer.write(image))
        return {};
    return bytes;
}

QImage Thumbnail::unpack(const QByteArray &packed)
{
    return QImage::fromData(packed);
}

Thumbnail::Slot::~Slot()
{
    if (const auto owner = store.lock())
        owner->forget(key);
}
