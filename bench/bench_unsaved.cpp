// Unsaved-photos benchmark: the capture folder is removed, then raw files arrive (by default 200
// of 50 MB). Prints the peak resident memory while they wait (figure unsaved_rss_mib, beside the
// resident memory before the first photo), the rate at which they go into the pending folder
// against a bare write + fdatasync of the same bytes, and, once the folder is back, how long
// until all are stored. Checks that every photo was in the pending folder and is in the capture
// folder byte for byte.
//
// Photos are handed to the Monitor as the link does, and like the link this benchmark stops
// handing them over while the store holds the cameras back.
//
// Usage: bench_unsaved [folder] [photos] [MB per photo]   (default: current directory, 200, 50)

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include "SampleFiles.h"
#include "state/Monitor.h"

namespace {

class NullConnection : public Connection
{
public:
    void send(const QByteArray &) override {}
};

// Photo `index`: the raw file's own bytes, then filler that differs from photo to photo.
QByteArray photo(const QByteArray &raw, int index, qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    std::memcpy(data.data(), raw.constData(), size_t(raw.size()));
    quint64 x = 0x9E3779B97F4A7C15ull * quint64(index + 1);
    for (qint64 i = raw.size(); i + 8 <= size; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(data.data() + i, &x, 8);
    }
    return data;
}

double mbPerSecond(qint64 bytes, const QElapsedTimer &t)
{
    return double(bytes) / 1e6 / (double(t.nsecsElapsed()) / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    bench::headless();
    QGuiApplication app(argc, argv);
    const QString root = bench::folderArg(argc, argv);
    const int count = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 200;
    const qint64 size = qint64(argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 50) * 1000 * 1000;

    SampleFiles::Dng spec;
    spec.rawSize = QSize(2000, 1500);
    spec.preview = SampleFiles::solid(QSize(1920, 1280), qRgb(90, 120, 150));
    spec.tags = SampleFiles::cameraTags();
    const QByteArray raw = SampleFiles::dng(spec);
    if (raw.isEmpty() || raw.size() > size) {
        std::printf("could not make the sample raw file\n");
        return 1;
    }

    QTemporaryDir dir(root + QStringLiteral("/bench-unsaved-XXXXXX"));
    const QString captures = dir.filePath(QStringLiteral("captures"));
    const QString pendingDir = dir.filePath(QStringLiteral("pending"));
    std::printf("unsaved-photos benchmark: %d raw files of %.0f MB, files in %s\n", count, double(size) / 1e6,
                qPrintable(dir.path()));

    // Anchor: the same bytes written the plain way, one new file each, flushed.
    QElapsedTimer t;
    t.start();
    const int bareCount = std::min(count, 10);
    for (int i = 0; i < bareCount; ++i) {
        const QByteArray data = photo(raw, -1 - i, size);
        const QString path = dir.filePath(QStringLiteral("bare%1").arg(i));
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, data.constData(), size_t(data.size())) != data.size() || ::fdatasync(fd) != 0)
            std::printf("  ERROR: bare write failed\n");
        ::close(fd);
        QFile::remove(path);
    }
    const double bareRate = mbPerSecond(qint64(bareCount) * size, t);

    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.store().setPendingFolder(pendingDir);
    monitor.useChosenFolder(QUrl::fromLocalFile(captures));
    auto cam = std::make_shared<CameraConnection>(std::make_unique<NullConnection>());
    monitor.appendCamera(cam);
    QDir(captures).removeRecursively(); // an external disk unplugged
    QCoreApplication::processEvents();
    const qint64 before = bench::statusKiB("VmRSS:");

    t.restart();
    int holds = 0;
    for (int i = 0; i < count; ++i) {
        monitor.handleFile(QStringLiteral("R%1.DNG").arg(i, 4, 10, QLatin1Char('0')), photo(raw, i, size), *cam);
        QCoreApplication::processEvents();
        if (monitor.store().holding())
            ++holds;
        while (monitor.store().holding())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const auto quiet = [&] { return monitor.store().writesInFlight() == 0 && monitor.store().memoryOnlyCount() == 0; };
    while (!quiet())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double pendingRate = mbPerSecond(qint64(count) * size, t);
    const qint64 peak = bench::statusKiB("VmHWM:");
    const qsizetype pendingFiles = QDir(pendingDir).entryList({QStringLiteral("*.pending")}, QDir::Files).size();

    QDir().mkpath(captures); // plugged in again: the retry tick finds it
    t.restart();
    while (monitor.photoCount(CapturedPhoto::Storage::Stored) < count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double storeSeconds = double(t.nsecsElapsed()) / 1e9;

    int identical = 0;
    for (const CapturedPhoto &p : cam->photos) {
        QFile f(p.storedPath);
        if (f.open(QIODevice::ReadOnly) && f.readAll() == photo(raw, p.filename.mid(1, 4).toInt(), size))
            ++identical;
    }
    while (!QDir(pendingDir).entryList({QStringLiteral("*.pending")}, QDir::Files).isEmpty()
           && monitor.store().writesInFlight() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    std::printf("  resident before the first photo: %.0f MiB; the cameras were held back %d times\n",
                double(before) / 1024, holds);
    std::printf("  into the pending folder: %.0f MB/s; bare write + fdatasync of the same bytes: %.0f MB/s\n",
                pendingRate, bareRate);
    std::printf("  in the pending folder: %lld of %d; stored byte for byte once the folder was back: %d of %d, "
                "in %.1f s\n",
                qlonglong(pendingFiles), count, identical, count, storeSeconds);
    std::printf("figure unsaved_rss_mib %.0f MiB\n", double(peak) / 1024);
    std::printf("figure unsaved_rss_before_mib %.0f MiB\n", double(before) / 1024);
    std::printf("figure pending_write_rate %.0f MB/s\n", pendingRate);
    std::printf("figure bare_write_fdatasync_rate %.0f MB/s\n", bareRate);
    std::printf("target: peak resident memory under 300 MiB\n");
    return pendingFiles == count && identical == count ? 0 : 1;
}
