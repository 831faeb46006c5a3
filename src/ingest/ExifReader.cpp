#include <QBuffer>
#include <QImageReader>
#include <QtEndian>

#include <cmath>
#include <exception>
#include <mutex>

#include <exiv2/exiv2.hpp>

#include "ingest/ImageLibraries.h"
#include "model/ParamState.h"

// Debug messages (unreadable files are routine) are off unless enabled with QT_LOGGING_RULES.

namespace {

// A damaged or unusual file is routine for a receiver, so Exiv2's complaints are debug output.
void exiv2Message(int /*level*/, const char *message)
{
    qCDebug(lcIngest).noquote() << "exiv2:" << QString::fromUtf8(message).trimmed();
}

// Exiv2 prints its warnings to stderr unless told otherwise; route them to our category. HEIF
// and CR3 containers are read only once BMFF support is switched on.
void setUpExiv2()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Set up once here: left to first use, Exiv2 initialises its XMP parser unguarded.
        Exiv2::XmpParser::initialize();
        Exiv2::LogMsg::setHandler(exiv2Message);
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::warn);
        Exiv2::enableBMFF(true);
    });
}

bool isNumericType(Exiv2::TypeId type)
{
    switch (type) {
    case Exiv2::unsignedByte:
    case Exiv2::unsignedShort:
    case Exiv2::unsignedLong:
    case Exiv2::unsignedRational:
    case Exiv2::signedByte:
    case Exiv2::signedShort:
    case Exiv2::signedLong:
    case Exiv2::signedRational:
    case Exiv2::tiffFloat:
    case Exiv2::tiffDouble:
        return true;
    default:
        return false;
    }
}

// Element i of a numeric value as a real; nullopt for a rational with denominator 0 (no number).
std::optional<double> realAt(const Exiv2::Value &value, long i)
{
    switch (value.typeId()) {
    case Exiv2::unsignedRational:
        if (const auto *v = dynamic_cast<const Exiv2::URationalValue *>(&value)) {
            const auto [num, den] = v->value_.at(static_cast<size_t>(i));
            if (den == 0)
                return std::nullopt;
            return double(num) / double(den);
        }
        return std::nullopt;
    case Exiv2::signedRational:
        if (const auto *v = dynamic_cast<const Exiv2::RationalValue *>(&value)) {
            const auto [num, den] = v->value_.at(static_cast<size_t>(i));
            if (den == 0)
                return std::nullopt;
            return double(num) / double(den);
        }
        return std::nullopt;
    case Exiv2::tiffFloat:
        if (const auto *v = dynamic_cast<const Exiv2::FloatValue *>(&value))
            return double(v->value_.at(static_cast<size_t>(i)));
        return std::nullopt;
    case Exiv2::tiffDouble:
        if (const auto *v = dynamic_cast<const Exiv2::DoubleValue *>(&value))
            return v->value_.at(static_cast<size_t>(i));
        return std::nullopt;
    case Exiv2::signedByte:
        // Exiv2 keeps bytes unsigned whatever their declared type.
        return double(static_cast<qint8>(value.toLong(i)));
    case Exiv2::unsignedByte:
    case Exiv2::unsignedShort:
    case Exiv2::unsignedLong:
    case Exiv2::signedShort:
    case Exiv2::signedLong:
        return double(value.toLong(i));
    default:
        return std::nullopt;
    }
}

// Element i as an integer: a whole number that fits a signed 64-bit integer.
std::optional<qint64> integerAt(const Exiv2::Value &value, long i)
{
    switch (value.typeId()) {
    case Exiv2::unsignedByte:
    case Exiv2::unsignedShort:
    case Exiv2::unsignedLong:
    case Exiv2::signedShort:
    case Exiv2::signedLong:
        return qint64(value.toLong(i));
    case Exiv2::signedByte:
        return qint64(static_cast<qint8>(value.toLong(i)));
    case Exiv2::unsignedRational:
        if (const auto *v = dynamic_cast<const Exiv2::URationalValue *>(&value)) {
            const auto [num, den] = v->value_.at(static_cast<size_t>(i));
            if (den == 0 || num % den != 0)
                return std::nullopt;
            return qint64(num / den);
        }
        return std::nullopt;
    case Exiv2::signedRational:
        if (const auto *v = dynamic_cast<const Exiv2::RationalValue *>(&value)) {
            const auto [num, den] = v->value_.at(static_cast<size_t>(i));
            if (den == 0 || num % den != 0)
                return std::nullopt;
            return qint64(num) / qint64(den); // int64 avoids INT32_MIN / -1
        }
        return std::nullopt;
    default: {
        const auto real = realAt(value, i);
        if (!real || !std::isfinite(*real) || std::trunc(*real) != *real || *real < -kInt64Limit
            || *real >= kInt64Limit)
            return std::nullopt;
        return static_cast<qint64>(*real);
    }
    }
}

