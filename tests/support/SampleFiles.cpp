#include "SampleFiles.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>
#include <QtEndian>

#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include <exiv2/exiv2.hpp>
#include <libheif/heif.h>

namespace SampleFiles {

namespace {

Exiv2::TypeId exiv2Type(TagType type)
{
    switch (type) {
    case TagType::Byte:
        return Exiv2::unsignedByte;
    case TagType::Ascii:
        return Exiv2::asciiString;
    case TagType::Short:
        return Exiv2::unsignedShort;
    case TagType::Long:
        return Exiv2::unsignedLong;
    case TagType::Rational:
        return Exiv2::unsignedRational;
    case TagType::SByte:
        return Exiv2::signedByte;
    case TagType::Undefined:
        return Exiv2::undefined;
    case TagType::SShort:
        return Exiv2::signedShort;
    case TagType::SLong:
        return Exiv2::signedLong;
    case TagType::SRational:
        return Exiv2::signedRational;
    case TagType::Float:
        return Exiv2::tiffFloat;
    case TagType::Double:
        return Exiv2::tiffDouble;
    }
    return Exiv2::undefined;
}

// A minimal little-endian TIFF writer: IFDs of entries, values that do not fit the entry stored
// after their IFD, strip data stored up front. Enough to lay out a DNG by hand.
class TiffWriter
{
public:
    enum Type : quint16 { Byte = 1, Ascii = 2, Short = 3, Long = 4, Rational = 5, SRational = 10 };

    int addIfd()
    {
        m_ifds.push_back({});
        return int(m_ifds.size()) - 1;
    }
    // A block of data (image strips); its offset is known once laid out.
    int addBlob(const QByteArray &bytes)
    {
        m_blobs.push_back(bytes);
        return int(m_blobs.size()) - 1;
    }

    void shorts(int ifd, quint16 tag, const QList<quint16> &values)
    {
        QByteArray data;
        for (quint16 v : values)
            data.append(le16(v));
        add(ifd, { tag, Short, quint32(values.size()), data, {}, -1 });
    }
    void longs(int ifd, quint16 tag, const QList<quint32> &values)
    {
        QByteArray data;
        for (quint32 v : values)
            data.append(le32(v));
        add(ifd, { tag, Long, quint32(values.size()), data, {}, -1 });
    }
    void bytes(int ifd, quint16 tag, const QByteArray &values)
    {
        add(ifd, { tag, Byte, quint32(values.size()), values, {}, -1 });
    }
    void ascii(int ifd, quint16 tag, const QByteArray &text)
    {
        const QByteArray data = text + '\0';
        add(ifd, { tag, Ascii, quint32(data.size()), data, {}, -1 });
    }
    void srationals(int ifd, quint16 tag, const QList<std::pair<qint32, qint32>> &values)
    {
        QByteArray data;
        for (const auto &[n, d] : values)
            data.append(le32(quint32(n))).append(le32(quint32(d)));
        add(ifd, { tag, SRational, quint32(values.size()), data, {}, -1 });
    }
    void rationals(int ifd, quint16 tag, const QList<std::pair<quint32, quint32>> &values)
    {
        QByteArray data;
        for (const auto &[n, d] : values)
            data.append(le32(n)).append(le32(d));
        add(ifd, { tag, Rational, quint32(values.size()), data, {}, -1 });
    }
    // LONG offsets of other IFDs (SubIFDs).
    void ifdOffsets(int ifd, quint16 tag, const QList<int> &targets)
    {
        add(ifd, { tag, Long, quint32(targets.size()), QByteArray(4 * targets.size(), '\0'), targets, -1 });
    }
    // The offset of another IFD as two SHORTs: a reader that follows the tag whatever its type
    // finds the IFD; one that checks the type sees none.
    void ifdOffsetAsShorts(int ifd, quint16 tag, int target)
    {
        add(ifd, { tag, Short, 2, QByteArray(4, '\0'), { target }, -1 });
    }
    // LONG offset of a blob (StripOffsets with one strip).
    void blobOffset(int ifd, quint16 tag, int blob)
    {
        add(ifd, { tag, Long, 1, QByteArray(4, '\0'), {}, blob });
    }

