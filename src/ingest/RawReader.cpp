#include <QDateTime>

#include <cmath>
#include <cstring>
#include <exception>
#include <memory>

#include <libraw.h>

#include "ingest/ImageLibraries.h"

namespace {

// LibRaw refuses to allocate more than this for raw sensor data. Only the embedded previews are
// ever taken from a raw file here, so nothing should come near it; it bounds any path that would
// size a buffer from the file's declarations.
constexpr unsigned kMaxRawMemoryMiB = 256;

// LibRaw's default callbacks print to stderr; a corrupt raw file is an ordinary event here.
void rawDataError(void * /*data*/, const char *file, const int offset)
{
    qCDebug(lcIngest) << "libraw: data error in" << file << "at" << offset;
}

void rawMemoryError(void * /*data*/, const char *file, const char *where)
{
    qCDebug(lcIngest) << "libraw: memory error in" << file << where;
}

// LibRaw's flip (0, 3, 5, 6) as an EXIF orientation.
int orientationFromFlip(int flip)
{
    switch (flip) {
    case 3:
        return 3;
    case 5:
        return 8;
    case 6:
        return 6;
    default:
        return 1;
    }
}

// A value LibRaw decoded: it stores 0 (or nothing) for what the file does not tell.
std::optional<double> known(float value)
{
    if (!std::isfinite(value) || value <= 0)
        return std::nullopt;
    return double(value);
}

// A fixed-size text field of LibRaw, up to its NUL, without trailing blanks; nullopt when empty.
template<size_t N>
std::optional<QString> text(const char (&field)[N])
{
    QString value = QString::fromUtf8(field, qsizetype(strnlen(field, N)));
    while (!value.isEmpty() && value.back().isSpace())
        value.chop(1);
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

// The metadata LibRaw decodes reliably for every format it knows: exposure time, f-number, ISO,
// focal length, capture time, camera model and lens name. Exposure compensation and the
// white-balance mode are left out: LibRaw keeps them only in maker-note fields that differ
// from maker to maker.
PhotoProperties propertiesOf(const LibRaw &raw)
{
    PhotoProperties p;
    const auto &other = raw.imgdata.other;
    p.exposureTime = known(other.shutter);
    p.fNumber = known(other.aperture);
    if (const auto iso = known(other.iso_speed); iso && *iso < 1e15)
        p.isoSpeedRatings = QList<qint64>{qint64(std::llround(*iso))};
    p.focalLength = known(other.focal_len);
    if (other.timestamp > 0)
        p.capturedAt = QDateTime::fromSecsSinceEpoch(qint64(other.timestamp), Qt::UTC);
    p.model = text(raw.imgdata.idata.model);
    p.lensModel = text(raw.imgdata.lens.Lens);
    if (!p.lensModel)
        p.lensModel = text(raw.imgdata.lens.makernotes.Lens);
    return p;
}

// Opens `data` in a new LibRaw instance (a large object: heap, not stack). The buffer must outlive
// the instance; LibRaw only reads it.
std::unique_ptr<LibRaw> openRaw(const QByteArray &data)
{
    if (data.isEmpty())
        return nullptr;
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    raw->set_dataerror_handler(rawDataError, nullptr);
    raw->set_memerror_handler(rawMemoryError, nullptr);
    raw->imgdata.params.max_raw_memory_mb = kMaxRawMemoryMiB;
    const int rc = raw->open_buffer(const_cast<char *>(data.constData()), size_t(data.size()));
    if (rc != LIBRAW_SUCCESS) {
        qCDebug(lcIngest) << "libraw cannot open the file:" << libraw_strerror(rc);
        return nullptr;
    }
    return raw;
}

} // namespace

std::optional<RawInfo> readRaw(const QByteArray &data)
{
    try {
        const auto raw = openRaw(data);
        if (!raw)
            return std::nullopt;
        const auto &sizes = raw->imgdata.sizes;
        if (sizes.width == 0 || sizes.height == 0)
            return std::nullopt;
        RawInfo info;
        info.width = sizes.width;
        info.height = sizes.height;
        info.orientation = orientationFromFlip(sizes.flip);
        info.props = propertiesOf(*raw);
        const auto &thumb = raw->imgdata.thumbnail;
        if (thumb.tformat != LIBRAW_THUMBNAIL_UNKNOWN && thumb.twidth > 0 && thumb.theight > 0)
            info.thumbnailSize = QSize(thumb.twidth, thumb.theight);
        return info;
    } catch (const std::exception &e) {
        qCDebug(lcIngest) << "libraw:" << e.what();
    } catch (...) {
        qCDebug(lcIngest) << "libraw: unknown error";
    }
    return std::nullopt;
}

EmbeddedImage rawThumbnail(const QByteArray &data)
{
    EmbeddedImage result;
    try {
        const auto raw = openRaw(data);
        if (!raw)
            return result;
        // The preview's declared length must fit in the file, and a bitmap preview's pixels
        // within the limit, before LibRaw allocates for them.
        const auto &thumb = raw->imgdata.thumbnail;
        if (thumb.tlength == 0 || qint64(thumb.tlength) > data.size()
            || qint64(thumb.twidth) * thumb.theight > decodedPixelLimit() || raw->unpack_thumb() != LIBRAW_SUCCESS)
            return result;
        int err = 0;
        libraw_processed_image_t *image = raw->dcraw_make_mem_thumb(&err);
        if (!image)
            return result;
        const std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t *)> owner(
            image, LibRaw::dcraw_clear_mem);
        if (image->type == LIBRAW_IMAGE_JPEG) {
            result.encoded
                = QByteArray(reinterpret_cast<const char *>(image->data), qsizetype(image->data_size));
            result.size = QSize(image->width, image->height);
        } else if (image->type == LIBRAW_IMAGE_BITMAP && image->colors == 3 && image->bits == 8) {
            const qsizetype stride = qsizetype(image->width) * 3;
            if (qsizetype(image->data_size) < stride * image->height)
                return result;
            // Copied: the pixels belong to LibRaw's buffer, freed when this scope ends.
            result.pixels
                = QImage(image->data, image->width, image->height, stride, QImage::Format_RGB888).copy();
            result.size = result.pixels.size();
        }
    } catch (const std::exception &e) {
        qCDebug(lcIngest) << "libraw:" << e.what();
    } catch (...) {
        qCDebug(lcIngest) << "libraw: unknown error";
    }
    return result;
}
