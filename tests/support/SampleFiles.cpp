#include "SampleFiles.h"

#include <QBuffer>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <exiv2/exiv2.hpp>
#include <libheif/heif_cxx.h>

namespace SampleFiles {

namespace {

using T = TagType;

void addTags(Exiv2::ExifData &exif, const QList<Tag> &tags)
{
    for (const Tag &tag : tags) {
        auto value = Exiv2::Value::create(Exiv2::TypeId(tag.type));
        if (value->read(tag.value.toStdString()) != 0)
            throw std::invalid_argument("unreadable tag value");
        exif.add(Exiv2::ExifKey(tag.key.toStdString()), value.get());
    }
}

QByteArray le(quint32 value, int bytes)
{
    const quint32 ordered = qToLittleEndian(value);
    return QByteArray(reinterpret_cast<const char *>(&ordered), bytes);
}

// One TIFF entry; rationals are given as numerator, denominator pairs.
struct Entry {
    quint16 tag;
    TagType type;
    QList<quint32> values;
};

// A little-endian TIFF written front to back: each data block and IFD is appended to `out` as it
// comes, so an IFD can point at anything written before it. IFD0 comes last; the header points at it.
quint32 appendBlock(QByteArray &out, const QByteArray &bytes)
{
    const auto at = quint32(out.size());
    out += bytes + QByteArray(bytes.size() % 2, '\0');
    return at;
}

Entry ascii(quint16 tag, const QByteArray &text)
{
    return Entry{tag, T::Ascii, QList<quint32>(text.begin(), text.end()) << 0};
}

quint32 appendIfd(QByteArray &out, QList<Entry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) { return a.tag < b.tag; });
    const auto at = quint32(out.size());
    quint32 valuesAt = at + 2 + 12 * quint32(entries.size()) + 4;
    QByteArray table = le(quint32(entries.size()), 2), values;
    for (const Entry &e : entries) {
        const bool rational = e.type == T::Rational || e.type == T::SRational;
        const int width = e.type == T::Short ? 2 : rational || e.type == T::Long ? 4 : 1;
        QByteArray data;
        for (quint32 v : e.values)
            data += le(v, width);
        table += le(e.tag, 2) + le(quint32(e.type), 2) + le(quint32(e.values.size() / (rational ? 2 : 1)), 4);
        if (data.size() <= 4) {
            table += data.leftJustified(4, '\0');
        } else {
            table += le(valuesAt, 4);
            data += QByteArray(data.size() % 2, '\0');
            values += data;
            valuesAt += quint32(data.size());
        }
    }
    out += table + le(0, 4) + values;
    return at;
}

} // namespace

QList<Tag> cameraTags()
{
    return {{"Exif.Image.Model", T::Ascii, "CAM-1"}, {"Exif.Photo.ExposureTime", T::Rational, "1/250"},
            {"Exif.Photo.FNumber", T::Rational, "28/10"}, {"Exif.Photo.ISOSpeedRatings", T::Short, "400"},
            {"Exif.Photo.ExposureBiasValue", T::SRational, "2/3"}, {"Exif.Photo.WhiteBalance", T::Short, "0"},
            {"Exif.Photo.DateTimeOriginal", T::Ascii, "2024:05:01 14:03:09"},
            {"Exif.Photo.LensModel", T::Ascii, "ZOOM 18-55"}, {"Exif.Photo.FocalLength", T::Rational, "239/10"}};
}

QImage solid(QSize size, QRgb colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QImage quadrants(QSize size)
{
    QImage image = solid(size, qRgb(255, 255, 255));
    const int w = size.width() / 2, h = size.height() / 2;
    QPainter p(&image);
    p.fillRect(0, 0, w, h, Qt::red);
    p.fillRect(w, 0, size.width() - w, h, Qt::green);
    p.fillRect(0, h, w, size.height() - h, Qt::blue);
    return image;
}

QByteArray encode(const QImage &image, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format, quality) ? bytes : QByteArray();
}

