// Ingest benchmark: how long the main thread is busy with one received photo (from the last
// byte received, i.e. the handleFile call, to the photo being selected; the file is written on
// the store thread meanwhile), how long until the file is stored, how a burst of 100 compares with bare writes of the same bytes to the same disk,
// and the resident memory after 1,000 photos.
//
// Usage: bench_ingest [folder] [photos-for-memory]   (default: the current directory, 1000)
// Files are written into a temporary folder inside `folder` and removed at the end.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "SampleFiles.h"
#include "ingest/CaptureStorage.h"
#include "state/Monitor.h"

namespace {

class NullConnection : public Connection
{
public:
    void send(const QByteArray &) override {}
};

double msSince(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// A 24 MP picture with gradients and grain, so that its JPEG is as large as a camera's
// (a flat test card would compress to a fraction of that).
QImage cameraLikePicture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    auto *rng = QRandomGenerator::global();
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int grain = int(rng->bounded(48)) - 24;
            const auto c = [&](int v) { return std::clamp(v + grain, 0, 255); };
            line[x] = qRgb(c(x * 255 / size.width()), c(y * 255 / size.height()), c(128));
        }
    }
    return image;
}

// Writes the same bytes the way a plain program would: a new file, written, flushed, closed.
bool bareWrite(const QString &path, const QByteArray &data, bool flush)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    if (flush)
        ok = ::fdatasync(fd) == 0 && ok;
    return ::close(fd) == 0 && ok;
}

// Runs the event loop until no photo is being written any more; each result is a posted event.
void waitForStores(const Monitor &monitor)
{
    while (monitor.photoCount(CapturedPhoto::Storage::Writing) > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

struct Sample {
    const char *label;
    QString name;
    QByteArray data;
};

void measure(const Sample &sample, const QString &root)
{
    std::printf("\n%s: %s, %.1f MB\n", sample.label, qPrintable(sample.name), double(sample.data.size()) / 1e6);

    QTemporaryDir dir(root + QStringLiteral("/bench-ingest-XXXXXX"));
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.useChosenFolder(QUrl::fromLocalFile(dir.filePath(QStringLiteral("captures"))));
    auto cam = std::make_shared<CameraConnection>(std::make_unique<NullConnection>());
    monitor.appendCamera(cam);

    // Warm-up: first use of the decoders and the folder.
    monitor.handleFile(sample.name, sample.data, *cam);
    waitForStores(monitor);

    QList<double> total, stored, write, build;
    for (int i = 0; i < 15; ++i) {
        QElapsedTimer t;
        t.start();
        monitor.handleFile(sample.name, sample.data, *cam);
        const double ms = msSince(t);
        if (monitor.selectedPhotoId() != cam->photos.last().id())
            std::printf("  ERROR: photo not selected\n");
        total << ms;
        waitForStores(monitor);
        stored << msSince(t);
        if (!cam->photos.last().isStored())
            std::printf("  ERROR: photo not stored\n");

        t.restart();
        const capture::StoreResult r = capture::storeFile(monitor.folder(), sample.name, sample.data);
        write << msSince(t);
        if (!r.ok())
            std::printf("  ERROR: write failed: %s\n", capture::describe(r.error));

        t.restart();
        const CapturedPhoto photo = Monitor::buildPhoto(sample.name, sample.data);
        build << msSince(t);
    }
    std::printf("  main thread, last byte to photo selected: median %.1f ms\n", median(total));
    std::printf("    of which building the record (metadata, thumbnail): %.1f ms\n", median(build));
    std::printf("  last byte to file stored (store thread): median %.1f ms\n", median(stored));
    std::printf("    writing alone (temp file, flush, no-replace rename, folder flush): %.1f ms\n", median(write));

    constexpr int kBurst = 100;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kBurst; ++i)
        monitor.handleFile(sample.name, sample.data, *cam);
    const double burstMainMs = msSince(t);
    waitForStores(monitor);
    const double burstPerSec = kBurst / (msSince(t) / 1000);
    std::printf("  burst of %d: main thread busy %.0f ms in all\n", kBurst, burstMainMs);

    const QString bareDir = dir.filePath(QStringLiteral("bare"));
    QDir().mkpath(bareDir);
    t.restart();
    for (int i = 0; i < kBurst; ++i)
        bareWrite(QStringLiteral("%1/f%2").arg(bareDir).arg(i), sample.data, true);
    const double barePerSec = kBurst / (msSince(t) / 1000);
    t.restart();
    for (int i = 0; i < kBurst; ++i)
        bareWrite(QStringLiteral("%1/n%2").arg(bareDir).arg(i), sample.data, false);
    const double bareNoFlushPerSec = kBurst / (msSince(t) / 1000);

    std::printf("  burst of %d through handleFile until all stored: %.1f photos/s\n", kBurst, burstPerSec);
    std::printf("  bare write + flush of the same bytes: %.1f files/s (%.0f %% of it)\n", barePerSec,
                100 * burstPerSec / barePerSec);
    std::printf("  bare write without flush (page cache only): %.1f files/s\n", bareNoFlushPerSec);
}

void memoryAfter(const Sample &sample, const QString &root, int count)
{
    QTemporaryDir dir(root + QStringLiteral("/bench-ingest-XXXXXX"));
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.useChosenFolder(QUrl::fromLocalFile(dir.filePath(QStringLiteral("captures"))));
    auto cam = std::make_shared<CameraConnection>(std::make_unique<NullConnection>());
    monitor.appendCamera(cam);

    const qint64 before = residentKiB();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < count; ++i) {
        // Each photo gets its own buffer, as each arrives in its own frame.
        QByteArray copy(sample.data.constData(), sample.data.size());
        monitor.handleFile(sample.name, copy, *cam);
        waitForStores(monitor);
        // Keep the disk from filling up: the photo counts as stored, its file is not needed here.
        QFile::remove(cam->photos.last().storedPath);
    }
    std::printf("\nmemory after %d photos of %s (%.1f MB each), %.1f s:\n", count, qPrintable(sample.name),
                double(sample.data.size()) / 1e6, msSince(t) / 1000);
    std::printf("  resident: %.0f MiB (%.0f MiB before)\n", double(residentKiB()) / 1024, double(before) / 1024);
}

} // namespace

int main(int argc, char **argv)
{
    QStandardPaths::setTestModeEnabled(true);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    const int memoryPhotos = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 1000;

    std::printf("ingest benchmark, files in %s\n", qPrintable(root));
    const QImage picture = cameraLikePicture(QSize(6000, 4000));
    const Sample jpeg{"24 MP camera JPEG with EXIF thumbnail", QStringLiteral("IMG_0001.JPG"),
                      SampleFiles::jpeg(picture, SampleFiles::cameraTags(), picture.scaled(160, 107), 92)};
    SampleFiles::Dng spec;
    spec.rawSize = QSize(2000, 1500);
    spec.preview = picture.scaled(1920, 1280);
    spec.tags = SampleFiles::cameraTags();
    const Sample raw{"raw file (DNG with 1920 px preview)", QStringLiteral("IMG_0002.DNG"), SampleFiles::dng(spec)};
    if (jpeg.data.isEmpty() || raw.data.isEmpty()) {
        std::printf("could not make the sample files\n");
        return 1;
    }

    measure(jpeg, root);
    measure(raw, root);
    memoryAfter(jpeg, root, memoryPhotos);
    std::printf("\ntargets: under 15 ms per 24 MP JPEG; burst at least 80 %% of the bare write rate; "
                "resident memory after 1,000 photos under 1 GiB\n");
    return 0;
}
