#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

#include "ingest/PhotoText.h"
#include "model/CapturedPhoto.h"
#include "model/ThumbnailStore.h"

// The record of a received photo: its name as sent, size, format, metadata texts and
// thumbnail. Never fails: whatever cannot be read keeps its default. The full image is not
// decoded here; the store attaches a preview that decodes it when it is first drawn.
[[nodiscard]] CapturedPhoto buildPhoto(const QString &name, const QByteArray &data);

// The same in two steps, so that the slow one runs off the main thread:
// the record as it is listed at once (name, size, format; placeholders for everything else),
[[nodiscard]] CapturedPhoto listedPhoto(const QString &name, qint64 size);

// the values that take reading and decoding the file, as plain values that any thread may build
// and hand over (no record is touched),
struct BuiltPhoto {
    std::optional<PhotoProperties> props; // nullopt: the bytes are no image the libraries read
    QImage thumb;
    QByteArray packedThumb; // the thumbnail compressed (Thumbnail::pack)
};
[[nodiscard]] BuiltPhoto buildPhotoValues(const QString &name, const QByteArray &data);

// and those values filled into the listed record; its thumbnail is kept by `thumbnails` when
// given (rebuilt from the record's preview once dropped), otherwise held as it is.
void applyBuilt(CapturedPhoto &photo, const BuiltPhoto &built, ThumbnailStore *thumbnails = nullptr);

// The thumbnail alone, as buildPhotoValues makes it: for rebuilding one that was dropped.
[[nodiscard]] QImage buildThumbnail(const QString &name, const QByteArray &data);
