#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

#include <functional>
#include <memory>

class QObject;
class ThumbnailStore;

// A photo's thumbnail: its longer side at most 320 px, upright. A small value; copies share it.
//
// A thumbnail kept by a ThumbnailStore costs little over a long shoot: it is held compressed while
// the store has room and decoded only while a view shows it; beyond that it is dropped and rebuilt
// from the photo's file when it is wanted again. Its size is known throughout. A thumbnail made
// from a plain image (a record built outside the application's store) holds that image.
// Main thread only, like the records that hold it.
class Thumbnail
{
public:
    Thumbnail() = default;
    // NOLINTNEXTLINE(google-explicit-constructor): an image is a thumbnail held as it is
    Thumbnail(const QImage &image);

    [[nodiscard]] bool isNull() const { return !m_slot; }
    [[nodiscard]] QSize size() const;
    // Tells one thumbnail from another (as QImage::cacheKey does); 0 for none.
    [[nodiscard]] quint64 cacheKey() const;
    // The decoded image when it is at hand without work; null otherwise.
    [[nodiscard]] QImage cached() const;
    // The decoded image, decompressed on the calling thread when needed (under a millisecond);
    // null when it has been dropped (request() brings it back).
    [[nodiscard]] QImage image() const;
    // Brings back a thumbnail that is not at hand, off the main thread. `done` runs on `context`'s
    // thread (never once `context` is gone) with true once cached() has the image or when it is
    // worth asking again (the load was passed over for newer ones), false when the thumbnail
    // could not be rebuilt (its file is gone). Returns false, and never calls `done`, when there
    // is nothing to load: no thumbnail, one at hand, or one dropped with nothing to rebuild it from.
    bool request(QObject *context, std::function<void(bool)> done) const;

    // The compressed form: JPEG at a quality that looks the same at tile size (a tenth to a
    // fortieth of the decoded bytes), PNG for an image with an alpha channel.
    [[nodiscard]] static QByteArray pack(const QImage &image);
    [[nodiscard]] static QImage unpack(const QByteArray &packed);

    struct Slot; // what copies share

private:
    friend class ThumbnailStore;
    // Distinct for every thumbnail of the process, never 0.
    [[nodiscard]] static quint64 newKey();
    explicit Thumbnail(std::shared_ptr<const Slot> slot)
        : m_slot(std::move(slot))
    {
    }
    std::shared_ptr<const Slot> m_slot;
};
