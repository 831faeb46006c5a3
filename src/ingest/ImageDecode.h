#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// Full-size decoding of a received photo for the viewer: JPEG, PNG, TIFF, WebP, HEIC/HEIF,
// and for raw files the largest embedded preview. The image is turned upright by its stored
// orientation. Returns a null image when the bytes cannot be decoded. `name` is the file name
// as sent; it only hints at the format.
[[nodiscard]] QImage decodeFullImage(const QByteArray &data, const QString &name);
