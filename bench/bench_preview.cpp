// bench_preview: from selecting a 24 MP JPEG in the window to its preview on screen, against a
// full-size decode of the same file by libjpeg-turbo (what its command-line decoder does, without
// writing the result) measured in the same run. "On screen" is the first rendered frame whose
// texture is the decoded image, not the thumbnail shown meanwhile. Each photo is selected once,
// so that no decode is served from the cache. Run it under a display (Xvfb is fine).
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <vector>

#include "BenchSupport.h"
#include "JpegAnchor.h"
#include "PictureItem.h"
#include "SampleFiles.h"
#include "WindowState.h"
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

    QQmlEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    QQmlComponent component(&engine);
    component.setData("import Halvane.Ui\nLeftColumnView {}\n", QUrl(QStringLiteral("qrc:/bench/Preview.qml")));
    WindowState windowState(monitor);
    std::unique_ptr<QObject> root(
        component.createWithInitialProperties({{QStringLiteral("ws"), QVariant::fromValue(&windowState)}}));
    auto *item = qobject_cast<QQuickItem *>(root.get());
    if (!item) {
        QTextStream(stderr) << component.errorString();
        return 1;
    }
    QQuickWindow window;
    window.resize(943, 570);
    item->setParentItem(window.contentItem());
    item->setSize(QSizeF(943, 570));
    window.show();
    auto *shown = item->findChild<PictureItem *>(QStringLiteral("picture"));
    if (!shown || !QTest::qWaitForWindowExposed(&window)) {
        QTextStream(stderr) << "the window never showed\n";
        return 1;
    }

    ViewerSource &viewer = *windowState.viewer();
    const int thumbWidth = cam->photos.first().thumb.size().width();
    std::vector<double> previewMs, anchorMs;
    for (int i = 0; i <= kRuns; ++i) {
        anchorMs.push_back(bench::libjpegDecodeMs(jpeg));
        // The upload count when the decoded image reached the viewer; the first frame swapped
        // after a larger count shows it.
        int uploadsAtDecoded = INT_MAX;
        double elapsed = -1;
        QElapsedTimer timer;
        const QMetaObject::Connection decoded = QObject::connect(&viewer, &ViewerSource::imageChanged, [&] {
            if (viewer.image().width() > thumbWidth && uploadsAtDecoded == INT_MAX)
                uploadsAtDecoded = shown->uploads();
        });
        const QMetaObject::Connection swapped = QObject::connect(
            &window, &QQuickWindow::frameSwapped, &app,
            [&] {
                if (elapsed < 0 && shown->uploads() > uploadsAtDecoded)
                    elapsed = double(timer.nsecsElapsed()) / 1e6;
            },
            Qt::QueuedConnection);
        timer.start();
        // Newest first: the newest was selected (and decoded) before the window was there.
        monitor.setSelectedPhotoId(cam->photos[kRuns - i].id());
        const bool ok = bench::runUntil([&] { return elapsed >= 0; }, 30000);
        QObject::disconnect(decoded);
        QObject::disconnect(swapped);
        if (!ok) {
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
                kRuns, viewer.image().width(), viewer.image().height());
    std::printf("figure djpeg_ms %.1f ms\n", anchor);
    std::printf("figure preview_ms %.1f ms\n", preview);
    std::printf("figure preview_vs_djpeg %.2f x\n", preview / anchor);
    return 0;
}
