#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QUuid>

#include <functional>
#include <memory>

#include "model/Missing.h"
#include "model/Thumbnail.h"


// The full-size image of one photo, produced on demand so that a long session does not hold
// every decoded photo in memory. Ingest supplies the implementation; image() returns a null
// image when the photo cannot be decoded (or its bytes are gone). Main thread only.
class PreviewSource
{
public:
    virtual ~PreviewSource() = default;
    // Decodes on the calling thread if needed.
    [[nodiscard]] virtual QImage image() const = 0;

    // The decoded image when it is at hand without decoding; null otherwise.
    [[nodiscard]] virtual QImage cachedImage() const { return {}; }

    // Delivers the image to `done` on `context`'s thread, decoding it off that thread when
    // needed (a 24 MP photo takes a few hundred milliseconds). For a view that shows it at
    // `atLeast` pixels (upright) the image may be reduced to a size that covers that, which
    // decodes much faster; an empty size asks for the full image. `done` is told whether the
    // image is the full one. `stillWanted` is asked on the decoding thread first, so that a
    // request the viewer has moved past costs nothing; it must be thread-safe. Nothing is
    // delivered once `context` is gone. This default decodes the full image at once.
    virtual void requestImage(QObject *context, QSize atLeast, std::function<bool()> stillWanted,
                              std::function<void(const QImage &, bool full)> done) const
    {
        Q_UNUSED(context);
        Q_UNUSED(atLeast);
        Q_UNUSED(stillWanted);
        done(image(), true);
    }

    // Reads the photo's bytes from where they are now (memory, the pending file or the capture
    // folder), on any thread; the reader gives an empty array when they are gone. Empty when the
    // bytes are not known.
    [[nodiscard]] virtual std::function<QByteArray()> bytesReader() const { return {}; }
};

// One received photo file, its metadata already as display text. A plain value: copying it
// copies the fields, the images are shared.
class CapturedPhoto
{
public:
    CapturedPhoto() = default; // a fresh, random id; everything else at its default

    [[nodiscard]] const QUuid &id() const { return m_id; }

    Thumbnail thumb; // longer side at most 320 px, upright; null when absent
    std::shared_ptr<PreviewSource> preview; // full-size image on demand; null when absent
    QString filename; // exactly as the peer sent it, not the stored name
    QDateTime capturedAt = QDateTime::currentDateTime();
    QString lens = kMissing;
    qint64 fileSizeBytes = 0;
    QString format;
    qint64 width = 0;
    qint64 height = 0;
    QString shutter = kMissing;
    QString aperture = kMissing;
    QString iso = kMissing;
    QString exposure = kMissing;
    QString wb = kMissing;

    // Whether the file is safe in the capture folder. Files are written off the main thread:
    // a new photo is shown at once while its file is Writing, and becomes Stored once it is
    // complete and flushed at its final name. NotStored means no folder is chosen or the write
    // failed: the bytes then wait in the pending folder (or, when that fails too, in memory) and
    // are written once the folder works; the views mark the photo, so the user never believes
    // an unsaved photo is in the capture folder.
    enum class Storage { Writing, Stored, NotStored };
    Storage storage = Storage::NotStored;
    QString storedPath; // where the file is; empty unless Stored
    [[nodiscard]] bool isStored() const { return storage == Storage::Stored; }
    [[nodiscard]] bool isNotStored() const { return storage == Storage::NotStored; }

private:
    QUuid m_id = QUuid::createUuid();
};
