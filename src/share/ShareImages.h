#pragma once

#include <QByteArray>
#include <QCache>
#include <QDir>
#include <QImage>
#include <QLockFile>
#include <QMutex>
#include <QString>
#include <QUuid>

#include <deque>
#include <memory>
#include <optional>
#include <utility>

namespace share {

// The two sizes a viewer's browser gets of a photo: one to fill a tablet's screen, one for the
// strip under it.
enum class ImageKind { Preview, Thumb };
inline constexpr int kPreviewSide = 1600;
inline constexpr int kThumbSide = 320;

// `image` reduced (never enlarged) so that its longer side is at most `side`, as a baseline
// JPEG; empty when the image is null or cannot be encoded.
[[nodiscard]] QByteArray encodeJpeg(const QImage &image, int side, int quality = 82);

// The encoded images of this run's photos: on disk in a folder of this run's own under the
// user's cache folder, and the most recent in memory, each within a byte budget. Past the disk's,
// the oldest files go (a long shoot's first photos are made again if a viewer goes back to
// them). Written by the encoding thread, read by the server's; every member is thread-safe.
class ImageShelf
{
public:
    // About fifteen previews of 300 KB and their thumbnails: the photos viewers are most likely
    // to ask for at once (the newest) come from memory; the rest are read back from disk.
    static constexpr qint64 kMemoryBudget = qint64(6) << 20;
    // About three thousand photos' previews and thumbnails.
    static constexpr qint64 kDiskBudget = qint64(1) << 30;

    // Takes a folder of its own under `cacheRoot`; it goes away with the shelf.
    explicit ImageShelf(const QString &cacheRoot, qint64 memoryBudget = kMemoryBudget, qint64 diskBudget = kDiskBudget);
    ~ImageShelf();
    ImageShelf(const ImageShelf &) = delete;
    ImageShelf &operator=(const ImageShelf &) = delete;

    // Keeps the image; false when it could not be written to disk (it is then kept in memory
    // only, while the budget allows).
    bool put(const QUuid &id, ImageKind kind, const QByteArray &jpeg);
    // The image, from memory or disk; nullopt when it was never made (or its file is gone).
    [[nodiscard]] std::optional<QByteArray> get(const QUuid &id, ImageKind kind) const;
    // Whether both of the photo's images can still be had.
    [[nodiscard]] bool has(const QUuid &id) const;
    [[nodiscard]] qint64 bytesHeld() const;
    // Removes the folders earlier runs left beside this one (those no running Halvane holds).
    // Thousands of files, perhaps: called off the window's thread.
    void removeEarlierRuns() const;
    [[nodiscard]] QString folder() const { return m_dir.path(); }

private:
    [[nodiscard]] QString pathOf(const QUuid &id, ImageKind kind) const;

    QDir m_dir;
    std::unique_ptr<QLockFile> m_lock;
    mutable QMutex m_mutex;
    // Keyed by the file name; cost = bytes.
    mutable QCache<QString, QByteArray> m_memory;
    // The files written, oldest first, with their sizes.
    std::deque<std::pair<QString, qint64>> m_files;
    qint64 m_diskBytes = 0;
    qint64 m_diskBudget;
};

} // namespace share