QByteArray withExif(const QByteArray &file, const QList<Tag> &tags, const QImage &thumbnail)
{
    try {
        auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(file.constData()), long(file.size()));
        image->readMetadata();
        addTags(image->exifData(), tags);
        const QByteArray small = encode(thumbnail, "jpeg", 90);
        if (!thumbnail.isNull())
            Exiv2::ExifThumb(image->exifData()).setJpegThumbnail(reinterpret_cast<const Exiv2::byte *>(small.constData()),
                                                                 long(small.size()));
        image->writeMetadata();
        Exiv2::BasicIo &io = image->io(); // in memory: its bytes are the file
        return QByteArray(reinterpret_cast<const char *>(io.mmap()), qsizetype(io.size()));
    } catch (const std::exception &) {
        return {};
    }
}

QByteArray jpeg(const QImage &image, const QList<Tag> &tags, const QImage &thumbnail, int quality)
{
    return withExif(encode(image, "jpeg", quality), tags, thumbnail);
}

QByteArray heic(const QImage &image, const QList<Tag> &tags, int orientation, int thumbnailBox)
{
    try {
        const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
        heif::Image picture;
        picture.create(rgb.width(), rgb.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB);
        picture.add_plane(heif_channel_interleaved, rgb.width(), rgb.height(), 8);
        int stride = 0;
        uint8_t *plane = picture.get_plane(heif_channel_interleaved, &stride);
        for (int y = 0; y < rgb.height(); ++y)
            std::memcpy(plane + qsizetype(y) * stride, rgb.constScanLine(y), size_t(rgb.width()) * 3);
        heif::Context context;
        heif::Encoder encoder(heif_compression_HEVC);
        encoder.set_lossy_quality(90);
        heif::Context::EncodingOptions options;
        options.image_orientation = heif_orientation(orientation);
        const heif::ImageHandle handle = context.encode_image(picture, encoder, options);
        if (thumbnailBox > 0)
            context.encode_thumbnail(picture, handle, encoder, options, thumbnailBox);
        if (!tags.isEmpty()) { // HEIF carries the bare EXIF block, TIFF header first
            Exiv2::ExifData exif;
            addTags(exif, tags);
            Exiv2::Blob block;
            Exiv2::ExifParser::encode(block, Exiv2::littleEndian, exif);
            context.add_exif_metadata(handle, block.data(), int(block.size()));
        }
        const QTemporaryDir dir; // libheif writes to files, by name
        context.write_to_file(dir.filePath(QStringLiteral("sample.heic")).toStdString());
        QFile file(dir.filePath(QStringLiteral("sample.heic")));
        return dir.isValid() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    } catch (...) { // a heif::Error (among others, no HEVC encoder) or an Exiv2 one
        return {};
    }
}

