#pragma once

// What the benchmarks share: a headless start, sample pictures as large as a camera's, the
// plain write and loopback socket their anchors use, and a median.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QTimer>

namespace bench {

// Runs the event loop until `done` holds, or `timeoutMs` has passed (false). Unlike the test
// library's waits, which sleep 10 ms between rounds of events, this handles each event as it
// comes, as the application's own loop does, so timings taken meanwhile are not held up.
inline bool runUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer tick; // wakes the loop now and then, so that the timeout is seen
    tick.start(50);
    while (!done()) {
        if (elapsed.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Before the application object: test paths for settings and data, no display needed.
inline void headless()
{
    QStandardPaths::setTestModeEnabled(true);
    qputenv("QT_QPA_PLATFORM", "offscreen");
}

// The folder argument at `index`, or the current directory.
inline QString folderArg(int argc, char **argv, int index = 1)
{
    return argc > index ? QString::fromLocal8Bit(argv[index]) : QDir::currentPath();
}

template<typename Values>
double median(Values values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : double(values[values.size() / 2]);
}

// A picture with gradients and grain, so that its JPEG is as large as a camera's (a flat test
// card would compress to a fraction of that).
inline QImage cameraLikePicture(QSize size)
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

// Sensor-like noise over `image`, the same for every run.
inline QImage withNoise(QImage image)
{
    QRandomGenerator noise(42);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int n = int(noise.bounded(64u)) - 32;
            line[x] = qRgb(qBound(0, qRed(line[x]) + n, 255), qBound(0, qGreen(line[x]) + n, 255),
                qBound(0, qBlue(line[x]) + n, 255));
        }
    }
    return image;
}

// Writes the bytes the way a plain program would: a new file, written, flushed unless told
// otherwise, closed.
inline bool bareWrite(const QString &path, const QByteArray &data, bool flush = true)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    if (flush)
        ok = ::fdatasync(fd) == 0 && ok;
    return ::close(fd) == 0 && ok;
}

// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
inline int connectLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// Sends all of `data` on a blocking socket; false (with errno set) when the connection fails.
inline bool sendAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::send(fd, p, size_t(left), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

// A 1280 × 853 live-view frame as a bridge sends it: a busy test card, different per `index`,
// so the JPEG is as hard to decode as a real scene.
inline QByteArray liveViewFrame(int index)
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

// A figure of this process from /proc/self/status in KiB ("VmRSS:", "VmHWM:"); -1 when unknown.
inline qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

} // namespace bench
