#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QSize>
#include <QString>

class CameraState;

// Renders what a simulated camera produces: live-view frames and photos as JPEG bytes.
namespace imagemaker {

// A live-view frame: a moving pattern with the camera's name, the frame number and the time.
QByteArray liveFrame(QSize size, qint64 sequence, const QString &cameraName, int quality = 70);

struct PhotoInfo
{
    QSize size{3000, 2000};
    QString cameraModel;
    QString lensModel = QStringLiteral("Sim Prime 23mm F1.4");
    double focalLengthMm = 23.0;
    int orientation = 1; // EXIF orientation, 1..8
    QDateTime taken = QDateTime::currentDateTime();
    int number = 1;
};

// A photo: a rendered JPEG carrying EXIF written with Exiv2 (exposure time, f-number, ISO,
// exposure bias, white balance, DateTimeOriginal, lens, focal length, make and model,
// orientation) taken from the camera's current state, and an embedded EXIF thumbnail.
// Returns the plain JPEG when the metadata cannot be written, and says so on stderr.
QByteArray photo(const PhotoInfo &info, const CameraState &state);

} // namespace imagemaker