QByteArray dng(const Dng &spec)
{
    QByteArray tiff("II*\0\0\0\0\0", 8);
    // The tags every image of the file has: one strip of `pixels`.
    const auto image = [&tiff](quint32 subfile, QSize size, const QList<quint32> &bits, quint32 compression,
                               quint32 photometric, const QByteArray &pixels) {
        const auto w = quint32(size.width()), h = quint32(size.height());
        return QList<Entry>{{254, T::Long, {subfile}}, {256, T::Long, {w}}, {257, T::Long, {h}},
                            {258, T::Short, bits}, {259, T::Short, {compression}}, {262, T::Short, {photometric}},
                            {273, T::Long, {appendBlock(tiff, pixels)}}, {277, T::Short, {quint32(bits.size())}},
                            {278, T::Long, {h}}, {279, T::Long, {quint32(pixels.size())}}, {284, T::Short, {1}}};
    };

    // The raw image: a 16-bit RGGB mosaic with a gentle gradient, uncompressed (CFA photometric).
    const int rw = spec.rawSize.width(), rh = spec.rawSize.height();
    QByteArray mosaic(qsizetype(rw) * rh * 2, '\0');
    for (qsizetype i = 0; i < qsizetype(rw) * rh; ++i)
        qToLittleEndian(quint16(1000 + 40 * ((i % rw + i / rw) % 64)), mosaic.data() + 2 * i);
    QList<Entry> raw = image(0, spec.rawSize, {16}, 1, 32803, mosaic);
    raw += QList<Entry>{{33421, T::Short, {2, 2}}, {33422, T::Byte, {0, 1, 1, 2}}, {50717, T::Long, {4095}}};
    QList<quint32> subIfds{appendIfd(tiff, raw)};
    if (!spec.preview.isNull()) // JPEG-compressed YCbCr
        subIfds += appendIfd(tiff, image(1, spec.preview.size(), {8, 8, 8}, 7, 6, encode(spec.preview, "jpeg", 90)));

    const QImage small = (spec.smallThumb.isNull() ? quadrants(QSize(96, 64)).mirrored(true, true) : spec.smallThumb)
                             .convertToFormat(QImage::Format_RGB888);
    QByteArray rgb;
    for (int y = 0; y < small.height(); ++y)
        rgb.append(reinterpret_cast<const char *>(small.constScanLine(y)), small.width() * 3);
    QList<Entry> ifd0 = image(1, small.size(), {8, 8, 8}, 1, 2, rgb);
    ifd0 += QList<Entry>{ascii(271, "HALVANE"), {274, T::Short, {quint32(spec.orientation)}}, {330, T::Long, subIfds},
             {50706, T::Byte, {1, 4, 0, 0}}, {50707, T::Byte, {1, 1, 0, 0}}, ascii(50708, "HALVANE TEST"),
             {50721, T::SRational, {1, 1, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 0, 1, 0, 1, 1, 1}}, // identity ColorMatrix1
             {50728, T::Rational, {1, 1, 1, 1, 1, 1}}, {50778, T::Short, {21}}}; // AsShotNeutral, D65
    if (spec.exifOnlyLibRawReads) {
        const quint32 exif = appendIfd(tiff, {{33434, T::Rational, {1, 250}}, {33437, T::Rational, {28, 10}},
                                       {34855, T::Short, {400}}, ascii(36867, "2024:05:01 14:03:09"),
                                       {37386, T::Rational, {239, 10}}, ascii(42036, "ZOOM 18-55")});
        ifd0.append({34665, T::Short, {exif & 0xffff, exif >> 16}});
    }
    tiff.replace(4, 4, le(appendIfd(tiff, ifd0), 4));
    return spec.tags.isEmpty() ? tiff : withExif(tiff, spec.tags);
}

QByteArray box(const char *type, const QByteArray &content)
{
    QByteArray size(4, '\0');
    qToBigEndian(quint32(8 + content.size()), size.data());
    return size + type + content;
}

QByteArray cr3(const QByteArray &moreInMoov)
{
    const auto tiff = [](const QList<Entry> &entries) {
        QByteArray block("II*\0\0\0\0\0", 8);
        block.replace(4, 4, le(appendIfd(block, entries), 4));
        return block;
    };
    const QByteArray cmt1 = tiff({ascii(272, "CAM-1"), {274, T::Short, {1}}});
    const QByteArray cmt2 = tiff({{33434, T::Rational, {1, 250}}, {33437, T::Rational, {28, 10}}, {34855, T::Short, {400}},
                                  ascii(36867, "2024:05:01 14:03:09"), {37380, T::SRational, {2, 3}},
                                  {37386, T::Rational, {239, 10}}, {41987, T::Short, {0}}, ascii(42036, "ZOOM 18-55")});
    const QByteArray uuid = QByteArray::fromHex("85c0b687820f11e08111f4ce462b6a48");
    return box("ftyp", QByteArray("crx \0\0\0\1crx isom", 16)) + box("moov", box("uuid", uuid + box("CMT1", cmt1) + box("CMT2", cmt2)) + moreInMoov);
}

} // namespace SampleFiles

// The HEVC encoder behind libheif keeps a few small process-wide buffers that nothing frees
// (libheif never calls its cleanup). They belong to the encoder that only this helper uses, so
// the leak checker is told to ignore them here rather than in every test's environment.
extern "C" const char *__lsan_default_suppressions() // NOLINT(bugprone-reserved-identifier)
{
    return "leak:libx265.so\n";
}
