#include "ingest/PhotoBuilder.h"

#include <QDateTime>

#include "ingest/ImageProbe.h"
#include "ingest/PhotoText.h"

namespace {

// Thumbnails are at most this many pixels on their longer side: enough for the photo strip's
// tiles on a high-density screen, small enough to keep one per photo for a whole session.
constexpr int kThumbnailMaxSide = 320;

} // namespace

CapturedPhoto buildPhoto(const QString &name, const QByteArray &data)
{
    CapturedPhoto photo;
    photo.capturedAt = QDateTime::currentDateTime();
    photo.filename = name;
    photo.fileSizeBytes = data.size();
    photo.format = PhotoText::format(name);

    const auto probe = probeImage(data, name);
    if (!probe)
        return photo;
    PhotoText::apply(photo, probe->props);
    photo.thumb = renderImage(data, *probe, kThumbnailMaxSide);
    return photo;
}