const Exiv2::Exifdatum *find(const Exiv2::ExifData &exif, const char *key)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? nullptr : &*it;
}

// A single number (an array is another type).
std::optional<double> real(const Exiv2::ExifData &exif, const char *key)
{
    const Exiv2::Exifdatum *d = find(exif, key);
    if (!d || !isNumericType(d->typeId()) || d->count() != 1)
        return std::nullopt;
    return realAt(d->value(), 0);
}

std::optional<qint64> integer(const Exiv2::ExifData &exif, const char *key)
{
    const Exiv2::Exifdatum *d = find(exif, key);
    if (!d || !isNumericType(d->typeId()) || d->count() != 1)
        return std::nullopt;
    return integerAt(d->value(), 0);
}

// Every element must be an integer; zero elements give an empty list.
std::optional<QList<qint64>> integers(const Exiv2::ExifData &exif, const char *key)
{
    const Exiv2::Exifdatum *d = find(exif, key);
    if (!d || !isNumericType(d->typeId()))
        return std::nullopt;
    QList<qint64> list;
    for (long i = 0; i < d->count(); ++i) {
        const auto element = integerAt(d->value(), i);
        if (!element)
            return std::nullopt;
        list.append(*element);
    }
    return list;
}

// An ASCII value up to its first NUL, without the blanks some cameras pad fixed-size fields with.
std::optional<QString> string(const Exiv2::ExifData &exif, const char *key)
{
    const Exiv2::Exifdatum *d = find(exif, key);
    if (!d || (d->typeId() != Exiv2::asciiString && d->typeId() != Exiv2::string))
        return std::nullopt;
    std::string raw = d->value().toString();
    raw = raw.substr(0, raw.find('\0'));
    QString text = QString::fromUtf8(raw.data(), qsizetype(raw.size()));
    while (!text.isEmpty() && text.back().isSpace())
        text.chop(1);
    return text;
}

QSize encodedSize(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer).size();
}

ExifInfo fromExifData(const Exiv2::ExifData &exif)
{
    ExifInfo info;
    PhotoProperties &p = info.props;
    p.exposureTime = real(exif, "Exif.Photo.ExposureTime");
    p.fNumber = real(exif, "Exif.Photo.FNumber");
    p.isoSpeedRatings = integers(exif, "Exif.Photo.ISOSpeedRatings");
    p.exposureBias = real(exif, "Exif.Photo.ExposureBiasValue");
    p.whiteBalance = integer(exif, "Exif.Photo.WhiteBalance");
    p.dateTimeOriginal = string(exif, "Exif.Photo.DateTimeOriginal");
    p.lensModel = string(exif, "Exif.Photo.LensModel");
    p.model = string(exif, "Exif.Image.Model");
    p.focalLength = real(exif, "Exif.Photo.FocalLength");

    const auto orientation = integer(exif, "Exif.Image.Orientation");
    if (orientation && *orientation >= 1 && *orientation <= 8)
        info.orientation = int(*orientation);

    const Exiv2::ExifThumbC thumb(exif);
    const Exiv2::DataBuf buf = thumb.copy();
    if (buf.pData_ && buf.size_ > 0) {
        info.thumbnail.encoded = QByteArray(reinterpret_cast<const char *>(buf.pData_), buf.size_);
        info.thumbnail.size = encodedSize(info.thumbnail.encoded);
    }
    return info;
}

EmbeddedImage largestPreview(Exiv2::Image &image, qint64 fileSize)
{
    const Exiv2::PreviewManager previews(image);
    const Exiv2::PreviewPropertiesList list = previews.getPreviewProperties();
    const Exiv2::PreviewProperties *best = nullptr;
    qint64 bestArea = -1;
    for (const auto &candidate : list) {
        // A preview's declared length is a claim: one longer than the file cannot be there.
        if (candidate.size_ == 0 || qint64(candidate.size_) > fileSize)
            continue;
        const qint64 area = qint64(candidate.width_) * candidate.height_;
        if (area > bestArea || (area == bestArea && best && candidate.size_ > best->size_)) {
            best = &candidate;
            bestArea = area;
        }
    }
    EmbeddedImage result;
    if (!best)
        return result;
    const Exiv2::PreviewImage preview = previews.getPreviewImage(*best);
    if (preview.size() == 0)
        return result;
    result.encoded = QByteArray(reinterpret_cast<const char *>(preview.pData()), qsizetype(preview.size()));
    result.size = best->width_ > 0 && best->height_ > 0 ? QSize(int(best->width_), int(best->height_))
                                                        : encodedSize(result.encoded);
    return result;
}

