#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FrameBytes.h"
#include "link/CameraLink.h"
#include "link/TcpConnection.h"

using namespace framebytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr int kTimeoutMs = 10000;
using Cam = std::shared_ptr<CameraConnection>;

std::string show(const std::optional<QByteArray> &p)
{
    return p ? p->toStdString() : "<none>";
}

// A real listener on loopback; every signal it gives is written down per record, in order.
class LinkLoopback : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Listener *l = &listener;
        QObject::connect(l, &Listener::fileReceived, [this](const Cam &c, const QString &name, const QByteArray &data) {
            log(c, "file[" + name.toStdString() + "]=" + data.toStdString());
        });
        QObject::connect(l, &Listener::helloReceived, [this](const Cam &c, const auto &p) { log(c, "hello=" + show(p)); });
        QObject::connect(l, &Listener::stateReceived, [this](const Cam &c, const auto &p) { log(c, "state=" + show(p)); });
        QObject::connect(l, &Listener::liveFrameReceived, [this](const Cam &c, const auto &p) { log(c, "live=" + show(p)); });
        QObject::connect(l, &Listener::connectionLost, [this](const Cam &c) { log(c, "lost"); });
        ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
        ASSERT_EQ(listening.count(), 1);
        EXPECT_TRUE(listening.at(0).at(0).toBool());
    }

    void log(const Cam &cam, const std::string &what)
    {
        all.push_back(what);
        for (size_t i = 0; i < cams.size(); ++i)
            if (cams[i] == cam)
                events[i].push_back(what);
    }

    // A fake bridge: connects and waits for its record.
    std::unique_ptr<QTcpSocket> connectBridge()
    {
        auto bridge = std::make_unique<QTcpSocket>();
        bridge->connectToHost(QHostAddress::LocalHost, listener.port());
        EXPECT_TRUE(bridge->waitForConnected(kTimeoutMs));
        EXPECT_TRUE(accepted.wait(kTimeoutMs));
        cams.push_back(accepted.takeFirst().at(0).value<Cam>());
        events.emplace_back();
        return bridge;
    }

    bool waitFor(size_t i, const std::string &last)
    {
        return QTest::qWaitFor([&] { return !events[i].empty() && events[i].back() == last; }, kTimeoutMs);
    }

    static TcpConnection *tcpOf(const Cam &cam) { return dynamic_cast<TcpConnection *>(cam->conn()); }

    Listener listener;
    QSignalSpy accepted{&listener, &Listener::cameraAccepted};
    QSignalSpy listening{&listener, &Listener::listeningChanged};
    std::vector<Cam> cams;
    std::vector<std::vector<std::string>> events;
    std::vector<std::string> all;
};

} // namespace

TEST_F(LinkLoopback, EachConnectionIsANewRecordWithItsMessagesInOrderThenItsLoss)
{
    auto a = connectBridge();
    auto b = connectBridge();
    EXPECT_NE(cams[0]->id(), cams[1]->id());
    EXPECT_EQ(cams[0]->name, QStringLiteral("C\u00e1mara"));
    EXPECT_EQ(cams[0]->status, CameraStatus::Receiving);
    a->write(fileFrame("a1.jpg", "AAA") + frame(9, "junk") + frame(3, "..{\"camera\":\"A\"}"));
    b->write(frame(5, "LIVEB"));
    a->write(frame(7, "{}") + fileFrame("", "A2") + frame(3, {}));
    a->disconnectFromHost();
    ASSERT_TRUE(waitFor(0, "lost"));
    ASSERT_TRUE(waitFor(1, "live=LIVEB"));
    EXPECT_THAT(events[0], ElementsAre("file[a1.jpg]=AAA", "hello=..{\"camera\":\"A\"}", "state={}", "file[]=A2", "hello=", "lost"));
    EXPECT_THAT(events[1], ElementsAre("live=LIVEB"));
    auto again = connectBridge();
    EXPECT_NE(cams[2]->id(), cams[0]->id()) << "a bridge that reconnects is a new record";
}

