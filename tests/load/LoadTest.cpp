// Many simulated cameras at once, each streaming photos and live view, with bridges that
// disconnect (cleanly, or killed mid-stream) and reconnect. Every photo that was sent completely
// is stored exactly once and byte-identical, nothing is overwritten or left half-written, and
// the figures (photos, longest main-thread stall, memory) are printed. Meanwhile thirty people
// watch the shoot through the client view, each fetching every photo's preview as it is pushed.

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QWebSocket>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

#include "HostHarness.h"
#include "SampleFiles.h"

namespace {

using Load = HostTest;

// One camera: a succession of bridge processes until it has sent its photos.
struct Camera {
    int sent = 0; // photos sent whole by its bridges so far
    LineProcess *bridge = nullptr;
    int killAfterMs = -1; // its bridge is to be killed this long after it connects; -2: it was
    QDeadlineTimer killAt{QDeadlineTimer::Forever};
};

// Viewers of the client view, as their pages behave: told of each photo, they fetch its preview.
struct Viewers {
    QNetworkAccessManager net;
    QByteArray cookie;
    QUrl base;
    std::vector<std::unique_ptr<QWebSocket>> sockets;
    int pushes = 0, fetched = 0, failed = 0;

    bool logIn(quint16 port, const QString &code)
    {
        base = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
        QNetworkRequest login(base.resolved(QUrl("/api/acceso")));
        login.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain");
        QNetworkReply *reply = net.post(login, code.toLatin1());
        const bool answered = QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
        cookie = !answered ? QByteArray() : reply->rawHeader("Set-Cookie").split(';').first();
        reply->deleteLater();
        return !cookie.isEmpty();
    }
    QWebSocket &open()
    {
        QUrl url = base;
        url.setScheme(QStringLiteral("ws"));
        url.setPath(QStringLiteral("/ws"));
        QNetworkRequest request(url);
        request.setRawHeader("Cookie", cookie);
        auto &socket = *sockets.emplace_back(std::make_unique<QWebSocket>());
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &net, [this](const QString &text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            if (message.value("t") != QLatin1String("foto"))
                return;
            ++pushes;
            QNetworkRequest get(base.resolved(QUrl("/foto/" + message.value("foto").toObject().value("id").toString() + "/vista.jpg")));
            get.setRawHeader("Cookie", cookie);
            QNetworkReply *reply = net.get(get);
            QObject::connect(reply, &QNetworkReply::finished, &net, [this, reply] {
                const bool ok = reply->error() == QNetworkReply::NoError && reply->readAll().startsWith("\xff\xd8");
                if (!ok)
                    std::fprintf(stderr, "[load] fetch failed: %s: %s\n", qPrintable(reply->url().path()), qPrintable(reply->errorString()));
                (ok ? fetched : failed)++;
                reply->deleteLater();
            });
        });
        socket.open(request);
        return socket;
    }
    [[nodiscard]] int connected() const
    {
        return int(std::count_if(sockets.cbegin(), sockets.cend(), [](const auto &s) { return s->state() == QAbstractSocket::ConnectedState; }));
    }
};