// The offset of the first IFD of a TIFF block whose header and that IFD's entry table lie within
// the block; nullopt otherwise. `bigEndian` tells the block's byte order.
std::optional<quint32> firstIfd(const QByteArray &block, bool *bigEndian)
{
    if (block.size() < 8 || !(block.startsWith(QByteArray("II*\0", 4)) || block.startsWith(QByteArray("MM\0*", 4))))
        return std::nullopt;
    *bigEndian = block[0] == 'M';
    const auto u16 = [&](qsizetype at) {
        return *bigEndian ? qFromBigEndian<quint16>(block.constData() + at) : qFromLittleEndian<quint16>(block.constData() + at);
    };
    const quint32 ifd = *bigEndian ? qFromBigEndian<quint32>(block.constData() + 4)
                                   : qFromLittleEndian<quint32>(block.constData() + 4);
    // The entry count is a claim: its table of 12-byte entries and the next-IFD link must be there.
    if (ifd < 8 || qint64(ifd) + 2 > block.size() || qint64(ifd) + 2 + 12 * qint64(u16(ifd)) + 4 > block.size())
        return std::nullopt;
    return ifd;
}

// A TIFF block whose first IFD is an EXIF IFD (a CR3 file's CMT2), turned into one that Exiv2
// reads as such: a new IFD0 appended after it holds only the pointer to the EXIF IFD. Every
// offset in the block stays valid because the TIFF header stays where it was.
std::optional<QByteArray> asExifIfd(const QByteArray &block)
{
    bool bigEndian = false;
    const auto exifAt = firstIfd(block, &bigEndian);
    if (!exifAt)
        return std::nullopt;
    QByteArray out = block;
    if (out.size() % 2)
        out.append('\0');
    const auto put = [&](quint32 value, int bytes) {
        char field[4];
        if (bigEndian)
            bytes == 2 ? qToBigEndian(quint16(value), field) : qToBigEndian(value, field);
        else
            bytes == 2 ? qToLittleEndian(quint16(value), field) : qToLittleEndian(value, field);
        out.append(field, bytes);
    };
    const auto ifd0At = quint32(out.size());
    put(1, 2); // one entry: ExifTag (0x8769), LONG, count 1, the EXIF IFD's offset
    put(0x8769, 2);
    put(4, 2);
    put(1, 4);
    put(*exifAt, 4);
    put(0, 4); // no next IFD
    char header[4];
    bigEndian ? qToBigEndian(ifd0At, header) : qToLittleEndian(ifd0At, header);
    out.replace(4, 4, header, 4);
    return out;
}

void decodeBlock(Exiv2::ExifData &exif, const QByteArray &tiffBlock)
{
    Exiv2::ExifParser::decode(
        exif, reinterpret_cast<const Exiv2::byte *>(tiffBlock.constData()), uint32_t(tiffBlock.size()));
}

} // namespace

std::optional<ExifInfo> readExif(const QByteArray &data, bool wantPreview)
{
    if (data.isEmpty())
        return std::nullopt;
    setUpExiv2();
    try {
        // Reads straight from the caller's buffer; nothing is written back.
        auto image = Exiv2::ImageFactory::open(
            reinterpret_cast<const Exiv2::byte *>(data.constData()), long(data.size()));
        if (image.get() == nullptr)
            return std::nullopt;
        image->readMetadata();
        ExifInfo info = fromExifData(image->exifData());
        if (wantPreview)
            info.largestPreview = largestPreview(*image, data.size());
        return info;
    } catch (const std::exception &e) {
        qCDebug(lcIngest) << "exiv2 cannot read the file:" << e.what();
    } catch (...) {
        qCDebug(lcIngest) << "exiv2 cannot read the file";
    }
    return std::nullopt;
}

std::optional<ExifInfo> readExifBlocks(const QByteArray &ifd0Block, const QByteArray &exifIfdBlock)
{
    bool bigEndian = false;
    const bool hasIfd0 = firstIfd(ifd0Block, &bigEndian).has_value();
    const auto exifIfd = asExifIfd(exifIfdBlock);
    if (!hasIfd0 && !exifIfd)
        return std::nullopt;
    setUpExiv2();
    try {
        Exiv2::ExifData exif;
        if (hasIfd0)
            decodeBlock(exif, ifd0Block);
        if (exifIfd) {
            Exiv2::ExifData photo;
            decodeBlock(photo, *exifIfd);
            for (const Exiv2::Exifdatum &datum : photo)
                if (datum.groupName() == "Photo")
                    exif.add(datum);
        }
        return fromExifData(exif);
    } catch (const std::exception &e) {
        qCDebug(lcIngest) << "exiv2 cannot read the EXIF blocks:" << e.what();
    } catch (...) {
        qCDebug(lcIngest) << "exiv2 cannot read the EXIF blocks";
    }
    return std::nullopt;
}
