#include "ImageMaker.h"

#include <QBuffer>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <exiv2/exiv2.hpp>

#include <cmath>
#include <cstdio>
#include <numeric>

#include "CameraState.h"

namespace imagemaker {

namespace {

QByteArray encodeJpeg(const QImage &image, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", quality);
    return bytes;
}

QImage render(QSize size, double phase, const QStringList &lines)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, size.width(), size.height());
    sky.setColorAt(0, QColor::fromHsvF(std::fmod(phase * 0.05, 1.0), 0.55, 0.55));
    sky.setColorAt(1, QColor::fromHsvF(std::fmod(phase * 0.05 + 0.4, 1.0), 0.6, 0.25));
    p.fillRect(image.rect(), sky);

    // A disc sweeping across the frame and a few bars, so that motion and scaling both show.
    const double w = size.width();
    const double h = size.height();
    const double x = (0.5 + 0.4 * std::sin(phase)) * w;
    const double y = (0.5 + 0.3 * std::cos(phase * 0.7)) * h;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 220, 120));
    p.drawEllipse(QPointF(x, y), h * 0.12, h * 0.12);
    for (int i = 0; i < 8; ++i) {
        p.setBrush(QColor::fromHsv((i * 45) % 360, 160, 220));
        p.drawRect(QRectF(i * w / 8, h * 0.9, w / 8, h * 0.1));
    }

    QFont font = p.font();
    font.setPixelSize(qMax(10, size.height() / 16));
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(w * 0.04, h * 0.04, w * 0.92, h * 0.8), Qt::AlignLeft | Qt::AlignTop,
               lines.join(QLatin1Char('\n')));
    p.end();
    return image;
}

Exiv2::URational exposureTime(qint64 microseconds)
{
    const qint64 us = qMax<qint64>(1, microseconds);
    const qint64 g = std::gcd(us, qint64(1000000));
    return {uint32_t(us / g), uint32_t(1000000 / g)};
}

} // namespace

QByteArray liveFrame(QSize size, qint64 sequence, const QString &cameraName, int quality)
{
    const QString time = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"));
    const QImage image = render(size, double(sequence) * 0.08,
                                {cameraName, QStringLiteral("LIVE #%1").arg(sequence), time});
    return encodeJpeg(image, quality);
}

QByteArray photo(const PhotoInfo &info, const CameraState &state)
{
    const QString title = QStringLiteral("%1 #%2").arg(info.cameraModel).arg(info.number);
    const QImage image = render(info.size, info.number * 0.9,
                                {title, info.taken.toString(Qt::ISODate)});
    const QByteArray jpeg = encodeJpeg(image, 88);
    const QByteArray thumb = encodeJpeg(image.scaled(160, 160, Qt::KeepAspectRatio, Qt::SmoothTransformation), 80);

    try {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        auto file = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()),
                                              long(jpeg.size()));
        file->readMetadata();
        Exiv2::ExifData &exif = file->exifData();
        exif["Exif.Image.Make"] = "Halvane";
        exif["Exif.Image.Model"] = info.cameraModel.toStdString();
        exif["Exif.Image.Orientation"] = uint16_t(info.orientation);
        exif["Exif.Photo.ExposureTime"] = exposureTime(state.current(QStringLiteral("shutterSpeed")));
        exif["Exif.Photo.FNumber"] = Exiv2::URational(uint32_t(state.current(QStringLiteral("aperture"))), 100);
        exif["Exif.Photo.ISOSpeedRatings"] = uint16_t(qMin<qint64>(65535, state.effectiveIso()));
        exif["Exif.Photo.ExposureBiasValue"] =
            Exiv2::Rational(int32_t(state.current(QStringLiteral("exposureComp"))), 1000);
        // EXIF knows only auto (0) and manual (1).
        exif["Exif.Photo.WhiteBalance"] = uint16_t(state.current(QStringLiteral("whiteBalanceMode")) == 2 ? 0 : 1);
        exif["Exif.Photo.DateTimeOriginal"] =
            info.taken.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")).toStdString();
        exif["Exif.Photo.LensModel"] = info.lensModel.toStdString();
        exif["Exif.Photo.FocalLength"] =
            Exiv2::URational(uint32_t(std::lround(info.focalLengthMm * 10)), 10);
        exif["Exif.Photo.PixelXDimension"] = uint32_t(info.size.width());
        exif["Exif.Photo.PixelYDimension"] = uint32_t(info.size.height());
        Exiv2::ExifThumb(exif).setJpegThumbnail(reinterpret_cast<const Exiv2::byte *>(thumb.constData()),
                                                long(thumb.size()));
        file->writeMetadata();

        Exiv2::BasicIo &io = file->io();
        io.seek(0, Exiv2::BasicIo::beg);
        Exiv2::DataBuf out = io.read(long(io.size()));
        return QByteArray(reinterpret_cast<const char *>(out.pData_), out.size_);
    } catch (const Exiv2::AnyError &e) {
        std::fprintf(stderr, "halvane-bridge: cannot write EXIF: %s\n", e.what());
        return jpeg;
    }
}

} // namespace imagemaker