// Many messages that arrive together are handled one per turn of the event loop; a peer that
// closes right after its burst still has every message delivered before its loss.
TEST_F(LinkLoopback, BurstIsHandledOnePerTurnAndWhollyBeforeTheLoss)
{
    auto a = connectBridge();
    QByteArray burst;
    for (int i = 0; i < 200; ++i)
        burst += fileFrame("f" + QByteArray::number(i), QByteArray(1000, char('a' + i % 26)));
    QByteArray big(5 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 % 251);
    a->write(burst + fileFrame("big.raf", big));
    ASSERT_TRUE(a->waitForBytesWritten(kTimeoutMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !events[0].empty(); }, kTimeoutMs));
    size_t handledWhenPostedWorkRan = 0;
    QMetaObject::invokeMethod(&listener, [&] { handledWhenPostedWorkRan = events[0].size(); }, Qt::QueuedConnection);
    a->disconnectFromHost();
    ASSERT_TRUE(waitFor(0, "lost"));
    EXPECT_GT(handledWhenPostedWorkRan, 0u);
    EXPECT_LT(handledWhenPostedWorkRan, 10u) << "the backlog was handled in one run";
    ASSERT_EQ(events[0].size(), 202u);
    for (size_t i = 0; i < 200; ++i)
        EXPECT_EQ(events[0][i].substr(0, 7 + std::to_string(i).size()), "file[f" + std::to_string(i) + "]");
    EXPECT_EQ(events[0][200], "file[big.raf]=" + big.toStdString());
}

// At the end of a connection a hello, state or live-view payload cut short is delivered without
// its payload; a file cut short, or announced huge, delivers nothing.
TEST_F(LinkLoopback, EndOfConnectionDeliversOnlyAPayloadCutShort)
{
    const QByteArray streams[] = {
        frame(3, "..{\"camera\":\"A\"}") + header(7, 100) + QByteArray(10, '{'),
        header(1, 0xffffffffu) + QByteArray("\x04\x00name", 6) + QByteArray(1000, 'c'),
        fileFrame("cut.jpg", "0123456789").left(20),
    };
    for (const QByteArray &stream : streams) {
        auto bridge = connectBridge();
        bridge->write(stream);
        ASSERT_TRUE(bridge->waitForBytesWritten(kTimeoutMs));
        bridge->disconnectFromHost();
        ASSERT_TRUE(waitFor(cams.size() - 1, "lost"));
    }
    EXPECT_THAT(events[0], ElementsAre("hello=..{\"camera\":\"A\"}", "state=<none>", "lost"));
    EXPECT_THAT(events[1], ElementsAre("lost"));
    EXPECT_THAT(events[2], ElementsAre("lost"));
    EXPECT_EQ(tcpOf(cams[1])->bytesRead(), 8u + 6u + 1000u);
}

// After a frame that stops reading, what the peer sends is dropped as it comes, so its close is
// still seen, however much it queued. The socket's buffer is already full at the stop.
TEST_F(LinkLoopback, StoppedConnectionDrainsWhatFollowsAndSeesTheClose)
{
    const QByteArray stops[] = {header(3, 4, 'H', 'V', 2), fileFrame("\xff.jpg", "CONTENT")};
    QByteArray before;
    for (int k = 0; k < 50; ++k)
        before += frame(7, "{}");
    const QByteArray chunk(1 << 20, 'x');
    const QByteArray late = frame(3, "..{\"camera\":\"late\"}");
    for (size_t i = 0; i < std::size(stops); ++i) {
        auto bridge = connectBridge();
        TcpConnection *tcp = tcpOf(cams[i]);
        ASSERT_NE(tcp, nullptr);
        bridge->write(before + stops[i]);
        for (int k = 0; k < 8; ++k)
            bridge->write(chunk);
        bridge->write(late);
        bridge->disconnectFromHost();
        qint64 mostBuffered = 0;
        ASSERT_TRUE(QTest::qWaitFor([&] {
            mostBuffered = std::max(mostBuffered, tcp->bufferedBytes());
            return !events[i].empty() && events[i].back() == "lost";
        }, kTimeoutMs)) << i;
        EXPECT_TRUE(tcp->readingStopped());
        EXPECT_EQ(tcp->bytesRead(), quint64(before.size() + stops[i].size() + 8 * chunk.size() + late.size()));
        EXPECT_LE(mostBuffered, TcpConnection::kReadBufferSize);
        EXPECT_EQ(events[i].size(), 51u);
        EXPECT_EQ(std::count(events[i].begin(), events[i].end(), "state={}"), 50);
    }
}

