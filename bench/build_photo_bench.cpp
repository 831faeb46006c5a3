// Times the photo record for camera-sized files: buildPhoto runs on the main thread for every
// received file, so it has to stay well under a frame or two; the full decode happens later,
// when the viewer first draws the photo. Prints the median and the slowest of several runs.

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "BenchSupport.h"
#include "SampleFiles.h"
#include "ingest/ImageDecode.h"
#include "state/Monitor.h"

namespace {

void measure(const char *label, int runs, const std::function<void()> &work)
{
    work(); // warm up: plugins loaded, caches filled
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf(
        "%-48s median %8.2f ms   max %8.2f ms   (%d runs)\n", label, ms[ms.size() / 2], ms.back(), runs);
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);

    // Sensor-like noise, so that the JPEG is as large as a camera's (about 10 MB).
    const QImage picture = bench::withNoise(SampleFiles::quadrants(QSize(6000, 4000)));
    const QByteArray withThumb = SampleFiles::jpeg(
        picture, SampleFiles::cameraTags(), picture.scaled(160, 107, Qt::KeepAspectRatio));
    const QByteArray withoutThumb = SampleFiles::jpeg(picture, SampleFiles::cameraTags());
    SampleFiles::Dng dngSpec;
    dngSpec.rawSize = QSize(1024, 768);
    dngSpec.preview = picture.scaled(1920, 1280);
    dngSpec.tags = SampleFiles::cameraTags();
    const QByteArray dng = SampleFiles::dng(dngSpec);
    if (withThumb.isEmpty() || withoutThumb.isEmpty() || dng.isEmpty()) {
        std::fprintf(stderr, "could not make the sample files\n");
        return 1;
    }
    std::printf("24 MP JPEG: %lld bytes; DNG with 1920 px preview: %lld bytes\n", qint64(withThumb.size()),
        qint64(dng.size()));

    measure("buildPhoto, 24 MP JPEG with EXIF thumbnail", 20,
        [&] { (void)Monitor::buildPhoto(QStringLiteral("a.jpg"), withThumb); });
    measure("buildPhoto, 24 MP JPEG without thumbnail", 10,
        [&] { (void)Monitor::buildPhoto(QStringLiteral("a.jpg"), withoutThumb); });
    measure("buildPhoto, DNG", 20, [&] { (void)Monitor::buildPhoto(QStringLiteral("a.dng"), dng); });
    measure(
        "decodeFullImage, 24 MP JPEG", 5, [&] { (void)decodeFullImage(withThumb, QStringLiteral("a.jpg")); });
    measure("decodeFullImage, DNG preview", 10, [&] { (void)decodeFullImage(dng, QStringLiteral("a.dng")); });
    return 0;
}
