// Throughput of the camera link: file frames carried over loopback through the real listener and
// read loop, beside the same bytes carried by a bare QTcpSocket read loop in the same run.
//
//   bench_link [frames] [megabytes per file] [rounds]     (defaults: 200 8 3)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "link/Listener.h"
#include "link/WireProtocol.h"

namespace {

// Writes `frames` copies of `frame` to 127.0.0.1:port with plain blocking sends, then closes.
void sendFrames(quint16 port, const QByteArray &frame, int frames)
{
    const int fd = bench::connectLoopback(port);
    if (fd < 0) {
        std::perror("bench sender connect");
        std::exit(2);
    }
    for (int i = 0; i < frames; ++i) {
        if (!bench::sendAll(fd, frame)) {
            std::perror("bench sender send");
            std::exit(2);
        }
    }
    ::close(fd);
}

// Seconds to carry everything through the listener and read loop, or a negative value on failure.
double throughListener(const QByteArray &frame, int frames)
{
    Listener listener;
    std::vector<std::shared_ptr<CameraConnection>> cameras; // the records stay while reading
    int files = 0;
    QEventLoop loop;
    QObject::connect(&listener, &Listener::cameraAccepted, &loop,
                     [&](const std::shared_ptr<CameraConnection> &cam) { cameras.push_back(cam); });
    QObject::connect(&listener, &Listener::fileReceived, &loop, [&] {
        if (++files == frames)
            loop.quit();
    });
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return -1;
    QTimer::singleShot(600'000, &loop, &QEventLoop::quit);

    QElapsedTimer timer;
    timer.start();
    std::thread sender(sendFrames, listener.port(), frame, frames);
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    sender.join();
    return files == frames ? seconds : -1;
}

// Seconds for a bare read loop that only counts the same bytes.
double throughBareSocket(const QByteArray &frame, int frames)
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return -1;
    const quint64 expected = quint64(frame.size()) * quint64(frames);
    quint64 received = 0;
    QByteArray buffer(1 << 20, '\0');
    QEventLoop loop;
    std::unique_ptr<QTcpSocket> peer;
    QObject::connect(&server, &QTcpServer::newConnection, &loop, [&] {
        peer.reset(server.nextPendingConnection());
        peer->setParent(nullptr);
        QObject::connect(peer.get(), &QTcpSocket::readyRead, &loop, [&] {
            qint64 n;
            while ((n = peer->read(buffer.data(), buffer.size())) > 0)
                received += quint64(n);
            if (received >= expected)
                loop.quit();
        });
    });
    QTimer::singleShot(600'000, &loop, &QEventLoop::quit);

    QElapsedTimer timer;
    timer.start();
    std::thread sender(sendFrames, server.serverPort(), frame, frames);
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    sender.join();
    return received == expected ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 200;
    const int megabytes = argc > 2 ? std::atoi(argv[2]) : 8;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    if (frames <= 0 || megabytes <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_link [frames] [megabytes per file] [rounds]\n");
        return 2;
    }

    QByteArray content(qsizetype(megabytes) << 20, '\0');
    for (qsizetype i = 0; i < content.size(); i += 4096)
        content[i] = char(i >> 12);
    const std::optional<QByteArray> frame = wire::encodeFileFrame(QStringLiteral("DSCF0001.RAF"), content);
    if (!frame)
        return 2;
    const double total = double(frame->size()) * frames / 1e6;

    std::printf(
        "bench_link: %d file frames of %d MiB over 127.0.0.1 (%.0f MB per run)\n", frames, megabytes, total);
    std::printf("%-6s %14s %14s %8s\n", "round", "listener MB/s", "bare MB/s", "ratio");
    std::vector<double> linkRates, bareRates, ratios;
    for (int round = 1; round <= rounds; ++round) {
        // The two runs of a round follow each other, so both see the same load on the machine.
        const double link = throughListener(*frame, frames);
        const double bare = throughBareSocket(*frame, frames);
        if (link <= 0 || bare <= 0) {
            std::fprintf(stderr, "bench_link: a run did not complete\n");
            return 1;
        }
        linkRates.push_back(total / link);
        bareRates.push_back(total / bare);
        ratios.push_back(linkRates.back() / bareRates.back());
        std::printf("%-6d %14.0f %14.0f %8.2f\n", round, linkRates.back(), bareRates.back(), ratios.back());
    }
    // Medians over the rounds; the ratio is the median of each round's own ratio.
    std::printf("figure link_mb_s %.0f MB/s\n", bench::median(linkRates));
    std::printf("figure bare_socket_mb_s %.0f MB/s\n", bench::median(bareRates));
    std::printf("figure link_ratio %.2f x\n", bench::median(ratios));
    return 0;
}
