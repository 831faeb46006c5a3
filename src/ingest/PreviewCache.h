#pragma once

#include <QByteArray>
#include <QCache>
#include <QHash>
#include <QImage>
#include <QString>

#include <deque>
#include <memory>

#include "model/CapturedPhoto.h"

// Keeps what the viewer needs to show any received photo at full size, within bounded memory
// over a long session:
// - the received bytes of recent stored photos stay in memory up to a byte budget; older ones
//   are dropped and read back from their file when needed;
// - the bytes of a photo that is not stored are never dropped: they are its only copy;
// - decoded images are cached for a few photos only, bounded by their size in bytes.
// A photo whose bytes are gone (its file was moved away or replaced) yields a null image.
// Main thread only.
class PreviewCache
{
public:
    using Key = quint64;

    // Received bytes of stored photos kept in memory: about twenty 24 MP JPEGs or a dozen raw
    // files, so paging back through recent photos does not touch the disk. Sized with the
    // thumbnails (about 270 KB each) so that 1,000 photos stay well under 1 GiB resident.
    static constexpr qint64 kDefaultBytesBudget = qint64(256) << 20;
    // Decoded full-size images: two 24 MP photos at 4 bytes per pixel, and some room.
    static constexpr qint64 kDefaultDecodedBudget = qint64(256) << 20;

    explicit PreviewCache(qint64 bytesBudget = kDefaultBytesBudget,
                          qint64 decodedBudget = kDefaultDecodedBudget);

    // Takes in a received photo (the buffer is shared, not copied); it is held in memory until
    // markStored() says where its file is.
    [[nodiscard]] Key add(const QByteArray &data, const QString &name);
    // The photo's file is complete at `path`; its bytes may now be dropped from memory.
    void markStored(Key key, const QString &path);

    // The photo's bytes, from memory or read back from its file; empty when they are gone.
    [[nodiscard]] QByteArray bytes(Key key) const;
    // The photo decoded at full size; null when its bytes are gone or cannot be decoded.
    [[nodiscard]] QImage image(Key key);
    // The decoded image if it is cached; null otherwise. Never decodes.
    [[nodiscard]] QImage cachedImage(Key key) const;
    // Keeps an image decoded elsewhere (off the main thread) for `key`.
    void insertDecoded(Key key, const QImage &image);
    [[nodiscard]] QString name(Key key) const { return m_entries.value(key).name; }

    [[nodiscard]] bool holdsBytes(Key key) const;
    // Received bytes held in memory: all of them, and those of stored photos only.
    [[nodiscard]] qint64 bytesInMemory() const { return m_unstoredBytes + m_storedBytes; }
    [[nodiscard]] qint64 storedBytesInMemory() const { return m_storedBytes; }
    [[nodiscard]] qint64 bytesBudget() const { return m_bytesBudget; }

private:
    struct Entry {
        QString name;
        QString path; // empty while not stored
        qint64 size = 0;
        QByteArray data; // null once dropped
    };
    void trimToBudget();

    qint64 m_bytesBudget;
    qint64 m_storedBytes = 0;
    qint64 m_unstoredBytes = 0;
    Key m_nextKey = 1;
    QHash<Key, Entry> m_entries;
    std::deque<Key> m_dropOrder; // stored photos still in memory, the first to drop in front
    QCache<Key, QImage> m_decoded;
};

// The preview of one received photo, served by the shared cache.
[[nodiscard]] std::shared_ptr<PreviewSource> makePreviewSource(std::shared_ptr<PreviewCache> cache,
                                                               PreviewCache::Key key);
