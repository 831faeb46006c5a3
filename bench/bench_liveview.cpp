// bench_liveview: how many live-view frames per second the window can take in. Each frame is a
// 1280 × 853 JPEG as a bridge sends it; it goes through the real path: Monitor::handleLiveView
// decodes it into the camera's live frame, the photo column's viewer picks it up and the next
// rendered frame uploads it as a texture. Frames are fed one after another, each waiting for its
// own rendered frame, so the figure is a sustained rate with no overlap. Run it under a display
// (Xvfb is fine) to measure the OpenGL path the application uses.
#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <memory>

#include "WindowState.h"
#include "state/Monitor.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

namespace {

// A busy test card, so the JPEG is as hard to decode as a real scene.
QByteArray jpegFrame(int index)
{
    QImage image(1280, 853, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, 1280, 853);
    g.setColorAt(0, QColor::fromHsv((index * 7) % 360, 160, 200));
    g.setColorAt(1, QColor::fromHsv((index * 7 + 120) % 360, 200, 90));
    p.fillRect(image.rect(), g);
    for (int i = 0; i < 400; ++i) {
        p.setPen(QColor::fromHsv((i * 37 + index) % 360, 220, 255));
        p.drawLine((i * 97 + index * 13) % 1280, (i * 53) % 853, (i * 31) % 1280, (i * 71 + index * 5) % 853);
    }
    p.end();
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);
    return bytes;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    constexpr int kFrames = 240;
    constexpr int kDistinct = 24;

    QTemporaryDir dir;
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("s.ini")), QSettings::IniFormat));
    auto cam = std::make_shared<CameraConnection>(nullptr);
    monitor.appendCamera(cam);
    monitor.setDirectorModeOn(true);

    QList<QByteArray> frames;
    for (int i = 0; i < kDistinct; ++i)
        frames.append(jpegFrame(i));

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

    QSignalSpy swapped(&window, &QQuickWindow::frameSwapped);
    monitor.handleLiveView(frames[0], *cam);
    if (!swapped.wait(5000)) {
        QTextStream(stderr) << "the window never rendered\n";
        return 1;
    }

    // Decoding alone, for comparison.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kFrames; ++i) {
        QImage decoded;
        decoded.loadFromData(frames[i % kDistinct]);
    }
    const double decodeMs = double(timer.nsecsElapsed()) / 1e6 / kFrames;

    // The whole path, one rendered frame per live-view frame.
    int shown = 0;
    timer.restart();
    for (int i = 0; i < kFrames; ++i) {
        swapped.clear();
        monitor.handleLiveView(frames[i % kDistinct], *cam);
        window.update();
        if (swapped.wait(2000))
            ++shown;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;

    const bool software = window.rendererInterface()->graphicsApi() == QSGRendererInterface::Software;
    std::printf("bench_liveview: %d frames of 1280x853 JPEG (%s renderer)\n", kFrames, software ? "software" : "OpenGL");
    std::printf("  decode only:               %.2f ms/frame (%.0f fps)\n", decodeMs, 1000.0 / decodeMs);
    std::printf("  decode + upload + render:  %.2f ms/frame (%.1f fps), %d of %d frames shown\n",
                seconds * 1000.0 / kFrames, kFrames / seconds, shown, kFrames);
    return shown == kFrames ? 0 : 1;
}
