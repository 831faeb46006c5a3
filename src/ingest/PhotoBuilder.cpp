#include "ingest/PhotoBuilder.h"

#include <QDateTime>

#include "ingest/ImageProbe.h"

namespace {

// Thumbnails are at most this many pixels on their longer side: enough for the photo strip's
// tiles on a high-density screen, small enough to keep one per photo compressed for a long shoot.
constexpr int kThumbnailMaxSide = 320;

} // namespace

CapturedPhoto listedPhoto(const QString &name, qint64 size)
{
    CapturedPhoto photo;
    photo.capturedAt = QDateTime::currentDateTime();
    photo.filename = name;
    photo.fileSizeBytes = size;
    photo.format = PhotoText::format(name);
    return photo;
}

BuiltPhoto buildPhotoValues(const QString &name, const QByteArray &data)
{
    BuiltPhoto built;
    const auto probe = probeImage(data, name);
    if (!probe)
        return built;
    built.props = probe->props;
    built.thumb = renderImage(data, *probe, kThumbnailMaxSide);
    built.packedThumb = Thumbnail::pack(built.thumb);
    return built;
}

QImage buildThumbnail(const QString &name, const QByteArray &data)
{
    const auto probe = probeImage(data, name);
    return probe ? renderImage(data, *probe, kThumbnailMaxSide) : QImage();
}

void applyBuilt(CapturedPhoto &photo, const BuiltPhoto &built, ThumbnailStore *thumbnails)
{
    if (built.props)
        PhotoText::apply(photo, *built.props);
    if (thumbnails)
        photo.thumb = thumbnails->add(built.thumb, built.packedThumb, photo.preview, photo.filename);
    else
        photo.thumb = built.thumb;
}

CapturedPhoto buildPhoto(const QString &name, const QByteArray &data)
{
    CapturedPhoto photo = listedPhoto(name, data.size());
    applyBuilt(photo, buildPhotoValues(name, data));
    return photo;
}
