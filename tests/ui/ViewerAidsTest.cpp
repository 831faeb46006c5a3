// The viewer's aids: histogram counts, clipping and peaking masks on synthetic images whose
// answers are known, and the worker that computes them, which only ever shows the newest image's.
#include <QDeadlineTimer>
#include <QPainter>
#include <QThread>

#include <map>

#include "UiFixtures.h"
#include "ViewerAids.h"
#include "Zelv.h"

namespace {

using ImageAids::Histogram;

// Pixels of `mask` that are not transparent, by colour.
std::map<QRgb, int> marked(const QImage &mask)
{
    std::map<QRgb, int> found;
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            if (const QRgb p = mask.pixel(x, y); qAlpha(p) != 0)
                ++found[p];
    return found;
}

// The level of each colour channel that holds the most pixels: a solid image's colour.
QRgb dominant(const Histogram &h)
{
    auto top = [&](Histogram::Channel c) {
        return int(std::max_element(h.bins[c].begin(), h.bins[c].end()) - h.bins[c].begin());
    };
    return qRgb(top(Histogram::Red), top(Histogram::Green), top(Histogram::Blue));
}

// Luminance `left` up to column `edge`, `right` from it on; a ramp of `ramp` columns between.
QImage edge(int edge, int left, int right, int ramp = 0)
{
    QImage image(64, 32, QImage::Format_RGB32);
    for (int x = 0; x < 64; ++x) {
        const int t = ramp ? std::clamp((x - edge) * 255 / ramp, 0, 255) : (x >= edge ? 255 : 0);
        const int v = left + (right - left) * t / 255;
        for (int y = 0; y < 32; ++y)
            image.setPixel(x, y, qRgb(v, v, v));
    }
    return image;
}

TEST(ImageAids, HistogramCountsLevelsInAnyFormatAndSamplesLargeImages)
{
    QImage image(4, 2, QImage::Format_RGB32);
    const QRgb pixels[] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 255),
                           qRgb(0, 0, 0),   qRgb(0, 0, 0),   qRgb(100, 100, 100), qRgb(10, 20, 30)};
    for (int i = 0; i < 8; ++i)
        image.setPixel(i % 4, i / 4, pixels[i]);
    const std::map<int, quint32> luma{{0, 2}, {19, 2}, {54, 1}, {100, 1}, {182, 1}, {255, 1}};
    const std::map<int, quint32> red{{0, 4}, {10, 1}, {100, 1}, {255, 2}};
    const std::map<int, quint32> blue{{0, 4}, {30, 1}, {100, 1}, {255, 2}};
    for (const QImage::Format format : {QImage::Format_RGB32, QImage::Format_ARGB32_Premultiplied, QImage::Format_RGB888}) {
        const Histogram h = ImageAids::histogram(image.convertToFormat(format));
        EXPECT_EQ(h.samples, 8u);
        for (int level = 0; level < 256; ++level) {
            auto count = [&](const std::map<int, quint32> &m) { return m.contains(level) ? m.at(level) : 0u; };
            EXPECT_EQ(h.bins[Histogram::Luma][level], count(luma)) << "luma " << level << " format " << format;
            EXPECT_EQ(h.bins[Histogram::Red][level], count(red)) << "red " << level;
            EXPECT_EQ(h.bins[Histogram::Blue][level], count(blue)) << "blue " << level;
        }
        EXPECT_EQ(h.displayPeak(), 2u) << "the ends (4 at 0) are left out";
    }

    // Two megapixels, half black and half white: every second pixel of every second row.
    QImage large = SampleFiles::solid(QSize(2048, 1024), qRgb(0, 0, 0));
    QPainter(&large).fillRect(1024, 0, 1024, 1024, Qt::white);
    const Histogram h = ImageAids::histogram(large);
    EXPECT_EQ(h.samples, 1024u * 512);
    EXPECT_EQ(h.bins[Histogram::Luma][0], 512u * 512);
    EXPECT_EQ(h.bins[Histogram::Green][255], 512u * 512);
    EXPECT_EQ(h.displayPeak(), 512u * 512) << "nothing between the ends: the ends";
}