    // IFD 0 is the first IFD; the others are reached only through ifdOffsets.
    QByteArray finish() const
    {
        // Lay out: header, blobs, then each IFD followed by its out-of-line values.
        quint32 pos = 8;
        std::vector<quint32> blobAt;
        for (const QByteArray &blob : m_blobs) {
            blobAt.push_back(pos);
            pos += even(quint32(blob.size()));
        }
        std::vector<quint32> ifdAt;
        for (const auto &ifd : m_ifds) {
            ifdAt.push_back(pos);
            pos += 2 + 12 * quint32(ifd.size()) + 4;
            for (const Entry &e : ifd)
                if (e.data.size() > 4)
                    pos += even(quint32(e.data.size()));
        }

        QByteArray out = QByteArray("II*\0", 4) + le32(ifdAt.empty() ? 0 : ifdAt[0]);
        for (const QByteArray &blob : m_blobs) {
            out.append(blob);
            if (blob.size() % 2)
                out.append('\0');
        }
        for (size_t i = 0; i < m_ifds.size(); ++i) {
            std::map<quint16, Entry> sorted; // TIFF wants entries in ascending tag order
            for (const Entry &e : m_ifds[i])
                sorted[e.tag] = e;
            quint32 extra = ifdAt[i] + 2 + 12 * quint32(sorted.size()) + 4;
            QByteArray table = le16(quint16(sorted.size()));
            QByteArray values;
            for (auto [tag, e] : sorted) {
                for (qsizetype k = 0; k < e.ifdTargets.size(); ++k)
                    e.data.replace(4 * k, 4, le32(ifdAt[size_t(e.ifdTargets[k])]));
                if (e.blob >= 0)
                    e.data = le32(blobAt[size_t(e.blob)]);
                table.append(le16(e.tag)).append(le16(e.type)).append(le32(e.count));
                if (e.data.size() <= 4) {
                    table.append(e.data).append(QByteArray(4 - e.data.size(), '\0'));
                } else {
                    table.append(le32(extra));
                    values.append(e.data);
                    if (e.data.size() % 2)
                        values.append('\0');
                    extra += even(quint32(e.data.size()));
                }
            }
            table.append(le32(0)); // no next IFD
            out.append(table).append(values);
        }
        return out;
    }

private:
    struct Entry {
        quint16 tag = 0;
        quint16 type = 0;
        quint32 count = 0;
        QByteArray data;
        QList<int> ifdTargets;
        int blob = -1;
    };

    static quint32 even(quint32 n) { return n + (n % 2); }
    static QByteArray le16(quint16 v)
    {
        QByteArray b(2, '\0');
        qToLittleEndian(v, b.data());
        return b;
    }
    static QByteArray le32(quint32 v)
    {
        QByteArray b(4, '\0');
        qToLittleEndian(v, b.data());
        return b;
    }
    void add(int ifd, Entry entry) { m_ifds[size_t(ifd)].push_back(std::move(entry)); }

    std::vector<std::vector<Entry>> m_ifds;
    std::vector<QByteArray> m_blobs;
};

} // namespace

QList<Tag> cameraTags()
{
    return {
        { QStringLiteral("Exif.Image.Model"), TagType::Ascii, QStringLiteral("CAM-1") },
        { QStringLiteral("Exif.Photo.ExposureTime"), TagType::Rational, QStringLiteral("1/250") },
        { QStringLiteral("Exif.Photo.FNumber"), TagType::Rational, QStringLiteral("28/10") },
        { QStringLiteral("Exif.Photo.ISOSpeedRatings"), TagType::Short, QStringLiteral("400") },
        { QStringLiteral("Exif.Photo.ExposureBiasValue"), TagType::SRational, QStringLiteral("2/3") },
        { QStringLiteral("Exif.Photo.WhiteBalance"), TagType::Short, QStringLiteral("0") },
        { QStringLiteral("Exif.Photo.DateTimeOriginal"), TagType::Ascii,
            QStringLiteral("2024:05:01 14:03:09") },
        { QStringLiteral("Exif.Photo.LensModel"), TagType::Ascii, QStringLiteral("ZOOM 18-55") },
        { QStringLiteral("Exif.Photo.FocalLength"), TagType::Rational, QStringLiteral("239/10") },
    };
}

QImage quadrants(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    const int w = size.width() / 2;
    const int h = size.height() / 2;
    QPainter p(&image);
    p.fillRect(0, 0, w, h, Qt::red);
    p.fillRect(w, 0, size.width() - w, h, Qt::green);
    p.fillRect(0, h, w, size.height() - h, Qt::blue);
    p.fillRect(w, h, size.width() - w, size.height() - h, Qt::white);
    return image;
}

QImage solid(QSize size, QRgb colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QByteArray encode(const QImage &image, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly))
        return {};
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (!writer.write(image))
        return {};
    return bytes;
}

