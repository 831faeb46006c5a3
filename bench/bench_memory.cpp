// Memory while photos arrive as fast as the link takes them: the peak of resident memory, the
// memory left once every photo is stored and built, and how full each part of the memory budget
// got, beside the anchors measured in the same run: the process's resident memory before the
// photos (everything but them) and the bytes sent.
//
//   bench_memory [folder] [case] [count]
//
//   burst   (default) 24 MP JPEGs without an EXIF thumbnail and 16 MP HEIFs without a thumbnail
//           item, alternating (count 600)
//   jpeg    24 MP JPEGs with an EXIF thumbnail, back to back (count 150)
//   tiny    photos of 10 bytes (count 20,000)
//
// One bridge on its own thread with a blocking socket sends them; every photo must be stored
// byte-identical (checked by size and the photo's own number in its last bytes) and built.

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QSettings>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include "SampleFiles.h"
#include "link/WireProtocol.h"
#include "model/MemoryBudget.h"
#include "state/Monitor.h"

namespace {

// The photo `n`: its file with the number appended (after the image's end, where decoders do not
// look), so every photo is distinct and its stored copy can be told apart.
QByteArray numbered(const QByteArray &file, int n)
{
    return file + QByteArray::number(n).rightJustified(8, '0');
}

// Resets the peak of resident memory the kernel keeps for this process.
void resetPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double mib(qint64 bytes)
{
    return double(bytes) / double(1 << 20);
}

} // namespace

int main(int argc, char **argv)
{
    MemoryBudget::tuneAllocator();
    bench::headless();
    QGuiApplication app(argc, argv);
    const QString root = bench::folderArg(argc, argv);
    const QString kind = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("burst");
    const int defaultCount = kind == QLatin1String("jpeg") ? 150 : kind == QLatin1String("tiny") ? 20000 : 600;
    const int count = argc > 3 ? std::max(1, QString::fromLocal8Bit(argv[3]).toInt()) : defaultCount;

    QList<QByteArray> files;
    if (kind == QLatin1String("tiny")) {
        files << QByteArray("0123456789").left(2);
    } else if (kind == QLatin1String("jpeg")) {
        const QImage picture = bench::withNoise(bench::cameraLikePicture(QSize(6000, 4000)));
        files << SampleFiles::jpeg(picture, SampleFiles::cameraTags(), picture.scaled(160, 107), 92);
    } else {
        const QImage picture = bench::withNoise(bench::cameraLikePicture(QSize(6000, 4000)));
        files << SampleFiles::jpeg(picture, SampleFiles::cameraTags(), {}, 92)
              << SampleFiles::heic(bench::cameraLikePicture(QSize(4608, 3456)), SampleFiles::cameraTags());
    }
    for (const QByteArray &file : files) {
        if (file.isEmpty()) {
            std::fprintf(stderr, "bench_memory: could not make the sample files\n");
            return 1;
        }
    }

    QTemporaryDir dir(root + QStringLiteral("/bench-memory-XXXXXX"));
    const QString captures = dir.filePath(QStringLiteral("captures"));
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.store().setPendingFolder(dir.filePath(QStringLiteral("pending")));
    monitor.useChosenFolder(QUrl::fromLocalFile(captures));
    if (!monitor.link().start(QHostAddress::LocalHost, 0, CameraLink::Advertise::No)) {
        std::fprintf(stderr, "bench_memory: cannot listen\n");
        return 1;
    }
    const QString extension[] = {QStringLiteral(".JPG"), QStringLiteral(".HEIC")};
    qint64 sentBytes = 0;
    for (int i = 0; i < count; ++i)
        sentBytes += files[i % files.size()].size() + 8;
    std::printf("bench_memory: %s, %d photos, %.1f MB in all, files in %s\n", qPrintable(kind), count,
                double(sentBytes) / 1e6, qPrintable(captures));

    const qint64 baseKiB = bench::statusKiB("VmRSS:");
    resetPeak();
    MemoryBudget::global().resetPeaks();
    const auto started = std::chrono::steady_clock::now();
    std::thread sender([&] {
        const int fd = bench::connectLoopback(monitor.link().listener().port());
        for (int i = 0; fd >= 0 && i < count; ++i) {
            const auto frame = wire::encodeFileFrame(QStringLiteral("IMG_%1").arg(i, 5, 10, QLatin1Char('0'))
                                                         + extension[i % files.size()],
                                                     numbered(files[i % files.size()], i));
            if (!frame || !bench::sendAll(fd, *frame))
                break;
        }
        if (fd >= 0)
            ::close(fd);
    });
    qint64 peakKiB = 0;
    const auto stored = [&] { return monitor.photoCount(CapturedPhoto::Storage::Stored); };
    const bool done = bench::runUntil(
        [&] {
            peakKiB = std::max(peakKiB, bench::statusKiB("VmRSS:"));
            return stored() == count && monitor.buildsInFlight() == 0;
        },
        30 * 60 * 1000);
    sender.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!done) {
        std::fprintf(stderr, "bench_memory: %d of %d photos stored, %d builds left\n", stored(), count,
                     monitor.buildsInFlight());
        return 1;
    }
    // Every photo stored whole: its size and its number at the end.
    int whole = 0;
    for (QDirIterator it(captures, QDir::Files); it.hasNext();) {
        QFile file(it.next());
        const QString base = QFileInfo(file).completeBaseName();
        const int n = base.mid(4).toInt();
        if (file.open(QIODevice::ReadOnly) && file.size() == files[n % files.size()].size() + 8 && file.seek(file.size() - 8)
            && file.read(8) == QByteArray::number(n).rightJustified(8, '0'))
            ++whole;
    }
    const qint64 afterKiB = bench::statusKiB("VmRSS:");
    const qint64 hwmKiB = std::max(peakKiB, bench::statusKiB("VmHWM:"));
    std::printf("bench_memory: %d of %d stored whole in %.1f s\n", whole, count, seconds);
    std::printf("figure %s_base_resident %.0f MiB\n", qPrintable(kind), double(baseKiB) / 1024);
    std::printf("figure %s_sent %.0f MiB\n", qPrintable(kind), mib(sentBytes));
    std::printf("figure %s_peak_resident %.0f MiB\n", qPrintable(kind), double(hwmKiB) / 1024);
    std::printf("figure %s_end_resident %.0f MiB\n", qPrintable(kind), double(afterKiB) / 1024);
    for (int part = 0; part < MemoryBudget::kParts; ++part) {
        const auto p = MemoryBudget::Part(part);
        std::printf("figure %s_budget_%s_peak %.1f MiB\n", qPrintable(kind), MemoryBudget::name(p),
                    mib(MemoryBudget::global().peak(p)));
    }
    return whole == count ? 0 : 1;
}
