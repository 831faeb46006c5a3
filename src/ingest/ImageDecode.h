#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <utility>

// Full-size decoding of a received photo for the viewer: JPEG, PNG, TIFF, WebP, HEIC/HEIF,
// and for raw files the largest embedded preview. The image is turned upright by its stored
// orientation. Returns a null image when the bytes cannot be decoded. `name` is the file name
// as sent; it only hints at the format.
[[nodiscard]] QImage decodeFullImage(const QByteArray &data, const QString &name);

// A decode for a view, and whether it is the full image or a reduced one.
struct ViewImage {
    ViewImage(QImage decoded = {}, bool isFull = true) // NOLINT: a plain image is a full one
        : image(std::move(decoded))
        , full(isFull)
    {
    }
    QImage image;
    bool full;
};

// Decodes a photo for a view that shows it at `atLeast` pixels (upright) or smaller. A JPEG is
// reduced inside the decoder (DCT scaling by 1/2, 1/4 or 1/8, which skips most of the work) to
// the smallest of those sizes that still covers `atLeast`; other formats, and an empty
// `atLeast`, give the full image as decodeFullImage does. Upright either way.
[[nodiscard]] ViewImage decodeForView(const QByteArray &data, const QString &name, QSize atLeast);

// A live-view frame as sent (a JPEG, usually): decoded at full size, JPEG straight into the
// window's pixel format. Not turned by any stored orientation. Null when it cannot be decoded.
[[nodiscard]] QImage decodeFrame(const QByteArray &bytes);
