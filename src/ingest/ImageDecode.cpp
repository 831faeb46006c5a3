#include "ingest/ImageDecode.h"

#include <QBuffer>
#include <QImageReader>
#include <QTransform>

#include <cmath>
#include <functional>
#include <mutex>

#include "ingest/ImageProbe.h"
#include "ingest/JpegErrors.h"
#include "ingest/MediaBoxes.h"

namespace {

// A JPEG that declares more pixels than this per byte it holds cannot carry them: even a flat
// grey picture costs a Huffman-coded JPEG one bit per 8 × 8 block for its DC values alone (512
// pixels a byte), so a camera's file never comes near. Past it the file is cut or built to make
// the decoder fill gigapixels of nothing; it is not decoded.
constexpr qint64 kMaxJpegPixelsPerByte = 4096;

// Live-view frames are at most 8192 × 4096 pixels (128 MiB decoded). A frame waits for the
// window while the next one is decoded, and two of these stay well inside the memory budget; a
// camera's live view is at most 4K (8.3 million pixels). Larger frames are dropped.
constexpr qint64 kMaxLiveFramePixels = qint64(8192) * 4096;

qint64 pixelsOf(QSize size)
{
    return qint64(size.width()) * size.height();
}

bool isJpeg(const QByteArray &bytes)
{
    return bytes.startsWith("\xFF\xD8\xFF");
}

// Whether a decoder may be handed `bytes` declaring `size`: within `maxPixels` (or reduced to it
// while decoding, `reducible`), and for a JPEG no more pixels than its bytes can carry.
bool declaredSizeHolds(const QByteArray &bytes, QSize size, bool reducible, qint64 maxPixels)
{
    if (!size.isValid() || size.isEmpty())
        return false;
    if (isJpeg(bytes) && pixelsOf(size) > qint64(bytes.size()) * kMaxJpegPixelsPerByte)
        return false;
    return reducible || pixelsOf(size) <= maxPixels;
}

// Decodes a JPEG reduced inside the decoder: libjpeg-turbo scales the DCT blocks by 1/8, 1/4 or
// 1/2 (the scales it has fast paths for), so a 24 MP photo decoded at an eighth of its width and
// height costs a fraction of the full decode. The scale is the smallest whose output is
// `enough`; the full size when none is (`full` tells which). Pixels come out as QImage::Format_RGB32 directly. Nothing
// with a destructor lives in this frame, so the error jump skips none. False when libjpeg cannot
// decode the bytes to RGB (CMYK files, say); `out` then holds nothing useful.
bool decodeJpegReduced(const QByteArray &bytes, const std::function<bool(QSize)> &enough, QImage *out,
                       bool *full = nullptr, qint64 maxPixels = decodedPixelLimit())
{
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = errors.install();
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(bytes.constData()), static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK || info.jpeg_color_space == JCS_CMYK
        || info.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        return false;
    }
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    info.out_color_space = JCS_EXT_BGRA; // QImage::Format_RGB32's bytes, alpha filled with 0xFF
#else
    info.out_color_space = JCS_EXT_ARGB;
#endif
    info.scale_denom = 8;
    for (info.scale_num = 1; info.scale_num < 8; info.scale_num *= 2) {
        jpeg_calc_output_dimensions(&info);
        if (enough(QSize(int(info.output_width), int(info.output_height))))
            break;
    }
    jpeg_calc_output_dimensions(&info);
    if (full)
        *full = info.scale_num == info.scale_denom;
    // A header may claim any size up to 65,535 px a side: what it declares must be carried by the
    // bytes, and what is decoded stays within the pixel limit.
    if (!declaredSizeHolds(bytes, QSize(int(info.image_width), int(info.image_height)), true, maxPixels)
        || qint64(info.output_width) * info.output_height > maxPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_start_decompress(&info);
    *out = QImage(int(info.output_width), int(info.output_height), QImage::Format_RGB32);
    if (out->isNull() || info.output_components != 4) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = out->scanLine(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

// The size that fits `size` into a square of maxSide, keeping the aspect ratio; `size` itself
// when it fits already (thumbnails are never enlarged).
QSize fitted(QSize size, int maxSide)
{
    if (maxSide <= 0 || (size.width() <= maxSide && size.height() <= maxSide))
        return size;
    return size.scaled(maxSide, maxSide, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// Rather than show nothing for a photo above the pixel limit, decode it at the largest size under
// that limit. The size is a multiple of 1/8 of the stored one because that is what the JPEG
// decoder produces (it scales by M/8 and allocates that), so nothing larger than the result is
// ever allocated.
QSize withinPixelLimit(QSize size)
{
    const qint64 limit = decodedPixelLimit();
    if (pixelsOf(size) <= limit)
        return size;
    const int eighths = qMax(1, int(std::floor(8 * std::sqrt(double(limit) / double(pixelsOf(size))))));
    return { (size.width() * eighths + 7) / 8, (size.height() * eighths + 7) / 8 };
}

// Decodes `bytes` with Qt's readers at the size `target` gives for the declared one, once that
// declared size holds: within `maxPixels`, unless `mayReduce` and the reader scales while it
// decodes (Qt's JPEG reader does and never holds more than the reduced image; every other one,
// PNG, TIFF, WebP, decodes in full first). No orientation is applied.
QImage readWithQt(const QByteArray &bytes, qint64 maxPixels, bool mayReduce, const std::function<QSize(QSize)> &target)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    QImageReader reader(&buffer);
    reader.setAutoTransform(false);
    const QSize size = reader.size();
    if (!declaredSizeHolds(bytes, size, mayReduce && reader.format() == "jpeg", maxPixels))
        return {};
    if (target(size) != size)
        reader.setScaledSize(target(size));
    QImage image;
    return reader.read(&image) ? image : QImage();
}

// Decodes encoded bytes with Qt's readers, reduced while decoding where the format allows it
// (JPEG scales inside the decoder). No orientation is applied here.
QImage readScaled(const QByteArray &bytes, int maxSide)
{
    // Qt's JPEG reader decodes at full size whatever the scaled size asked for; a thumbnail
    // comes from libjpeg's reduced decoding instead.
    if (maxSide > 0 && isJpeg(bytes)) {
        QImage reduced;
        const auto longEnough = [maxSide](QSize size) { return qMax(size.width(), size.height()) >= maxSide; };
        if (decodeJpegReduced(bytes, longEnough, &reduced))
            return reduced.size() == fitted(reduced.size(), maxSide)
                ? reduced
                : reduced.scaled(fitted(reduced.size(), maxSide), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    QImage image = readWithQt(bytes, decodedPixelLimit(), true, [maxSide](QSize size) {
        return maxSide > 0 ? fitted(size, maxSide) : withinPixelLimit(size);
    });
    // Formats whose reader ignores the scaled size still come out within bounds.
    if (maxSide > 0 && (image.width() > maxSide || image.height() > maxSide))
        image = image.scaled(fitted(image.size(), maxSide), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

// Takes from `fallback` every value `props` lacks. Exiv2 reads a raw file's tags as stored;
// LibRaw decodes the same values its own way and still has them when Exiv2 rejects the file's
// metadata (as with some CR3 files).
void fillMissing(PhotoProperties &props, const PhotoProperties &fallback)
{
    const auto fill = [](auto &value, const auto &other) {
        if (!value)
            value = other;
    };
    fill(props.exposureTime, fallback.exposureTime);
    fill(props.fNumber, fallback.fNumber);
    fill(props.isoSpeedRatings, fallback.isoSpeedRatings);
    fill(props.exposureBias, fallback.exposureBias);
    fill(props.whiteBalance, fallback.whiteBalance);
    fill(props.model, fallback.model);
    fill(props.lensModel, fallback.lensModel);
    fill(props.focalLength, fallback.focalLength);
    fill(props.capturedAt, fallback.capturedAt);
}

// LibRaw's preview costs a second parse of the file; it wins ties because it is usually the
// camera's JPEG as stored, which decodes at a reduced size directly.
bool prefersLibRawPreview(const ProbedImage &probe)
{
    return probe.rawThumbnailSize.isValid()
        && qint64(probe.rawThumbnailSize.width()) * probe.rawThumbnailSize.height() >= probe.embedded.area();
}

QImage rawPreview(const QByteArray &data, const ProbedImage &probe, int maxSide)
{
    QImage image;
    if (prefersLibRawPreview(probe))
        image = decodeEmbedded(rawThumbnail(data), maxSide);
    if (image.isNull())
        image = decodeEmbedded(probe.embedded, maxSide);
    return applyOrientation(image, probe.orientation);
}

} // namespace

qint64 decodedPixelLimit()
{
    constexpr int kMiB = 1024 * 1024;
    // Qt 6.4's default allocation limit, under which Qt's readers refuse a PNG or TIFF of 34 MP.
    constexpr int kQtDefaultLimitMiB = 128;
    static std::once_flag once;
    std::call_once(once, [] {
        const int limitMiB = int(kMaxDecodedPixels * 4 / kMiB);
        const int current = QImageReader::allocationLimit();
        if (current <= 0 || current > limitMiB || current == kQtDefaultLimitMiB)
            QImageReader::setAllocationLimit(limitMiB);
    });
    const qint64 qtLimit = QImageReader::allocationLimit() > 0 ? qint64(QImageReader::allocationLimit()) * kMiB / 4
                                                               : kMaxDecodedPixels;
    return qMin(kMaxDecodedPixels, qtLimit);
}

QImage applyOrientation(const QImage &image, int orientation)
{
    if (image.isNull())
        return image;
    const auto rotated = [&image](qreal degrees) { return image.transformed(QTransform().rotate(degrees)); };
    switch (orientation) {
    case 2: // stored mirrored left to right
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true); // turned by 180°
    case 4:
        return image.mirrored(false, true);
    case 5: // transposed: its rows are the upright image's columns
        return rotated(90).mirrored(true, false);
    case 6:
        return rotated(90);
    case 7: // transverse
        return rotated(90).mirrored(false, true);
    case 8:
        return rotated(270);
    default:
        return image;
    }
}

QImage decodeEmbedded(const EmbeddedImage &embedded, int maxSide)
{
    if (!embedded.pixels.isNull()) {
        if (maxSide <= 0)
            return embedded.pixels;
        const QSize target = fitted(embedded.pixels.size(), maxSide);
        return target == embedded.pixels.size()
            ? embedded.pixels
            : embedded.pixels.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (embedded.encoded.isEmpty())
        return {};
    return readScaled(embedded.encoded, maxSide);
}

std::optional<ProbedImage> probeImage(const QByteArray &data, const QString &name)
{
    if (data.isEmpty())
        return std::nullopt;
    // An ISO base-media file (HEIF, CR3) reaches no library unless every size it declares holds.
    if (data.mid(4, 4) == "ftyp" && !MediaBoxes::sizesHold(data))
        return std::nullopt;
    ProbedImage probe;

    if (PhotoText::isRawExtension(PhotoText::pathExtension(name))) {
        const auto raw = readRaw(data);
        // A CR3 keeps its EXIF as two TIFF blocks in its box structure, which Exiv2 does not read
        // from the file itself: read as such, they stand for the whole file's EXIF, even where
        // LibRaw cannot open the file.
        const auto boxes = MediaBoxes::cr3Exif(data);
        const auto exif = boxes ? readExifBlocks(boxes->ifd0, boxes->exifIfd) : raw ? readExif(data, true) : std::nullopt;
        if (raw || exif) {
            probe.kind = ProbedImage::Kind::Raw;
            if (exif) {
                probe.props = exif->props;
                probe.embedded = exif->largestPreview;
            }
            if (raw) {
                fillMissing(probe.props, raw->props);
                probe.props.width = raw->width;
                probe.props.height = raw->height;
                probe.rawThumbnailSize = raw->thumbnailSize;
            }
            probe.orientation = exif && exif->orientation ? *exif->orientation : raw ? raw->orientation : 1;
            return probe;
        }
        // Not a raw file after all (a JPEG under a raw name, say): read it by its content.
    }

    if (const auto heif = readHeif(data)) {
        probe.kind = ProbedImage::Kind::Heif;
        if (const auto exif = readExifBlocks(heif->exif, {}))
            probe.props = exif->props; // its orientation is ignored: the HEIF rotation rules
        probe.props.width = heif->width;
        probe.props.height = heif->height;
        return probe;
    }

    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly))
        return std::nullopt;
    QImageReader reader(&buffer);
    reader.setAutoTransform(false);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        return std::nullopt;
    probe.kind = ProbedImage::Kind::Other;
    if (const auto exif = readExif(data, false)) {
        probe.props = exif->props;
        probe.orientation = exif->orientation.value_or(1);
        probe.embedded = exif->thumbnail;
    }
    probe.props.width = size.width();
    probe.props.height = size.height();
    return probe;
}

QImage renderImage(const QByteArray &data, const ProbedImage &probe, int maxSide)
{
    switch (probe.kind) {
    case ProbedImage::Kind::Raw:
        return rawPreview(data, probe, maxSide);
    case ProbedImage::Kind::Heif:
        return decodeHeif(data, maxSide);
    case ProbedImage::Kind::Other:
        break;
    }
    QImage image;
    if (maxSide > 0)
        image = decodeEmbedded(probe.embedded, maxSide);
    if (image.isNull())
        image = readScaled(data, maxSide);
    return applyOrientation(image, probe.orientation);
}

QImage decodeFullImage(const QByteArray &data, const QString &name)
{
    const auto probe = probeImage(data, name);
    if (!probe)
        return {};
    return renderImage(data, *probe, 0);
}

ViewImage decodeForView(const QByteArray &data, const QString &name, QSize atLeast)
{
    const auto probe = probeImage(data, name);
    if (!probe)
        return {};
    // The JPEG a reduced decode can start from: the file itself, or a raw file's preview.
    QByteArray jpeg;
    if (probe->kind == ProbedImage::Kind::Other)
        jpeg = data;
    else if (probe->kind == ProbedImage::Kind::Raw)
        jpeg = prefersLibRawPreview(*probe) ? rawThumbnail(data).encoded : probe->embedded.encoded;
    if (atLeast.isEmpty() || !isJpeg(jpeg))
        return renderImage(data, *probe, 0);
    // Orientations 5 to 8 turn the stored image by a quarter: its width is the view's height.
    if (probe->orientation >= 5 && probe->orientation <= 8)
        atLeast.transpose();
    const auto covers = [atLeast](QSize size) {
        return size.width() >= atLeast.width() && size.height() >= atLeast.height();
    };
    QImage image;
    bool full = true;
    if (!decodeJpegReduced(jpeg, covers, &image, &full))
        return renderImage(data, *probe, 0);
    return {applyOrientation(image, probe->orientation), full};
}

QImage decodeFrame(const QByteArray &bytes)
{
    // A frame over the pixel limit, or declaring more than its bytes hold, is dropped like an
    // undecodable one: a live view is never shown reduced.
    const qint64 limit = qMin(kMaxLiveFramePixels, decodedPixelLimit());
    QImage frame;
    if (isJpeg(bytes) && decodeJpegReduced(bytes, [](QSize) { return false; }, &frame, nullptr, limit))
        return frame;
    return readWithQt(bytes, limit, false, [](QSize size) { return size; });
}
