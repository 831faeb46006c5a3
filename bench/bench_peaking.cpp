// bench_peaking: focus peaking on live view, in frames per second on one core. Each frame is a
// 1280 × 853 JPEG as a bridge sends it (camera-like gradients and grain under sharp lines); the
// figure is the peaking mask alone computed on the decoded frames, the anchor the JPEG decode
// alone of the same frames, both in this run. Also printed: every aid of a frame together
// (histogram, clipping and peaking masks), which is what the worker does per live frame with
// all of them on.
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QList>

#include <cstdio>
#include <vector>

#include "BenchSupport.h"
#include "ImageAids.h"

namespace {

constexpr QSize kFrameSize(1280, 853);

// Frames per second of `work` over `frames`, the median of five rounds. What `work` returns
// (a size) is kept, so that none of it can be left out.
volatile qsizetype g_sink = 0;

template<typename Work>
double fps(const QList<QImage> &frames, Work work)
{
    std::vector<double> rates;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (const QImage &frame : frames)
            g_sink = g_sink + work(frame);
        rates.push_back(frames.size() / (double(timer.nsecsElapsed()) / 1e9));
    }
    return bench::median(rates);
}

} // namespace

int main(int argc, char *argv[])
{
    bench::headless();
    QGuiApplication app(argc, argv);
    constexpr int kFrames = 24;
    QList<QByteArray> jpegs;
    QList<QImage> frames;
    for (int i = 0; i < kFrames; ++i) {
        jpegs.append(bench::liveViewFrame(i));
        frames.append(QImage::fromData(jpegs.last()));
        if (frames.last().size() != kFrameSize) {
            std::fprintf(stderr, "bench_peaking: a frame did not decode\n");
            return 1;
        }
    }
    int index = 0;
    const double decode = fps(frames, [&](const QImage &) {
        return QImage::fromData(jpegs[index++ % kFrames]).sizeInBytes();
    });
    const QRgb tint = qRgb(0x91, 0x84, 0xD9);
    const double peaking = fps(frames, [&](const QImage &frame) {
        return ImageAids::peakingMask(frame, tint).sizeInBytes();
    });
    const double all = fps(frames, [&](const QImage &frame) {
        return qsizetype(ImageAids::histogram(frame).samples)
            + ImageAids::clippingMask(frame, qRgb(255, 90, 54), qRgb(61, 155, 255)).sizeInBytes()
            + ImageAids::peakingMask(frame, tint).sizeInBytes();
    });
    std::printf("bench_peaking: %d frames of %dx%d, five rounds each, one thread\n", kFrames, kFrameSize.width(),
                kFrameSize.height());
    std::printf("figure peaking_decode_fps %.1f fps\n", decode);
    std::printf("figure peaking_fps %.1f fps\n", peaking);
    std::printf("figure aids_all_fps %.1f fps\n", all);
    return 0;
}