TEST_F(Load, ManyCamerasWithLiveViewAndReconnects)
{
    // Every test run has sixteen cameras of 24 MP at 15 live frames a second and thirty viewers
    // for a dozen photos each; HALVANE_LOAD_FULL=1 makes it a hundred. Under the sanitizers, whose
    // slowness would say nothing of the window's, four smaller cameras (HALVANE_LOAD_SHORT=1).
    const bool full = qEnvironmentVariable("HALVANE_LOAD_FULL") == QLatin1String("1");
    const bool small = !full && qEnvironmentVariable("HALVANE_LOAD_SHORT") == QLatin1String("1");
    const int photosEach = full ? 100 : small ? 10 : 12, maxRun = full ? 40 : 6, intervalMs = small ? 250 : 2000;
    qputenv("HALVANE_TESTHOST_SHARE", "1");
    ASSERT_NE(startHost(), 0);
    qunsetenv("HALVANE_TESTHOST_SHARE");
    // The bridges and the viewers' phones stand for other machines on the set; here they share the
    // host's cores, so they take only what it leaves (the lowest priority there is for a
    // process's own threads): this thread's niceness goes to the bridges it starts and to the
    // network thread it makes. The host, started before, keeps its own.
    ::setpriority(PRIO_PROCESS, id_t(::gettid()), 19);
    // At most 32 viewers: the 33rd is turned away; thirty stay for the run.
    const auto share = host.waitForLine("^share (\\d+) (\\d{6})$");
    Viewers viewers;
    ASSERT_TRUE(share.hasMatch() && viewers.logIn(share.captured(1).toUShort(), share.captured(2)));
    for (int i = 0; i < 33; ++i)
        viewers.open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewers.connected() == 32 && viewers.sockets.back()->state() == QAbstractSocket::UnconnectedState; }, 20000))
        << viewers.connected() << " viewers connected";
    viewers.sockets.resize(30);
    ASSERT_TRUE(host.waitForLine("^viewers 30$").hasMatch());
    std::vector<Camera> cameras(small ? 4 : 16);
    QStringList clean, killed; // hashes sent by bridges that left cleanly (all must be stored) or were killed
    int kills = 0;
    // Beside them, one bridge sends each kind of file whose record takes long to build once: JPEG
    // with and without EXIF thumbnail, DNG with preview, HEIF without thumbnail item.
    const QImage picture = SampleFiles::quadrants(small ? QSize(3000, 2000) : QSize(6000, 4000));
    SampleFiles::Dng dng{.rawSize = QSize(1000, 750), .preview = picture.scaled(1920, 1280), .tags = SampleFiles::cameraTags()};
    const QString mixDir = dir.filePath("mix");
    ASSERT_TRUE(QDir().mkpath(mixDir));
    const QList<std::pair<QString, QByteArray>> mix = {
        {"1.JPG", SampleFiles::jpeg(picture, SampleFiles::cameraTags(), picture.scaled(160, 107))},
        {"2.JPG", SampleFiles::jpeg(picture, SampleFiles::cameraTags())}, {"3.DNG", SampleFiles::dng(dng)},
        {"4.HEIC", SampleFiles::heic(picture.scaled(small ? QSize(2304, 1728) : QSize(4608, 3456)), SampleFiles::cameraTags())}};
    for (const auto &[name, bytes] : mix) {
        QFile file(mixDir + "/" + name);
        ASSERT_TRUE(!bytes.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    LineProcess &mixed = bridge({"--name", "Mezcla", "--folder", mixDir, "--photos", "4", "--interval-ms",
                                 QString::number(intervalMs), "--exit-after-photos", "4"});
    // Something to do for a camera: start a bridge, see one end, arm its kill once it has connected, kill it.
    const auto due = [&](const Camera &c) {
        if (!c.bridge || c.bridge->process.state() == QProcess::NotRunning)
            return c.bridge || c.sent < photosEach;
        const bool connected = !c.bridge->matches("^(connected) ").isEmpty();
        return c.killAfterMs >= 0 && (c.killAt.isForever() ? connected : c.killAt.hasExpired());
    };
    const QDeadlineTimer deadline(full ? 3'600'000 : 600'000);
    while (std::any_of(cameras.cbegin(), cameras.cend(), [&](const Camera &c) { return c.bridge || c.sent < photosEach; })) {
        const auto anyDue = [&] { return std::any_of(cameras.cbegin(), cameras.cend(), due); };
        ASSERT_TRUE(QTest::qWaitFor(anyDue, int(deadline.remainingTime()))) << "the cameras did not finish in time";
        for (Camera &c : cameras) {
            if (!due(c)) {
                continue;
            } else if (c.bridge && c.bridge->process.state() == QProcess::NotRunning) {
                EXPECT_TRUE(c.killAfterMs == -2 || !c.bridge->matches("^(exit photos)$").isEmpty()) << "exited early";
                (c.killAfterMs == -2 ? killed : clean) += sentHashes(*c.bridge);
                c.sent += int(sentHashes(*c.bridge).size());
                c.bridge = nullptr;
            } else if (c.bridge && c.killAt.isForever()) {
                c.killAt.setRemainingTime(c.killAfterMs);
            } else if (c.bridge) {
                ::kill(pid_t(c.bridge->process.processId()), SIGKILL);
                c.killAfterMs = -2;
                ++kills;
            }
            if (!c.bridge && c.sent < photosEach) {
                const int count = qMin(photosEach - c.sent, 1 + int(QRandomGenerator::global()->bounded(maxRun)));
                c.bridge = &bridge({"--name", "Carga", "--prerendered", "--photos", QString::number(count), "--interval-ms",
                                    QString::number(intervalMs), "--photo-size", small ? "3000x2000" : "6000x4000", "--live-fps",
                                    "15", "--live-size", "640x426", "--exit-after-photos", QString::number(count)});
                // Three in ten are killed somewhere inside their run, often while a photo is on the wire.
                const bool kill = QRandomGenerator::global()->generateDouble() < 0.3;
                c.killAfterMs = kill ? int(QRandomGenerator::global()->bounded(100, 500 + count * intervalMs)) : -1;
                c.killAt = QDeadlineTimer(QDeadlineTimer::Forever);
            }
        }
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return mixed.process.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(sentHashes(mixed).size(), 4);
    clean += sentHashes(mixed);
    // A bridge killed before it connected made no record; every record's connection has ended,
    // and every photo received has been written.
    const auto connections = std::count_if(bridges.cbegin(), bridges.cend(),
                                           [](const auto &b) { return !b->matches("^(connected) ").isEmpty(); });
    ASSERT_TRUE(host.waitFor([&](const Host &h) {
        return h.allLost(connections) && h.storedPaths().size() == h.photoCount();
    }, 300000)) << host.storedPaths().size() << " of " << host.photoCount() << " stored; " << connections << " connections";

    // Exactly once (nothing hidden or partial), byte-identical, each record at a file of its own.
    expectOnlyCompleteFiles(clean + killed);
    const QStringList stored = folderHashes(capture).values();
    const auto lost = std::count_if(clean.cbegin(), clean.cend(), [&](const QString &h) { return !stored.contains(h); });
    EXPECT_EQ(lost, 0) << "photos sent completely but not stored";
    EXPECT_EQ(host.photoCount(), stored.size()) << "records and files differ";
    EXPECT_EQ(host.storedPaths().removeDuplicates(), 0);

    // Every viewer was told of every photo, and got its preview.
    const int expected = 30 * host.photoCount();
    EXPECT_TRUE(QTest::qWaitFor([&] { return viewers.fetched + viewers.failed == expected; }, 120000));
    EXPECT_EQ(viewers.pushes, expected);
    EXPECT_EQ(viewers.failed, 0);
    EXPECT_EQ(viewers.connected(), 30);

    const int from = int(host.lines.size());
    host.write("stats");
    const auto stats = host.waitForLine("^stats maxstall=([0-9.]+) ", from);
    ASSERT_TRUE(stats.hasMatch()) << "the host did not answer";
    std::fprintf(stderr, "[load] %d cameras, %d connections (%d killed); photos sent %d (%d by bridges that left cleanly), "
                 "stored %d, lost %d\n[load] longest main-thread stall %s ms; host memory now %.1f MiB, peak %.1f MiB\n",
                 int(cameras.size()), int(connections), kills, int(clean.size() + killed.size()), int(clean.size()),
                 int(stored.size()), int(lost), qPrintable(stats.captured(1)), residentKiB(host.process.processId()) / 1024.0,
                 residentKiB(host.process.processId(), "VmHWM") / 1024.0);
    std::fprintf(stderr, "[load] 30 viewers: %d previews fetched\n", viewers.fetched);
    // Sixteen cameras and thirty viewers leave the window responsive.
    EXPECT_TRUE(small || stats.captured(1).toDouble() <= 30.0) << "longest main-thread stall " << qPrintable(stats.captured(1)) << " ms";
}

} // namespace
