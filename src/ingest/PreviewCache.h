#pragma once

#include <QByteArray>
#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "ingest/ImageDecode.h"
#include "model/CapturedPhoto.h"
#include "model/MemoryBudget.h"

// Keeps what the viewer needs to show any received photo at full size, within bounded memory
// over a long session:
// - the received bytes of recent photos stored in the capture folder stay in memory up to a
//   byte budget; older ones are dropped and read back from their file when needed (photos that
//   wait in the pending folder are read back from there);
// - the bytes of a photo that is in no file yet are never dropped: they are its only copy;
// - decoded images are cached for a few photos only, bounded by their size in bytes.
// A photo whose bytes are gone (its file was moved away or replaced) yields a null image.
// Bytes read back from a file for a view are read on the decoding thread, never on the main
// thread (a slow card or a dead network mount would freeze the window).
// A photo whose bytes cannot be decoded is decoded once: the failure is remembered, so views
// that ask again on every change neither decode nor read its file again.
// Full images are decoded on one thread of the cache's own; destroying the cache cancels the
// decodes still queued and waits for the one running, so none outlives it.
// Main thread only.
class PreviewCache
{
public:
    using Key = quint64;

    // Received bytes of stored photos kept in memory, so paging back through recent photos
    // rarely touches the disk (and then mostly its page cache), and decoded images: their
    // shares of the memory budget.
    static constexpr qint64 kDefaultBytesBudget = MemoryBudget::kReadBack;
    static constexpr qint64 kDefaultDecodedBudget = MemoryBudget::kDecoded;

    // Where a photo's bytes are in a file.
    struct FileSpan {
        QString path;
        qint64 offset = 0;
        qint64 size = 0;
    };
    // Reads a span back, on any thread; empty when the file no longer holds it (moved away, or
    // replaced by something else of another size).
    [[nodiscard]] static QByteArray read(const FileSpan &span);

    // Decodes a photo's bytes for a view of `atLeast` pixels (full size when empty; see
    // decodeForView); runs on the decoding thread.
    using Decoder = std::function<ViewImage(const QByteArray &data, const QString &name, QSize atLeast)>;

    explicit PreviewCache(qint64 bytesBudget = kDefaultBytesBudget,
                          qint64 decodedBudget = kDefaultDecodedBudget);
    ~PreviewCache();
    PreviewCache(const PreviewCache &) = delete;
    PreviewCache &operator=(const PreviewCache &) = delete;

    // Test seam: replaces the decoder (decodeForView). Set before any decode.
    void setDecoder(Decoder decoder) { m_decoder = std::move(decoder); }

    // Takes in a received photo (the buffer is shared, not copied); it is held in memory until
    // markStored() says where its file is.
    [[nodiscard]] Key add(const QByteArray &data, const QString &name);
    // The photo's bytes are complete in the file at `path`, from `offset` on (a pending file has
    // a header before them); they may now be dropped from memory, at once unless `keepInMemory`.
    // Called again when the file moves (from the pending folder to the capture folder).
    void markStored(Key key, const QString &path, qint64 offset = 0, bool keepInMemory = true);

    // The photo's bytes, from memory or read back from its file; empty when they are gone.
    [[nodiscard]] QByteArray bytes(Key key) const;
    // Reads the photo's bytes on any thread, from memory or from its file as it is now (see
    // PreviewSource::bytesReader); empty for an unknown key.
    [[nodiscard]] std::function<QByteArray()> reader(Key key) const;
    // The photo decoded at full size; null when its bytes are gone or cannot be decoded.
    [[nodiscard]] QImage image(Key key);
    // The decoded image if it is cached, full or reduced; null otherwise. Never decodes.
    [[nodiscard]] QImage cachedImage(Key key) const;
    // Delivers the image for a view of `atLeast` pixels (the full image when empty) to `done`
    // on `context`'s thread, decoding it on the decoding thread when the cached one does not
    // cover it (see PreviewSource::requestImage). A photo known to be undecodable, or whose
    // bytes are gone, is answered at once with a null image.
    void requestImage(Key key, QSize atLeast, QObject *context, std::function<bool()> stillWanted,
                      std::function<void(const ViewImage &)> done);
    // Whether a decode of the photo's bytes has failed (it is not tried again).
    [[nodiscard]] bool isUndecodable(Key key) const { return m_entries.value(key).undecodable; }
    [[nodiscard]] QString name(Key key) const { return m_entries.value(key).name; }

    [[nodiscard]] bool holdsBytes(Key key) const;
    // Where the photo's bytes are on disk; nullopt while they are in no file yet.
    [[nodiscard]] std::optional<FileSpan> fileSpan(Key key) const;
    // Received bytes held in memory: all of them, and those of stored photos only.
    [[nodiscard]] qint64 bytesInMemory() const { return m_unstoredBytes + m_storedBytes; }
    [[nodiscard]] qint64 storedBytesInMemory() const { return m_storedBytes; }
    // Bytes whose only copy is in memory.
    [[nodiscard]] qint64 unstoredBytes() const { return m_unstoredBytes; }
    [[nodiscard]] qint64 bytesBudget() const { return m_bytesBudget; }

private:
    struct Entry {
        QString name;
        QString path; // empty while the bytes are in no file
        qint64 offset = 0; // where they start in it
        qint64 size = 0;
        QByteArray data; // null once dropped
        // Its bytes did not decode. They never change (read back from the file only while it
        // still has their size), so the failure is final.
        bool undecodable = false;
    };
    void trimToBudget();
    // Brings the budget's Writing, ReadBack and Decoded parts up to date with this cache.
    void syncCharges();
    // Keeps the outcome of decoding the bytes of `key`: the image, or the failure. A reduced
    // image does not replace a full one.
    void noteDecoded(Key key, const ViewImage &decoded);
    // The cached image when it covers a view of `atLeast` (the full one for an empty size).
    [[nodiscard]] const ViewImage *cachedFor(Key key, QSize atLeast) const;

    qint64 m_bytesBudget;
    qint64 m_storedBytes = 0;
    qint64 m_unstoredBytes = 0;
    Key m_nextKey = 1;
    QHash<Key, Entry> m_entries;
    std::deque<Key> m_dropOrder; // stored photos still in memory, the first to drop in front
    QCache<Key, ViewImage> m_decoded;
    Decoder m_decoder;
    MemoryBudget::Charge m_unstoredCharge{MemoryBudget::Part::Writing};
    MemoryBudget::Charge m_storedCharge{MemoryBudget::Part::ReadBack};
    MemoryBudget::Charge m_decodedCharge{MemoryBudget::Part::Decoded};
    // Set when the cache goes away: decodes still queued then return without decoding.
    std::shared_ptr<std::atomic<bool>> m_cancelled = std::make_shared<std::atomic<bool>>(false);
    // One decoding thread: previews are wanted one at a time, and the other core stays free
    // for the window and the camera link. Declared last: it is stopped first.
    QThreadPool m_pool;
};

// The preview of one received photo, served by the shared cache.
[[nodiscard]] std::shared_ptr<PreviewSource> makePreviewSource(std::shared_ptr<PreviewCache> cache,
                                                               PreviewCache::Key key);
