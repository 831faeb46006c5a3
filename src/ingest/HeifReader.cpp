#include <QtEndian>

#include <memory>
#include <mutex>
#include <vector>

#include <libheif/heif.h>

#include "ingest/ImageLibraries.h"
#include "ingest/MediaBoxes.h"

namespace {

// libheif refuses, while parsing, an image with a side longer than this. An image within the
// pixel limit has no such side unless it is more than four times as wide as it is high, which no
// camera writes; refused at parsing, a hostile size never reaches the decoder at all.
constexpr int kMaxHeifSide = 16384;

struct ContextFree {
    void operator()(heif_context *c) const { heif_context_free(c); }
};
struct HandleRelease {
    void operator()(heif_image_handle *h) const { heif_image_handle_release(h); }
};
struct ImageRelease {
    void operator()(heif_image *i) const { heif_image_release(i); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using Image = std::unique_ptr<heif_image, ImageRelease>;

bool failed(const heif_error &error)
{
    if (error.code == heif_error_Ok)
        return false;
    qCDebug(lcIngest) << "libheif:" << error.message;
    return true;
}

// A context over the caller's bytes (not copied: they must outlive it) and its primary image.
struct Primary {
    Context context;
    Handle handle;
};

std::optional<Primary> openPrimary(const QByteArray &data)
{
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); }); // loads the codecs once for the process
    if (!looksLikeHeif(data) || !MediaBoxes::sizesHold(data))
        return std::nullopt;
    Primary p;
    p.context.reset(heif_context_alloc());
    if (!p.context)
        return std::nullopt;
    heif_context_set_maximum_image_size_limit(p.context.get(), kMaxHeifSide);
    if (failed(heif_context_read_from_memory_without_copy(
            p.context.get(), data.constData(), size_t(data.size()), nullptr)))
        return std::nullopt;
    heif_image_handle *handle = nullptr;
    if (failed(heif_context_get_primary_image_handle(p.context.get(), &handle)))
        return std::nullopt;
    p.handle.reset(handle);
    return p;
}

// Whether an image may be decoded: within the pixel limit. (A grid's output is its 'ispe', which
// the box walk has checked against the grid's own declaration.)
bool withinLimits(const heif_image_handle *handle)
{
    const qint64 pixels = qint64(heif_image_handle_get_width(handle)) * heif_image_handle_get_height(handle);
    return pixels > 0 && pixels <= decodedPixelLimit();
}

// Decodes one image handle to 8-bit RGBA with its transformations (rotation, mirroring) applied.
// Null when the image is over the limits.
QImage decodeHandle(const heif_image_handle *handle)
{
    if (!withinLimits(handle))
        return {};
    heif_image *decoded = nullptr;
    if (failed(
            heif_decode_image(handle, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr)))
        return {};
    Image image(decoded);
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0 || stride < width * 4)
        return {};
    // Not copied: the image keeps the heif image, which holds the plane, until it is released.
    const QImage::Format format
        = heif_image_handle_has_alpha_channel(handle) ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888;
    heif_image *owner = image.release();
    return QImage(plane, width, height, stride, format,
                  [](void *info) { heif_image_release(static_cast<heif_image *>(info)); }, owner);
}

QImage decodeThumbnail(const heif_image_handle *primary)
{
    heif_item_id thumbId = 0;
    heif_image_handle *thumb = nullptr;
    if (heif_image_handle_get_list_of_thumbnail_IDs(primary, &thumbId, 1) != 1
        || failed(heif_image_handle_get_thumbnail(primary, thumbId, &thumb)))
        return {};
    const Handle owner(thumb);
    return decodeHandle(thumb);
}

} // namespace

bool looksLikeHeif(const QByteArray &data)
{
    const int len = int(qMin<qsizetype>(data.size(), 64));
    const auto result = heif_check_filetype(reinterpret_cast<const uint8_t *>(data.constData()), len);
    return result == heif_filetype_yes_supported;
}

std::optional<HeifInfo> readHeif(const QByteArray &data)
{
    const auto primary = openPrimary(data);
    if (!primary)
        return std::nullopt;
    const heif_image_handle *handle = primary->handle.get();
    HeifInfo info;
    info.width = heif_image_handle_get_ispe_width(handle);
    info.height = heif_image_handle_get_ispe_height(handle);
    if (info.width <= 0 || info.height <= 0)
        return std::nullopt;

    heif_item_id exifId = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &exifId, 1) == 1) {
        const size_t size = heif_image_handle_get_metadata_size(handle, exifId);
        std::vector<uint8_t> block(size);
        // The block starts with a 32-bit big-endian offset from its end to the TIFF header.
        if (size > 4 && !failed(heif_image_handle_get_metadata(handle, exifId, block.data()))) {
            const auto offset = qFromBigEndian<quint32>(block.data());
            if (offset < size - 4)
                info.exif = QByteArray(
                    reinterpret_cast<const char *>(block.data()) + 4 + offset, qsizetype(size - 4 - offset));
        }
    }
    return info;
}

QImage decodeHeif(const QByteArray &data, int maxSide)
{
    const auto primary = openPrimary(data);
    if (!primary)
        return {};
    QImage image;
    if (maxSide > 0)
        image = decodeThumbnail(primary->handle.get());
    // The thumbnail item also stands for a primary image over the limits: the reduced image the
    // format offers.
    if (image.isNull() && maxSide == 0 && !withinLimits(primary->handle.get()))
        image = decodeThumbnail(primary->handle.get());
    if (image.isNull())
        image = decodeHandle(primary->handle.get());
    if (maxSide > 0 && !image.isNull() && qMax(image.width(), image.height()) > maxSide)
        image = image.scaled(maxSide, maxSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
