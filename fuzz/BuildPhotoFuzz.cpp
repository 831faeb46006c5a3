// Photo records and full-size decoding built from arbitrary bytes under every file-name
// extension the application knows. Whatever the bytes, the record keeps its invariants and
// nothing crashes, leaks or runs away with memory.
//
// Input: byte 0 picks the extension (and, by its high bit, upper case); the rest is the file.

#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "ingest/ImageDecode.h"
#include "state/Monitor.h"

namespace {

constexpr std::array<const char *, 22> kExtensions = {
    "raf", "cr2", "cr3", "nef", "arw", "dng", "orf", "rw2", "srw", "pef", "rwl", "gpr", "raw", // raw
    "jpg", "jpeg", "png", "tif", "tiff", "webp", "heic", "heif",
    nullptr, // no extension
};
constexpr int kRawCount = 13;
constexpr int kThumbnailMaxSide = 320;
// Decoded images are held to 48 MiB here (the application allows 256), so that a record stays
// under the per-record allocation limit the target runs with (-malloc_limit_mb=64 in
// scripts/test): any allocation over it comes from a size a file declared, not from an image.
constexpr int kDecodeLimitMiB = 48;

bool matches(const QString &text, const QRegularExpression &pattern)
{
    return pattern.match(text).hasMatch();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::ensureApplication();
    QImageReader::setAllocationLimit(kDecodeLimitMiB);
    fuzz::Input in(data, size);
    const quint8 pick = in.byte();
    const int index = (pick & 0x7F) % int(kExtensions.size());
    QString extension = kExtensions[size_t(index)] ? QString::fromLatin1(kExtensions[size_t(index)]) : QString();
    if (pick & 0x80)
        extension = extension.toUpper();
    const QString name = extension.isEmpty() ? QStringLiteral("IMG_0001") : QStringLiteral("IMG_0001.") + extension;
    const QByteArray bytes = in.rest().toByteArray();

    const CapturedPhoto photo = Monitor::buildPhoto(name, bytes);

    FUZZ_CHECK(photo.filename == name);
    FUZZ_CHECK(photo.fileSizeBytes == bytes.size());
    FUZZ_CHECK(photo.format == (index < kRawCount ? QStringLiteral("RAW") : extension.toUpper()));
    FUZZ_CHECK(photo.capturedAt.isValid());
    FUZZ_CHECK(photo.width >= 0 && photo.height >= 0);
    if (!photo.thumb.isNull()) {
        const QSize thumb = photo.thumb.size();
        FUZZ_CHECK(thumb.width() <= kThumbnailMaxSide && thumb.height() <= kThumbnailMaxSide);
        FUZZ_CHECK(thumb.width() > 0 && thumb.height() > 0);
    }

    // Every text is the missing value or has its display form.
    static const QRegularExpression shutter(QStringLiteral("^(—|1/[0-9]+|[0-9]+s)$"));
    static const QRegularExpression aperture(QStringLiteral("^(—|f/-?[0-9]+\\.[0-9])$"));
    static const QRegularExpression iso(QStringLiteral("^(—|-?[0-9]+)$"));
    static const QRegularExpression exposure(QStringLiteral("^(—|±0|[+-][0-9]+\\.[0-9])$"));
    static const QRegularExpression wb(QStringLiteral("^(—|AUTO|Manual)$"));
    FUZZ_CHECK(matches(photo.shutter, shutter));
    FUZZ_CHECK(matches(photo.aperture, aperture));
    FUZZ_CHECK(matches(photo.iso, iso));
    FUZZ_CHECK(matches(photo.exposure, exposure));
    FUZZ_CHECK(matches(photo.wb, wb));
    FUZZ_CHECK(!photo.lens.isEmpty());

    const QImage full = decodeFullImage(bytes, name);
    if (!full.isNull())
        FUZZ_CHECK(full.width() > 0 && full.height() > 0);
    return 0;
}
