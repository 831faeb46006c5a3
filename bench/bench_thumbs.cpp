// bench_thumbs: a long shoot. N photos (JPEGs with an EXIF thumbnail, as cameras write them) go
// the real way into one camera's record (Monitor::handleFile: stored in the capture folder, their
// records and thumbnails built off the main thread); then the photo column is shown and its strip
// is scrolled from the newest photo to the oldest, a strip's width per frame; then a few old
// photos are selected. Figures:
// - resident memory once every photo is stored and has its thumbnail, beside the same process
//   before the first photo (the anchor), and the most the budget's parts held;
// - distinct frames per second while scrolling, beside the frames per second of the same window
//   drawn anew each frame with nothing scrolling (the anchor: what this display and renderer give);
// - from the end of the scroll to every tile in view showing its thumbnail;
// - selecting an old photo to its preview on screen, against libjpeg-turbo's full decode of it.
// Run it under a display (Xvfb is fine): bench_thumbs [DIR] [PHOTOS] [WIDTH]. The photos are
// WIDTH × 2/3 WIDTH pixels (default 1,000 photos of 1800 × 1200, a short run; 10,000 is the shoot
// the budget is sized for). DIR holds the capture folder (default: a temporary one).
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlExtensionPlugin>
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
#include "model/MemoryBudget.h"
#include "state/Monitor.h"

Q_IMPORT_QML_PLUGIN(Halvane_UiPlugin)