TEST(ImageAids, ClippingMarksBlownAndCrushedPixelsAndPeakingOnlySharpEdges)
{
    QImage image(7, 1, QImage::Format_RGB32);
    const QRgb pixels[] = {qRgb(255, 10, 10), qRgb(10, 255, 10), qRgb(10, 10, 255), qRgb(0, 0, 0),
                           qRgb(0, 0, 1),     qRgb(1, 0, 0),     qRgb(254, 254, 254)};
    for (int x = 0; x < 7; ++x)
        image.setPixel(x, 0, pixels[x]);
    const QRgb warm = qRgb(255, 90, 54), cold = qRgb(61, 155, 255);
    const QImage clip = ImageAids::clippingMask(image, warm, cold);
    ASSERT_EQ(clip.size(), image.size());
    QList<QRgb> row;
    for (int x = 0; x < 7; ++x)
        row.append(clip.pixel(x, 0));
    EXPECT_EQ(row, QList<QRgb>({warm, warm, warm, cold, 0, 0, 0}));

    // Flat field and soft edges: nothing. A full step marks the two columns beside it on every
    // inner row, and their neighbours; so does a step of a quarter of the range, not one less.
    const QRgb tint = qRgb(145, 132, 217);
    auto peaks = [&](const QImage &i) { return marked(ImageAids::peakingMask(i, tint)); };
    EXPECT_TRUE(peaks(SampleFiles::solid(QSize(64, 32), qRgb(128, 128, 128))).empty());
    EXPECT_TRUE(peaks(edge(16, 0, 255, 11)).empty()) << "blurred over 11 columns";
    EXPECT_TRUE(peaks(edge(32, 100, 163)).empty());
    const std::map<QRgb, int> sharp{{tint, 4 * 30 + 2 * 2}};
    EXPECT_EQ(peaks(edge(32, 100, 164)), sharp);
    EXPECT_EQ(peaks(edge(32, 255, 0)), sharp);
    const QImage mask = ImageAids::peakingMask(edge(32, 0, 255), tint);
    EXPECT_TRUE(mask.pixel(30, 5) == tint && mask.pixel(33, 5) == tint && mask.pixel(34, 5) == 0 && mask.pixel(29, 5) == 0);
    EXPECT_TRUE(mask.pixel(31, 0) == tint && mask.pixel(30, 0) == 0);
    EXPECT_EQ(peaks(edge(32, 0, 255).transformed(QTransform().rotate(90))), sharp)
        << "a horizontal edge, found by the vertical difference";
    EXPECT_TRUE(peaks(edge(1, 0, 255).copy(0, 0, 2, 32)).empty()) << "too narrow for a neighbour on both sides";
}

// Images shown while the worker computes: the one in between is never computed, and only the
// newest one's aids are shown; an image moved past leaves nothing behind. The test holds the
// event loop while the worker runs, so a result can only arrive once it is stale.
TEST(ViewerAids, NewestImageWinsAndLiveHistogramsAreThrottled)
{
    ViewerAids aids;
    aids.setOptions(true, true);
    QList<QRgb> histograms;
    QObject::connect(&aids, &ViewerAids::histogramChanged, [&] {
        if (aids.hasHistogram())
            histograms.append(dominant(aids.histogram()));
    });
    auto idle = [&] { return QTest::qWaitFor([&] { return !aids.busy(); }); };
    // Spins, without running the event loop, until the worker has started on its count-th image.
    auto started = [&](int count) {
        const QDeadlineTimer deadline(5000);
        while (aids.computed() < count && !deadline.hasExpired())
            QThread::yieldCurrentThread();
        return aids.computed() == count;
    };
    const QImage red = SampleFiles::solid(QSize(640, 480), qRgb(255, 0, 0));
    aids.show(red, "a", false);
    ASSERT_TRUE(started(1));
    aids.show(SampleFiles::solid(QSize(640, 480), qRgb(0, 255, 0)), "a", false);
    aids.show(SampleFiles::solid(QSize(640, 480), qRgb(0, 0, 255)), "b", false);
    ASSERT_TRUE(idle());
    EXPECT_EQ(aids.computed(), 2) << "the green one was replaced while it waited";
    EXPECT_EQ(histograms, QList<QRgb>({qRgb(0, 0, 255)}));
    EXPECT_EQ(marked(aids.clippingMask()), (std::map<QRgb, int>{{Zelv::clipHighlight().rgba(), 640 * 480}}));
    EXPECT_TRUE(aids.peakingMask().isNull()) << "no peaking on photos";

    aids.show(red, "c", false);
    ASSERT_TRUE(started(3));
    aids.show(QImage(), {}, false);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(!aids.hasHistogram() && aids.clippingMask().isNull());
    EXPECT_EQ(histograms.size(), 1);

    // Live view: a frame shown while the one before is computed takes over its histogram; the
    // next frame's masks come at once, its histogram only when the interval ends, and the aids
    // before it stay until then.
    aids.setHistogramInterval(3600 * 1000);
    aids.show(edge(32, 0, 255), "live", true);
    ASSERT_TRUE(started(4));
    aids.show(SampleFiles::solid(QSize(64, 32), qRgb(90, 90, 90)), "live", true);
    ASSERT_TRUE(idle());
    EXPECT_EQ(histograms.last(), qRgb(90, 90, 90));
    EXPECT_TRUE(marked(aids.peakingMask()).empty() && marked(aids.clippingMask()).empty());
    aids.show(edge(32, 0, 255), "live", true);
    EXPECT_FALSE(aids.peakingMask().isNull() || aids.clippingMask().isNull());
    ASSERT_TRUE(idle());
    EXPECT_EQ(marked(aids.peakingMask()).size(), 1u);
    EXPECT_EQ(histograms.last(), qRgb(90, 90, 90));
    aids.setHistogramInterval(1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return histograms.last() == qRgb(0, 0, 0); }));

    // Options switched off clear their masks; peaking waits for live view.
    aids.setOptions(false, true);
    EXPECT_TRUE(aids.clippingMask().isNull() && !aids.peakingMask().isNull());
    aids.show(edge(32, 0, 255), "d", false);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(aids.clippingMask().isNull() && aids.peakingMask().isNull());
}

} // namespace
