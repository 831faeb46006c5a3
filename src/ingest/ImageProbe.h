#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <optional>

#include "ingest/ImageLibraries.h"
#include "ingest/PhotoText.h"

// What the image libraries make of one received file: how it is decoded, its size and metadata,
// and the embedded image that serves as its thumbnail or raw preview.
struct ProbedImage {
    enum class Kind {
        Raw, // a raw camera file read by LibRaw; shown through its largest embedded preview
        Heif, // HEIC/HEIF, decoded by libheif (which applies the file's own rotation)
        Other, // everything Qt's image readers handle: JPEG, PNG, TIFF, WebP, ...
    };
    Kind kind = Kind::Other;
    PhotoProperties props;
    int orientation = 1; // EXIF orientation still to apply to decoded pixels (Heif: always 1)
    EmbeddedImage embedded; // Raw: the largest preview Exiv2 found; Other: the EXIF thumbnail
    QSize rawThumbnailSize; // Raw: the size of LibRaw's preview, fetched only when it is larger
};

// nullopt when the bytes are no image that the libraries can read: the record then keeps its
// defaults. `name` picks the raw path (by extension); the content decides everything else.
[[nodiscard]] std::optional<ProbedImage> probeImage(const QByteArray &data, const QString &name);

// The image of a probed file, upright. maxSide > 0 gives a thumbnail whose longer side is at most
// maxSide, from the embedded thumbnail or preview when there is one and otherwise reduced from
// the image while decoding; maxSide == 0 gives the full image (for raw files the largest embedded
// preview). Null when nothing can be decoded.
[[nodiscard]] QImage renderImage(const QByteArray &data, const ProbedImage &probe, int maxSide);
