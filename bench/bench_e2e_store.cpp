// End to end, one photo: from the last byte a bridge sends to the photo's file being complete
// at its final name, through a real socket, the listener, the photo record and the store; beside
// a bare write + fdatasync of the same bytes into the same folder in the same run.
//
//   bench_e2e_store [folder] [photos]     (defaults: the current directory, 15)
//
// The sender is a thread with a plain blocking socket on 127.0.0.1, one connection for every
// photo as a bridge keeps it. The clock stops when the photo's record turns Stored, which the
// store reports once the file has its name and the folder is flushed. Files are written into a
// temporary folder inside `folder` and removed at the end.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include "BenchSupport.h"
#include "SampleFiles.h"
#include "ingest/CaptureStorage.h"
#include "link/WireProtocol.h"
#include "state/Monitor.h"

namespace {

using Clock = std::chrono::steady_clock;

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A bridge on its own thread: sends one frame each time it is asked and notes when its last
// byte went into the socket.
class Sender
{
public:
    Sender(quint16 port, QByteArray frame)
        : m_frame(std::move(frame))
        , m_thread([this, port] { run(port); })
    { }
    ~Sender()
    {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    void sendOne()
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_asked;
        }
        m_wake.notify_one();
    }
    // When the last byte of frame `n` (counted from 1) went out; valid once the photo arrived.
    Clock::time_point lastByteOf(int n)
    {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [&] { return m_sent >= n || m_failed; });
        return m_lastByte;
    }
    bool failed() const { return m_failed; }

private:
    void run(quint16 port)
    {
        const int fd = bench::connectLoopback(port);
        if (fd < 0) {
            std::perror("bench sender connect");
            m_failed = true;
            m_wake.notify_all();
            return;
        }
        for (;;) {
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [&] { return m_quit || m_asked > m_sent; });
                if (m_quit)
                    break;
            }
            if (!bench::sendAll(fd, m_frame)) {
                std::perror("bench sender send");
                m_failed = true;
            }
            const Clock::time_point done = Clock::now();
            {
                std::lock_guard lock(m_mutex);
                m_lastByte = done;
                ++m_sent;
            }
            m_wake.notify_all();
            if (m_failed)
                break;
        }
        ::close(fd);
    }

    const QByteArray m_frame;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    int m_asked = 0;
    int m_sent = 0;
    bool m_quit = false;
    std::atomic<bool> m_failed = false;
    Clock::time_point m_lastByte;
    std::thread m_thread;
};

} // namespace

int main(int argc, char **argv)
{
    bench::headless();
    QGuiApplication app(argc, argv);
    const QString root = bench::folderArg(argc, argv);
    const int photos = argc > 2 ? std::max(1, QString::fromLocal8Bit(argv[2]).toInt()) : 15;

    const QImage picture = bench::cameraLikePicture(QSize(6000, 4000));
    const QByteArray jpeg = SampleFiles::jpeg(picture, SampleFiles::cameraTags(), picture.scaled(160, 107), 92);
    const std::optional<QByteArray> frame = wire::encodeFileFrame(QStringLiteral("IMG_0001.JPG"), jpeg);
    if (jpeg.isEmpty() || !frame) {
        std::fprintf(stderr, "bench_e2e_store: could not make the sample file\n");
        return 1;
    }

    QTemporaryDir dir(root + QStringLiteral("/bench-e2e-XXXXXX"));
    const QString captures = dir.filePath(QStringLiteral("captures"));
    Monitor monitor(std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
    monitor.useChosenFolder(QUrl::fromLocalFile(captures));
    if (!monitor.link().start(QHostAddress::LocalHost, 0, CameraLink::Advertise::No)) {
        std::fprintf(stderr, "bench_e2e_store: cannot listen\n");
        return 1;
    }
    std::printf("bench_e2e_store: 24 MP JPEG of %.1f MB, %d photos (after one to warm up), files in %s\n",
                double(jpeg.size()) / 1e6, photos, qPrintable(captures));

    Sender sender(monitor.link().listener().port(), *frame);
    // The photo count of the one camera, and when the newest photo's record appeared and was stored.
    Clock::time_point appeared, stored;
    int expected = 0;
    QEventLoop loop;
    QObject::connect(&monitor, &Monitor::objectWillChange, &loop, [&] {
        if (monitor.cameras().isEmpty())
            return;
        const QList<CapturedPhoto> &list = monitor.cameras().constFirst()->photos;
        if (list.size() == expected && appeared == Clock::time_point())
            appeared = Clock::now();
        if (list.size() == expected && list.constLast().isStored()) {
            stored = Clock::now();
            loop.quit();
        }
    });
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&] { loop.exit(1); });

    std::vector<double> e2e, toRecord, bare, storeAlone;
    for (int i = 0; i <= photos; ++i) {
        ++expected;
        appeared = stored = Clock::time_point();
        timeout.start(60'000);
        sender.sendOne();
        if (loop.exec() != 0 || sender.failed()) {
            std::fprintf(stderr, "bench_e2e_store: photo %d was not stored\n", expected);
            return 1;
        }
        const Clock::time_point lastByte = sender.lastByteOf(expected);

        const Clock::time_point start = Clock::now();
        if (!bench::bareWrite(QStringLiteral("%1/bare-%2.jpg").arg(captures).arg(i), jpeg)) {
            std::fprintf(stderr, "bench_e2e_store: bare write failed\n");
            return 1;
        }
        const double bareMs = msBetween(start, Clock::now());
        // The store's own way of writing, alone: temporary file, flush, no-replace rename, folder flush.
        const Clock::time_point storeStart = Clock::now();
        if (!capture::storeFile(captures, QStringLiteral("IMG_0001.JPG"), jpeg).ok()) {
            std::fprintf(stderr, "bench_e2e_store: store write failed\n");
            return 1;
        }
        const double storeMs = msBetween(storeStart, Clock::now());
        if (i == 0)
            continue; // warm-up
        e2e.push_back(msBetween(lastByte, stored));
        toRecord.push_back(msBetween(lastByte, appeared));
        bare.push_back(bareMs);
        storeAlone.push_back(storeMs);
    }

    const Clock::time_point buildStart = Clock::now();
    const CapturedPhoto built = Monitor::buildPhoto(QStringLiteral("IMG_0001.JPG"), jpeg);
    const double buildMs = msBetween(buildStart, Clock::now());
    Q_UNUSED(built);

    std::printf("  last byte sent to photo record shown (link, record building): median %.1f ms\n",
                bench::median(toRecord));
    std::printf("    of which building the record alone (main thread): %.1f ms\n", buildMs);
    std::printf("  the store's write alone (temporary file, flush, rename, folder flush): median %.1f ms\n",
                bench::median(storeAlone));
    std::printf("  last byte sent to file stored: median %.1f ms, fastest %.1f ms\n", bench::median(e2e),
                *std::min_element(e2e.begin(), e2e.end()));
    std::printf("figure e2e_store_ms %.1f ms\n", bench::median(e2e));
    std::printf("figure bare_write_fdatasync_ms %.1f ms\n", bench::median(bare));
    std::printf("figure e2e_store_ratio %.2f x\n", bench::median(e2e) / bench::median(bare));
    return 0;
}
