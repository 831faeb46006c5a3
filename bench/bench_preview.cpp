// bench_preview: from selecting a 24 MP JPEG in the window to its preview on screen, against a
// full-size decode of the same file by libjpeg-turbo (what its command-line decoder does, without
// writing the result) measured in the same run. "On screen" is the first rendered frame whose
// texture is the decoded image, not the thumbnail shown meanwhile. Each photo is selected once,
// so that no decode is served from the cache. Run it under a display (Xvfb is fine).
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlExtensionPlugin>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "BenchSupport.h"
#include "ColumnWindow.h"
#include "JpegAnchor.h"
#include "SampleFiles.h"
#include "state/Monitor.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    constexpr int kRuns = 5;

    // Sensor-like noise, so that the JPEG is as large as a camera's (about 10 MB).
    const QImage picture = bench::withNoise(SampleFiles::quadrants(QSize(6000, 4000)));
    const QByteArray jpeg = SampleFiles::jpeg(picture, SampleFiles::cameraTags(), picture.scaled(160, 107));

    QTemporaryDir dir;
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat));
    QDir().mkpath(dir.filePath(QStringLiteral("capture")));
    monitor.setFolder(dir.filePath(QStringLiteral("capture")));
    auto cam = std::make_shared<CameraConnection>(nullptr);
    monitor.appendCamera(cam);
    monitor.setActiveCameraId(cam->id());
    for (int i = 0; i <= kRuns; ++i) // one more: the first selection also warms up
        monitor.handleFile(QStringLiteral("IMG_%1.JPG").arg(i), jpeg, *cam);
    const auto stored = [&] {
        return std::all_of(cam->photos.cbegin(), cam->photos.cend(), [](const CapturedPhoto &p) { return p.isStored(); });
    };
    if (!bench::runUntil(stored, 60000)) {
        QTextStream(stderr) << "the photos were not stored\n";
        return 1;
    }

    bench::ColumnWindow shown(monitor);
    if (!shown.column) {
        QTextStream(stderr) << shown.error << '\n';
        return 1;
    }
    const int thumbWidth = cam->photos.first().thumb.size().width();
    std::vector<double> previewMs, anchorMs;
    for (int i = 0; i <= kRuns; ++i) {
        anchorMs.push_back(bench::libjpegDecodeMs(jpeg));
        // Newest first: the newest was selected (and decoded) before the window was there.
        const double elapsed = shown.selectToPreviewMs(cam->photos[kRuns - i].id(), thumbWidth);
        if (elapsed < 0) {
            QTextStream(stderr) << "the preview never showed\n";
            return 1;
        }
        if (i > 0)
            previewMs.push_back(elapsed);
        else
            anchorMs.clear();
    }
    const double anchor = bench::median(anchorMs), preview = bench::median(previewMs);
    std::printf("bench_preview: 6000x4000 JPEG of %lld bytes, %d selections; preview %dx%d\n", qint64(jpeg.size()),
                kRuns, shown.state.viewer()->image().width(), shown.state.viewer()->image().height());
    std::printf("figure djpeg_ms %.1f ms\n", anchor);
    std::printf("figure preview_ms %.1f ms\n", preview);
    std::printf("figure preview_vs_djpeg %.2f x\n", preview / anchor);
    return 0;
}