namespace {

constexpr int kSamples = 8; // distinct pictures, taken in turn
constexpr int kInFlight = 16; // photos handed over and not yet stored or built, at most
constexpr int kSelections = 5;

int fail(const char *what)
{
    QTextStream(stderr) << what << '\n';
    return 1;
}

double mib(qint64 bytes)
{
    return double(bytes) / double(1 << 20);
}

// Frames the window swaps per second while `step` runs before each one; `step` returns false to
// stop. Counts only frames after which `step` was called.
double framesPerSecond(QQuickWindow &window, const std::function<bool()> &step, int timeoutMs)
{
    int frames = 0;
    bool going = true;
    QElapsedTimer timer;
    const QMetaObject::Connection swapped = QObject::connect(
        &window, &QQuickWindow::frameSwapped, &window,
        [&] {
            if (!going)
                return;
            ++frames;
            going = step();
            window.update();
        },
        Qt::QueuedConnection);
    timer.start();
    window.update();
    bench::runUntil([&] { return !going; }, timeoutMs);
    QObject::disconnect(swapped);
    return frames / (double(timer.nsecsElapsed()) / 1e9);
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const int photos = argc > 2 ? QByteArray(argv[2]).toInt() : 1000;
    const int width = argc > 3 ? QByteArray(argv[3]).toInt() : 1800;
    if (photos < kSelections * 2 || width < 320)
        return fail("usage: bench_thumbs [DIR] [PHOTOS >= 10] [WIDTH >= 320]");

    std::vector<QByteArray> samples;
    for (int i = 0; i < kSamples; ++i) {
        const QImage picture = bench::cameraLikePicture(QSize(width, width * 2 / 3)).mirrored(i & 1, i & 2);
        samples.push_back(SampleFiles::jpeg(picture, SampleFiles::cameraTags(), picture.scaled(160, 107)));
    }

    QTemporaryDir scratch(argc > 1 ? bench::folderArg(argc, argv) + QStringLiteral("/bench_thumbs-XXXXXX")
                                   : QString());
    const QString capture = scratch.filePath(QStringLiteral("capture"));
    QDir().mkpath(capture);
    Monitor monitor(std::make_unique<QSettings>(scratch.filePath(QStringLiteral("s.ini")), QSettings::IniFormat));
    monitor.setFolder(capture);
    auto cam = std::make_shared<CameraConnection>(nullptr);
    monitor.appendCamera(cam);
    monitor.setActiveCameraId(cam->id());

    const qint64 rssBefore = bench::statusKiB("VmRSS:");
    MemoryBudget::global().resetPeaks();
    const auto settled = [&] {
        const qsizetype done = std::count_if(cam->photos.cbegin(), cam->photos.cend(), [](const CapturedPhoto &p) {
            return p.isStored();
        });
        return cam->photos.size() - done + monitor.buildsInFlight();
    };
    QElapsedTimer fed;
    fed.start();
    for (int i = 0; i < photos; ++i) {
        if (!bench::runUntil([&] { return settled() < kInFlight; }, 60000))
            return fail("the photos were not stored");
        // A buffer of its own, as each received photo has.
        const QByteArray &sample = samples[size_t(i % kSamples)];
        monitor.handleFile(QStringLiteral("IMG_%1.JPG").arg(i, 5, 10, QChar('0')),
                           QByteArray(sample.constData(), sample.size()), *cam);
    }
    const auto thumbed = [&] {
        return std::all_of(cam->photos.cbegin(), cam->photos.cend(), [](const CapturedPhoto &p) {
            return !p.thumb.isNull();
        });
    };
    if (!bench::runUntil([&] { return settled() == 0 && thumbed(); }, 120000))
        return fail("the photos were not stored or their thumbnails not built");
    const double feedSeconds = double(fed.nsecsElapsed()) / 1e9;
    const qint64 rssStored = bench::statusKiB("VmRSS:");

    bench::ColumnWindow shown(monitor);
    auto *strip = shown.column ? shown.column->findChild<QQuickItem *>(QStringLiteral("strip")) : nullptr;
    if (!strip)
        return fail(qPrintable(shown.error));
    QQuickWindow &window = shown.window;

    // The anchor: the same window drawn anew every frame with nothing scrolling (its opacity
    // flickers by a hundredth), after a few frames that set up the renderer.
    int idleFrames = 0;
    const auto redraw = [&](int frames) {
        shown.column->setOpacity(idleFrames % 2 ? 1.0 : 0.99);
        return ++idleFrames < frames;
    };
    framesPerSecond(window, [&] { return redraw(30); }, 30000);
    const double idleFps = framesPerSecond(window, [&] { return redraw(150); }, 30000);
    shown.column->setOpacity(1.0);

    // End to end, a strip's width per frame: every frame shows tiles it has not shown before.
    const qreal step = strip->width();
    int scrollFrames = 0;
    const double scrollFps = framesPerSecond(
        window,
        [&] {
            if (strip->property("atXEnd").toBool())
                return false;
            strip->setProperty("contentX", strip->property("contentX").toReal() + step);
            ++scrollFrames;
            return true;
        },
        600000);
    if (!strip->property("atXEnd").toBool())
        return fail("the strip did not reach its end");

    // Every tile in view shows its thumbnail in the end.
    QElapsedTimer settle;
    settle.start();
    int inView = 0, missing = 0;
    const auto tilesShowing = [&] {
        const QRectF view(strip->property("contentX").toReal(), 0, strip->width(), 1);
        inView = missing = 0;
        for (QQuickItem *tile : strip->property("contentItem").value<QQuickItem *>()->childItems()) {
            if (tile->objectName() == QStringLiteral("tile") && tile->isVisible()
                && view.intersects(QRectF(tile->x(), 0, tile->width(), 1))) {
                ++inView;
                missing += !tile->property("hasThumb").toBool();
            }
        }
        return inView > 0 && missing == 0;
    };
    tilesShowing();
    const int missingAtEnd = missing;
    if (!bench::runUntil(tilesShowing, 60000))
        return fail("the tiles in view never showed their thumbnails");
    const double settleMs = double(settle.nsecsElapsed()) / 1e6;

    // Old photos, whose bytes are no longer in memory: selected to the preview on screen.
    std::vector<double> previewMs, anchorMs;
    for (int i = 0; i < kSelections; ++i) {
        const int index = i * (photos / 2) / kSelections;
        anchorMs.push_back(bench::libjpegDecodeMs(samples[size_t(index % kSamples)]));
        previewMs.push_back(shown.selectToPreviewMs(cam->photos[index].id(), 320));
        if (previewMs.back() < 0)
            return fail("the preview never showed");
    }

    const qint64 rssEnd = bench::statusKiB("VmRSS:");
    const ThumbnailStore &thumbs = monitor.thumbnails();
    std::printf("bench_thumbs: %d photos of %dx%d (JPEG of %.0f KB with a 160 px EXIF thumbnail) in %.1f s; "
                "%d kept compressed (%.1f MiB), %.1f MiB decoded; %d scroll frames, then %d of %d tiles in view "
                "without their thumbnail\n",
                photos, width, width * 2 / 3, double(samples.front().size()) / 1024, feedSeconds, thumbs.packedCount(),
                mib(thumbs.packedBytes()), mib(thumbs.decodedBytes()), scrollFrames, missingAtEnd, inView);
    std::printf("figure rss_before_mib %.0f MiB\n", double(rssBefore) / 1024);
    std::printf("figure rss_stored_mib %.0f MiB\n", double(rssStored) / 1024);
    std::printf("figure rss_end_mib %.0f MiB\n", double(rssEnd) / 1024);
    for (int part = 0; part < MemoryBudget::kParts; ++part) {
        const auto p = MemoryBudget::Part(part);
        std::printf("figure budget_%s_peak_mib %.1f MiB\n", MemoryBudget::name(p), mib(MemoryBudget::global().peak(p)));
    }
    std::printf("figure idle_fps %.1f fps\n", idleFps);
    std::printf("figure strip_scroll_fps %.1f fps\n", scrollFps);
    std::printf("figure strip_settle_ms %.0f ms\n", settleMs);
    const double anchor = bench::median(anchorMs), preview = bench::median(previewMs);
    std::printf("figure djpeg_ms %.1f ms\n", anchor);
    std::printf("figure old_preview_ms %.1f ms\n", preview);
    std::printf("figure old_preview_vs_djpeg %.2f x\n", preview / anchor);
    return 0;
}