QByteArray withExif(const QByteArray &file, const QList<Tag> &tags, const QImage &thumbnail)
{
    if (file.isEmpty())
        return {};
    try {
        auto image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte *>(file.constData()), long(file.size()));
        if (image.get() == nullptr)
            return {};
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        for (const Tag &tag : tags) {
            auto value = Exiv2::Value::create(exiv2Type(tag.type));
            if (value->read(tag.value.toStdString()) != 0)
                return {};
            exif.add(Exiv2::ExifKey(tag.key.toStdString()), value.get());
        }
        if (!thumbnail.isNull()) {
            const QByteArray jpegThumb = encode(thumbnail, "jpeg", 90);
            if (jpegThumb.isEmpty())
                return {};
            Exiv2::ExifThumb(exif).setJpegThumbnail(
                reinterpret_cast<const Exiv2::byte *>(jpegThumb.constData()), long(jpegThumb.size()));
        }
        image->setExifData(exif);
        image->writeMetadata();
        Exiv2::BasicIo &io = image->io();
        const long size = io.size();
        if (io.open() != 0 || io.seek(0, Exiv2::BasicIo::beg) != 0)
            return {};
        QByteArray out(size, '\0');
        const long read = io.read(reinterpret_cast<Exiv2::byte *>(out.data()), size);
        io.close();
        return read == size ? out : QByteArray();
    } catch (const std::exception &) {
        return {};
    }
}

QByteArray jpeg(const QImage &image, const QList<Tag> &tags, const QImage &thumbnail, int quality)
{
    return withExif(encode(image, "jpeg", quality), tags, thumbnail);
}

QByteArray cameraJpeg(QSize size)
{
    const QImage picture = quadrants(size);
    return jpeg(picture, cameraTags(), picture.scaled(160, 160, Qt::KeepAspectRatio), 90);
}

namespace {

struct HeifContextFree {
    void operator()(heif_context *c) const { heif_context_free(c); }
};
struct HeifImageRelease {
    void operator()(heif_image *i) const { heif_image_release(i); }
};
struct HeifHandleRelease {
    void operator()(heif_image_handle *h) const { heif_image_handle_release(h); }
};
struct HeifEncoderRelease {
    void operator()(heif_encoder *e) const { heif_encoder_release(e); }
};
struct HeifOptionsFree {
    void operator()(heif_encoding_options *o) const { heif_encoding_options_free(o); }
};

heif_error appendTo(heif_context *, const void *data, size_t size, void *userdata)
{
    static_cast<QByteArray *>(userdata)->append(static_cast<const char *>(data), qsizetype(size));
    return { heif_error_Ok, heif_suberror_Unspecified, "" };
}

// The tags as a bare EXIF block (TIFF header first), the form HEIF files carry.
QByteArray exifBlock(const QList<Tag> &tags)
{
    try {
        Exiv2::ExifData exif;
        for (const Tag &tag : tags) {
            auto value = Exiv2::Value::create(exiv2Type(tag.type));
            if (value->read(tag.value.toStdString()) != 0)
                return {};
            exif.add(Exiv2::ExifKey(tag.key.toStdString()), value.get());
        }
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
        return QByteArray(reinterpret_cast<const char *>(blob.data()), qsizetype(blob.size()));
    } catch (const std::exception &) {
        return {};
    }
}

} // namespace

