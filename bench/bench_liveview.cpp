// bench_liveview: how many live-view frames per second the window shows. Each frame is a
// 1280 × 853 JPEG as a bridge sends it, and frames arrive at 120 a second, faster than a display
// refreshes, as they would from a fast camera: they go through the real path (Monitor::
// handleLiveView takes the frame, the photo column's viewer picks it up and the next rendered
// frame uploads it as a texture). The figure is the distinct frames uploaded per second; frames
// superseded before they were shown do not count. The anchor is the JPEG decode alone of the same
// frames. The OpenGL figure is measured in this process and the software renderer's in a second
// run of this program (with --software). Run it under a display (Xvfb is fine).
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "PictureItem.h"
#include "BenchSupport.h"
#include "WindowState.h"
#include "ingest/ImageDecode.h"
#include "state/Monitor.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

namespace {

} // namespace

int main(int argc, char *argv[])
{
    const bool software = argc > 1 && qstrcmp(argv[1], "--software") == 0;
    if (software)
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    constexpr int kFrames = 360;
    constexpr int kDistinct = 24;
    constexpr int kArrivalMs = 1000 / 120;

    QTemporaryDir dir;
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat));
    auto cam = std::make_shared<CameraConnection>(nullptr);
    monitor.appendCamera(cam);
    monitor.setDirectorModeOn(true);

    QList<QByteArray> frames;
    for (int i = 0; i < kDistinct; ++i)
        frames.append(bench::liveViewFrame(i));

    QQmlEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    QQmlComponent component(&engine);
    component.setData("import Halvane.Ui\nLeftColumnView {}\n", QUrl(QStringLiteral("qrc:/bench/Live.qml")));
    if (!component.isReady()) {
        QTextStream(stderr) << component.errorString();
        return 1;
    }
    WindowState windowState(monitor);
    std::unique_ptr<QObject> root(
        component.createWithInitialProperties({{QStringLiteral("ws"), QVariant::fromValue(&windowState)}}));
    auto *item = qobject_cast<QQuickItem *>(root.get());
    QQuickWindow window;
    window.resize(943, 570);
    item->setParentItem(window.contentItem());
    item->setSize(QSizeF(943, 570));
    window.show();

    monitor.handleLiveView(frames[0], *cam);
    auto *picture = item->findChild<PictureItem *>(QStringLiteral("picture"));
    if (!picture || !bench::runUntil([&] { return picture->uploads() > 0; }, 5000)) {
        QTextStream(stderr) << "the window never rendered\n";
        return 1;
    }

    // Decoding alone (libjpeg-turbo straight into the window's pixel format), for comparison.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kFrames; ++i) {
        if (decodeFrame(frames[i % kDistinct]).isNull())
            return 1;
    }
    const double decodeMs = double(timer.nsecsElapsed()) / 1e6 / kFrames;

    // The whole path: frames arrive on a precise timer, and what the window shows meanwhile is
    // counted.
    const int uploadsBefore = picture->uploads();
    int delivered = 0, swapped = 0;
    QObject::connect(&monitor, &Monitor::liveFrameChanged, [&] { ++delivered; });
    QObject::connect(&window, &QQuickWindow::frameSwapped, [&] { ++swapped; });
    int fed = 0;
    QTimer arrivals;
    arrivals.setTimerType(Qt::PreciseTimer);
    arrivals.setInterval(kArrivalMs);
    QObject::connect(&arrivals, &QTimer::timeout, [&] {
        monitor.handleLiveView(frames[fed % kDistinct], *cam);
        if (++fed == kFrames)
            arrivals.stop();
    });
    timer.restart();
    arrivals.start();
    const bool done = bench::runUntil([&] { return fed == kFrames; }, 60000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const int shown = picture->uploads() - uploadsBefore;
    std::printf("  frames handed to the window %d, window frames drawn %d\n", delivered, swapped);

    std::printf("bench_liveview: %d frames of 1280x853 JPEG arriving every %d ms (%s renderer), %d shown\n",
                kFrames, kArrivalMs, software ? "software" : "OpenGL", shown);
    if (!software)
        std::printf("figure liveview_decode_fps %.1f fps\n", 1000.0 / decodeMs);
    std::printf("figure liveview_fps_%s %.1f fps\n", software ? "software" : "gl", shown / seconds);
    std::fflush(stdout);
    if (!done)
        return 1;
    if (software)
        return 0;
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--software")});
    return second.waitForFinished(120000) && second.exitCode() == 0 ? 0 : 1;
}
