#pragma once

#include <QByteArray>
#include <QImage>
#include <QLoggingCategory>
#include <QSize>

#include <optional>

#include "ingest/PhotoText.h"
#include "model/Logging.h"

// The boundary to the third-party image libraries (Exiv2, LibRaw, libheif). Nothing here throws
// and nothing writes to stderr: every library error becomes an absent value, and the libraries'
// own messages go to the "halvane.ingest" logging category.

// Decoded photos are at most 8192 × 8192 pixels: 64 Mi pixels, 256 MiB at the 4 bytes a pixel
// they are held in. Every camera's JPEG or HEIF up to about 60 MP decodes whole; a larger photo
// is decoded reduced where its format can do that while decoding (JPEG) and otherwise not at
// all, so its record shows the placeholder.
constexpr qint64 kMaxDecodedPixels = qint64(8192) * 8192;
// The limit in force: kMaxDecodedPixels, or less where Qt's process-wide allocation limit
// (QImageReader::setAllocationLimit, in MiB) has been set lower on purpose. The first call sets
// Qt's limit to kMaxDecodedPixels' 256 MiB when it was higher, unlimited or Qt's default, so
// that Qt's readers allow what this limit allows and refuse what it refuses.
[[nodiscard]] qint64 decodedPixelLimit();

// An image embedded in a file (EXIF thumbnail, raw preview): either encoded bytes that still have
// to be decoded (so that a JPEG can be reduced while it is decoded), or pixels. `size` is the
// stored pixel size when the container tells it, otherwise invalid.
struct EmbeddedImage {
    QByteArray encoded;
    QImage pixels;
    QSize size;
    [[nodiscard]] bool isNull() const { return encoded.isEmpty() && pixels.isNull(); }
    [[nodiscard]] qint64 area() const { return size.isValid() ? qint64(size.width()) * size.height() : 0; }
};

// What Exiv2 reads from one file's EXIF and TIFF tags.
struct ExifInfo {
    PhotoProperties props; // width and height are left at 0: the decoders tell those
    std::optional<int> orientation; // EXIF Orientation of IFD0, 1..8; nullopt when absent or invalid
    EmbeddedImage thumbnail; // the EXIF (IFD1) thumbnail
    EmbeddedImage largestPreview; // the largest preview Exiv2 finds (raw files); only when asked
};

// Exiv2. `wantPreview` also looks for the largest embedded preview. nullopt when Exiv2 cannot
// read the bytes at all.
[[nodiscard]] std::optional<ExifInfo> readExif(const QByteArray &data, bool wantPreview);
// Exiv2 on bare EXIF blocks (TIFF header first): one whose first IFD is IFD0, as HEIF files carry
// it, and one whose first IFD is the EXIF IFD, as CR3 files add (either may be empty). nullopt
// when neither is a TIFF block whose first IFD is there.
[[nodiscard]] std::optional<ExifInfo> readExifBlocks(const QByteArray &ifd0Block, const QByteArray &exifIfdBlock);

// LibRaw.
struct RawInfo {
    qint64 width = 0; // the visible sensor area, as stored (not rotated)
    qint64 height = 0;
    int orientation = 1; // LibRaw's flip as an EXIF orientation
    QSize thumbnailSize; // the embedded preview LibRaw chose; invalid when there is none
    // What LibRaw decodes itself from the file's tags and maker notes, for the values Exiv2
    // cannot give (a metadata block it rejects). Only width, height and the values below are
    // set; LibRaw's 0 for "unknown" is nullopt here.
    PhotoProperties props;
};
[[nodiscard]] std::optional<RawInfo> readRaw(const QByteArray &data);
[[nodiscard]] EmbeddedImage rawThumbnail(const QByteArray &data);

// libheif.
[[nodiscard]] bool looksLikeHeif(const QByteArray &data);
struct HeifInfo {
    qint64 width = 0; // primary image as stored, before its transformations
    qint64 height = 0;
    QByteArray exif; // the EXIF block from its TIFF header on; empty when there is none
};
[[nodiscard]] std::optional<HeifInfo> readHeif(const QByteArray &data);
// Decodes the primary image upright (its own rotation and mirroring applied). With maxSide > 0
// the embedded thumbnail is used when there is one, and the result is reduced to fit.
[[nodiscard]] QImage decodeHeif(const QByteArray &data, int maxSide);

// Qt-side helpers.
// Turns an image stored with EXIF orientation `orientation` (1..8) upright.
[[nodiscard]] QImage applyOrientation(const QImage &image, int orientation);
// Decodes `embedded`, at most `maxSide` pixels on its longer side (0: full size). JPEG bytes are
// reduced while decoding.
[[nodiscard]] QImage decodeEmbedded(const EmbeddedImage &embedded, int maxSide);