QByteArray heic(const QImage &image, const QList<Tag> &tags, int orientation, int thumbnailBox)
{
    const std::unique_ptr<heif_context, HeifContextFree> ctx(heif_context_alloc());
    heif_encoder *rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(ctx.get(), heif_compression_HEVC, &rawEncoder).code
        != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_encoder, HeifEncoderRelease> encoder(rawEncoder);
    heif_encoder_set_lossy_quality(encoder.get(), 90);

    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    heif_image *rawImage = nullptr;
    if (heif_image_create(
            rgb.width(), rgb.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage)
            .code
        != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image, HeifImageRelease> himage(rawImage);
    if (heif_image_add_plane(himage.get(), heif_channel_interleaved, rgb.width(), rgb.height(), 8).code
        != heif_error_Ok)
        return {};
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(himage.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + qsizetype(y) * stride, rgb.constScanLine(y), size_t(rgb.width()) * 3);

    const std::unique_ptr<heif_encoding_options, HeifOptionsFree> options(heif_encoding_options_alloc());
    options->image_orientation = heif_orientation(orientation);
    heif_image_handle *rawHandle = nullptr;
    if (heif_context_encode_image(ctx.get(), himage.get(), encoder.get(), options.get(), &rawHandle).code
        != heif_error_Ok)
        return {};
    const std::unique_ptr<heif_image_handle, HeifHandleRelease> handle(rawHandle);
    if (thumbnailBox > 0) {
        heif_image_handle *thumb = nullptr;
        if (heif_context_encode_thumbnail(
                ctx.get(), himage.get(), handle.get(), encoder.get(), options.get(), thumbnailBox, &thumb)
                .code
            != heif_error_Ok)
            return {};
        if (thumb)
            heif_image_handle_release(thumb);
    }
    if (!tags.isEmpty()) {
        const QByteArray block = exifBlock(tags);
        if (block.isEmpty()
            || heif_context_add_exif_metadata(ctx.get(), handle.get(), block.constData(), int(block.size()))
                    .code
                != heif_error_Ok)
            return {};
    }
    QByteArray out;
    heif_writer writer { 1, appendTo };
    if (heif_context_write(ctx.get(), &writer, &out).code != heif_error_Ok)
        return {};
    return out;
}

QByteArray dng(const Dng &spec)
{
    TiffWriter tiff;
    const int ifd0 = tiff.addIfd();
    const int rawIfd = tiff.addIfd();

    // IFD0: the small uncompressed thumbnail, the DNG tags and the way to the other images.
    const QImage small
        = (spec.smallThumb.isNull() ? solid(QSize(96, 64), qRgb(128, 128, 128)) : spec.smallThumb)
              .convertToFormat(QImage::Format_RGB888);
    QByteArray smallPixels;
    for (int y = 0; y < small.height(); ++y)
        smallPixels.append(reinterpret_cast<const char *>(small.constScanLine(y)), small.width() * 3);
    tiff.longs(ifd0, 254, { 1 }); // NewSubfileType: reduced-resolution image
    tiff.longs(ifd0, 256, { quint32(small.width()) });
    tiff.longs(ifd0, 257, { quint32(small.height()) });
    tiff.shorts(ifd0, 258, { 8, 8, 8 });
    tiff.shorts(ifd0, 259, { 1 }); // uncompressed
    tiff.shorts(ifd0, 262, { 2 }); // RGB
    tiff.ascii(ifd0, 271, "HALVANE");
    tiff.blobOffset(ifd0, 273, tiff.addBlob(smallPixels));
    tiff.shorts(ifd0, 274, { quint16(spec.orientation) });
    tiff.shorts(ifd0, 277, { 3 });
    tiff.longs(ifd0, 278, { quint32(small.height()) });
    tiff.longs(ifd0, 279, { quint32(smallPixels.size()) });
    tiff.shorts(ifd0, 284, { 1 });
    if (spec.exifOnlyLibRawReads) {
        const int exif = tiff.addIfd();
        tiff.rationals(exif, 33434, { { 1, 250 } }); // ExposureTime
        tiff.rationals(exif, 33437, { { 28, 10 } }); // FNumber
        tiff.shorts(exif, 34855, { 400 }); // ISOSpeedRatings
        tiff.ascii(exif, 36867, "2024:05:01 14:03:09"); // DateTimeOriginal
        tiff.rationals(exif, 37386, { { 239, 10 } }); // FocalLength
        tiff.ascii(exif, 42036, "ZOOM 18-55"); // LensModel
        tiff.ifdOffsetAsShorts(ifd0, 34665, exif); // ExifIFD
    }
    tiff.bytes(ifd0, 50706, QByteArray("\x01\x04\x00\x00", 4)); // DNGVersion 1.4
    tiff.bytes(ifd0, 50707, QByteArray("\x01\x01\x00\x00", 4)); // DNGBackwardVersion 1.1
    tiff.ascii(ifd0, 50708, "HALVANE TEST");
    tiff.srationals(ifd0, 50721,
        { { 1, 1 }, { 0, 1 }, { 0, 1 }, { 0, 1 }, { 1, 1 }, { 0, 1 }, { 0, 1 }, { 0, 1 },
            { 1, 1 } }); // ColorMatrix1: identity
    tiff.shorts(ifd0, 50778, { 21 }); // CalibrationIlluminant1: D65
    tiff.rationals(ifd0, 50728, { { 1, 1 }, { 1, 1 }, { 1, 1 } }); // AsShotNeutral

    // The CFA raw image: a 16-bit RGGB mosaic with a gentle gradient.
    const int rw = spec.rawSize.width();
    const int rh = spec.rawSize.height();
    QByteArray rawPixels(qsizetype(rw) * rh * 2, '\0');
    for (int y = 0; y < rh; ++y)
        for (int x = 0; x < rw; ++x)
            qToLittleEndian(
                quint16(1000 + 40 * ((x + y) % 64)), rawPixels.data() + 2 * (qsizetype(y) * rw + x));
    tiff.longs(rawIfd, 254, { 0 });
    tiff.longs(rawIfd, 256, { quint32(rw) });
    tiff.longs(rawIfd, 257, { quint32(rh) });
    tiff.shorts(rawIfd, 258, { 16 });
    tiff.shorts(rawIfd, 259, { 1 });
    tiff.shorts(rawIfd, 262, { 32803 }); // CFA
    tiff.blobOffset(rawIfd, 273, tiff.addBlob(rawPixels));
    tiff.shorts(rawIfd, 277, { 1 });
    tiff.longs(rawIfd, 278, { quint32(rh) });
    tiff.longs(rawIfd, 279, { quint32(rawPixels.size()) });
    tiff.shorts(rawIfd, 284, { 1 });
    tiff.shorts(rawIfd, 33421, { 2, 2 }); // CFARepeatPatternDim
    tiff.bytes(rawIfd, 33422, QByteArray("\x00\x01\x01\x02", 4)); // CFAPattern: RGGB
    tiff.longs(rawIfd, 50717, { 4095 }); // WhiteLevel

    QList<int> subIfds { rawIfd };
    if (!spec.preview.isNull()) {
        const QByteArray jpegPreview = encode(spec.preview, "jpeg", 90);
        if (jpegPreview.isEmpty())
            return {};
        const int previewIfd = tiff.addIfd();
        tiff.longs(previewIfd, 254, { 1 });
        tiff.longs(previewIfd, 256, { quint32(spec.preview.width()) });
        tiff.longs(previewIfd, 257, { quint32(spec.preview.height()) });
        tiff.shorts(previewIfd, 258, { 8, 8, 8 });
        tiff.shorts(previewIfd, 259, { 7 }); // JPEG
        tiff.shorts(previewIfd, 262, { 6 }); // YCbCr
        tiff.blobOffset(previewIfd, 273, tiff.addBlob(jpegPreview));
        tiff.shorts(previewIfd, 277, { 3 });
        tiff.longs(previewIfd, 278, { quint32(spec.preview.height()) });
        tiff.longs(previewIfd, 279, { quint32(jpegPreview.size()) });
        tiff.shorts(previewIfd, 284, { 1 });
        subIfds.append(previewIfd);
    }
    tiff.ifdOffsets(ifd0, 330, subIfds);

    const QByteArray bytes = tiff.finish();
    return spec.tags.isEmpty() ? bytes : withExif(bytes, spec.tags);
}

} // namespace SampleFiles

// The HEVC encoder behind libheif keeps a few small process-wide buffers that nothing frees
// (libheif never calls its cleanup). They belong to the encoder that only this helper uses, so
// the leak checker is told to ignore them here rather than in every test's environment.
extern "C" const char *__lsan_default_suppressions() // NOLINT(bugprone-reserved-identifier)
{
    return "leak:libx265.so\n";
}
