#pragma once

#include <QImage>
#include <QRgb>

#include <array>

// The viewer's aids as pure functions of an image: its histogram, the mask of clipped pixels and
// the mask of in-focus edges. They read any QImage format, loop over scanlines without per-pixel
// conversions (peaking runs on every live-view frame), and are safe to call on any thread.
namespace ImageAids {

// Counts per level 0…255 of luminance and of the red, green and blue channels.
struct Histogram {
    enum Channel { Luma, Red, Green, Blue };
    std::array<std::array<quint32, 256>, 4> bins{};
    quint64 samples = 0; // pixels counted (each once in every channel)

    [[nodiscard]] bool isEmpty() const { return samples == 0; }
    // The count that a curve draws at full height: the largest bin of any channel between the
    // two ends, since clipped pixels piling up at 0 or 255 would flatten every other level; the
    // ends themselves when nothing lies between them.
    [[nodiscard]] quint32 displayPeak() const;
};

// Rec. 709 luma in integers: the weights 54, 183 and 19 sum to 256, so 255 stays 255.
[[nodiscard]] inline int luma(QRgb p)
{
    return (54 * qRed(p) + 183 * qGreen(p) + 19 * qBlue(p) + 128) >> 8;
}

// About one megapixel: enough for the shape of the curves, and it keeps a 24 MP photo's
// histogram a few milliseconds of work. Larger images are sampled on a regular lattice.
inline constexpr qsizetype kHistogramSamples = 1 << 20;

// The histogram of `image`, sampling every n-th pixel of every n-th row, n the smallest step
// that keeps the samples at most `maxSamples`. Alpha is ignored.
[[nodiscard]] Histogram histogram(const QImage &image, qsizetype maxSamples = kHistogramSamples);

// Same size as `image`, premultiplied ARGB: `highlight` where any channel is 255 (blown), `shadow`
// where all channels are 0 (crushed), transparent elsewhere.
[[nodiscard]] QImage clippingMask(const QImage &image, QRgb highlight, QRgb shadow);

// Local contrast of luminance that marks an edge in focus: the sum of the horizontal and the
// vertical central differences (each across two pixels) at or above it. A full-range step edge
// reaches 255 on the two pixels beside it; the same step blurred over ten pixels or more stays
// under 52, so 64 keeps soft edges and sensor noise unmarked while any crisp edge of a quarter
// of the range or more is marked.
inline constexpr int kPeakingThreshold = 64;

// Same size as `image`, premultiplied ARGB: `tint` on the pixels whose luminance contrast is at
// least `threshold` and on their four neighbours, transparent elsewhere. The outermost pixels
// lack a neighbour to measure against and are marked only as neighbours.
[[nodiscard]] QImage peakingMask(const QImage &image, QRgb tint, int threshold = kPeakingThreshold);

} // namespace ImageAids
