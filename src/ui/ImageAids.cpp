#include "ImageAids.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace ImageAids {

namespace {

// 32-bit pixels whose colour channels can be read as they are: alpha is ignored, so
// premultiplied formats are converted (their colours are scaled by alpha).
QImage readable(const QImage &image)
{
    if (image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32)
        return image;
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage blankMask(QSize size)
{
    QImage mask(size, QImage::Format_ARGB32_Premultiplied);
    mask.fill(Qt::transparent);
    return mask;
}

} // namespace

quint32 Histogram::displayPeak() const
{
    quint32 inner = 0;
    quint32 ends = 0;
    for (const auto &channel : bins) {
        inner = std::max(inner, *std::max_element(channel.begin() + 1, channel.end() - 1));
        ends = std::max({ends, channel.front(), channel.back()});
    }
    return inner > 0 ? inner : ends;
}

Histogram histogram(const QImage &image, qsizetype maxSamples)
{
    Histogram h;
    if (image.isNull())
        return h;
    const QImage src = readable(image);
    const qsizetype pixels = qsizetype(src.width()) * src.height();
    int step = 1;
    while (pixels / (qsizetype(step) * step) > maxSamples)
        ++step;
    auto &[lum, red, green, blue] = h.bins;
    for (int y = 0; y < src.height(); y += step) {
        const auto *line = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        for (int x = 0; x < src.width(); x += step) {
            const QRgb p = line[x];
            ++lum[luma(p)];
            ++red[qRed(p)];
            ++green[qGreen(p)];
            ++blue[qBlue(p)];
            ++h.samples;
        }
    }
    return h;
}

QImage clippingMask(const QImage &image, QRgb highlight, QRgb shadow)
{
    if (image.isNull())
        return {};
    const QImage src = readable(image);
    QImage mask = blankMask(src.size());
    const QRgb warm = qPremultiply(highlight);
    const QRgb cold = qPremultiply(shadow);
    for (int y = 0; y < src.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        auto *out = reinterpret_cast<QRgb *>(mask.scanLine(y));
        for (int x = 0; x < src.width(); ++x) {
            const QRgb p = in[x];
            if ((p & 0xff0000u) == 0xff0000u || (p & 0xff00u) == 0xff00u || (p & 0xffu) == 0xffu)
                out[x] = warm;
            else if ((p & 0xffffffu) == 0)
                out[x] = cold;
        }
    }
    return mask;
}

QImage peakingMask(const QImage &image, QRgb tint, int threshold)
{
    if (image.isNull())
        return {};
    const QImage src = readable(image);
    const int w = src.width();
    const int h = src.height();
    QImage mask = blankMask(src.size());
    if (w < 3 || h < 3)
        return mask;
    const QRgb marked = qPremultiply(tint);
    // Luminance of three rows at a time: above, current and below.
    std::vector<int> rows[3] = {std::vector<int>(size_t(w)), std::vector<int>(size_t(w)), std::vector<int>(size_t(w))};
    auto lumaRow = [&](int y, std::vector<int> &row) {
        const auto *line = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        for (int x = 0; x < w; ++x)
            row[size_t(x)] = luma(line[x]);
    };
    lumaRow(0, rows[0]);
    lumaRow(1, rows[1]);
    for (int y = 1; y < h - 1; ++y) {
        const int *above = rows[(y - 1) % 3].data();
        const int *here = rows[y % 3].data();
        int *below = rows[(y + 1) % 3].data();
        lumaRow(y + 1, rows[(y + 1) % 3]);
        auto *outAbove = reinterpret_cast<QRgb *>(mask.scanLine(y - 1));
        auto *out = reinterpret_cast<QRgb *>(mask.scanLine(y));
        auto *outBelow = reinterpret_cast<QRgb *>(mask.scanLine(y + 1));
        for (int x = 1; x < w - 1; ++x) {
            const int contrast = std::abs(here[x + 1] - here[x - 1]) + std::abs(below[x] - above[x]);
            if (contrast >= threshold) {
                // Widened by a pixel each way, so the line survives the viewer's downscaling.
                outAbove[x] = out[x - 1] = out[x] = out[x + 1] = outBelow[x] = marked;
            }
        }
    }
    return mask;
}

} // namespace ImageAids