TEST_F(LinkLoopback, OversizedPayloadIsSkippedLoggedOnceAndReadingGoesOn)
{
    static int linkWarnings = 0;
    linkWarnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &ctx, const QString &) {
        if (type == QtWarningMsg && qstrcmp(ctx.category, "halvane.link") == 0)
            ++linkWarnings;
    });
    auto a = connectBridge();
    a->write(frame(7, QByteArray(FrameReader::kMaxJsonPayload + 1, '{')) + fileFrame("one.jpg", "PHOTO1")
             + frame(5, QByteArray(FrameReader::kMaxLiveViewPayload + 1, 'L')) + fileFrame("two.jpg", "PHOTO2"));
    const bool arrived = waitFor(0, "file[two.jpg]=PHOTO2");
    qInstallMessageHandler(previous);
    ASSERT_TRUE(arrived);
    EXPECT_THAT(events[0], ElementsAre("file[one.jpg]=PHOTO1", "file[two.jpg]=PHOTO2"));
    EXPECT_EQ(linkWarnings, 1);
}

TEST_F(LinkLoopback, CommandsReachTheBridgeOverKeptAliveConnections)
{
    auto a = connectBridge();
    CameraLink::shutter(*cams[0]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return a->bytesAvailable() >= 25; }, kTimeoutMs));
    EXPECT_EQ(a->readAll(), QByteArray("\x48\x56\x01\x06\x11\x00\x00\x00", 8) + "{\"cmd\":\"shutter\"}");

    const int fd = int(tcpOf(cams[0])->socketDescriptor());
    auto get = [fd](int level, int option) {
        int value = -1;
        socklen_t size = sizeof value;
        EXPECT_EQ(getsockopt(fd, level, option, &value, &size), 0);
        return value;
    };
    EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_LE(get(IPPROTO_TCP, TCP_KEEPIDLE) + get(IPPROTO_TCP, TCP_KEEPINTVL) * get(IPPROTO_TCP, TCP_KEEPCNT), 60)
        << "a vanished bridge is noticed within a minute";
    EXPECT_GT(get(IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
    EXPECT_LE(get(IPPROTO_TCP, TCP_USER_TIMEOUT), 60000);

    a->disconnectFromHost();
    ASSERT_TRUE(waitFor(0, "lost"));
    CameraLink::shutter(*cams[0]); // goes nowhere, reports nothing
}

TEST(CameraLinkStart, FailureIsLoggedAndALaterStartRetries)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    CameraLink link;
    QSignalSpy listening(&link.listener(), &Listener::listeningChanged);
    QTemporaryFile log;
    ASSERT_TRUE(log.open());
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(log.handle(), STDERR_FILENO), 0);
    const bool ok = link.start(QHostAddress::LocalHost, occupant.serverPort(), CameraLink::Advertise::No);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(link.isStarted());
    EXPECT_EQ(listening.count(), 0);
    QFile written(log.fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith("listener error "));

    const quint16 port = occupant.serverPort();
    occupant.close();
    EXPECT_TRUE(link.start(QHostAddress::LocalHost, port, CameraLink::Advertise::No));
    EXPECT_TRUE(link.start(QHostAddress::LocalHost, port, CameraLink::Advertise::No)) << "once started, stays";
    ASSERT_EQ(listening.count(), 1);
    EXPECT_TRUE(listening.at(0).at(0).toBool());
}
