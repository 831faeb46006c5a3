#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include "Frames.h"
#include "link/CameraLink.h"
#include "link/TcpConnection.h"

using namespace frames;
using ::testing::ElementsAre;
using Cam = std::shared_ptr<CameraConnection>;
using Payload = std::optional<QByteArray>;

namespace {

// A real listener on loopback; what it reports is written down per record, in order.
class LinkLoopback : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto payload = [this](const char *kind) {
            return [this, kind](const Cam &c, const Payload &p) {
                log(c, kind + ("=" + (p ? p->toStdString() : "<none>")));
            };
        };
        QObject::connect(&listener, &Listener::helloReceived, payload("hello"));
        QObject::connect(&listener, &Listener::stateReceived, payload("state"));
        QObject::connect(&listener, &Listener::liveFrameReceived, payload("live"));
        QObject::connect(
            &listener, &Listener::fileReceived, [this](const Cam &c, const QString &n, const QByteArray &d) {
                log(c, "file[" + n.toStdString() + "]=" + d.toStdString());
            });
        QObject::connect(&listener, &Listener::connectionLost, [this](const Cam &c) { log(c, "lost"); });
        ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    }
    void log(const Cam &cam, const std::string &what)
    {
        events[std::find(cams.begin(), cams.end(), cam) - cams.begin()].push_back(what);
    }

    // A fake bridge: connects and waits for its record.
    std::unique_ptr<QTcpSocket> connectBridge()
    {
        auto bridge = std::make_unique<QTcpSocket>();
        bridge->connectToHost(QHostAddress::LocalHost, listener.port());
        EXPECT_TRUE(bridge->waitForConnected(kTimeoutMs) && accepted.wait(kTimeoutMs));
        cams.push_back(accepted.takeFirst().at(0).value<Cam>());
        events.emplace_back();
        return bridge;
    }

    // Waits until record `i`'s last event is `last`, calling `poll` at each look.
    bool until(
        size_t i, const std::string &last, const std::function<void()> &poll = [] {})
    {
        return QTest::qWaitFor(
            [&] { return poll(), !events[i].empty() && events[i].back() == last; }, kTimeoutMs);
    }
    TcpConnection *tcp(size_t i) const { return dynamic_cast<TcpConnection *>(cams[i]->conn()); }

    static constexpr int kTimeoutMs = 10000;
    Listener listener;
    QSignalSpy accepted { &listener, &Listener::cameraAccepted };
    std::vector<Cam> cams;
    std::vector<std::vector<std::string>> events; // per record
};

} // namespace

// Each connection is a new record; its messages come in order, and at its end a payload cut
// short is delivered without its payload (a file cut short, or announced huge, is not) before
// the loss. Payloads over their cap are skipped, logged once per connection.
TEST_F(LinkLoopback, EachConnectionReportsItsMessagesInOrderThenItsLoss)
{
    static int warnings = 0;
    const auto previous
        = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &ctx, const QString &) {
              warnings += type == QtWarningMsg && qstrcmp(ctx.category, "halvane.link") == 0;
          });
    auto a = connectBridge(), b = connectBridge(), c = connectBridge();
    a->write(fileFrame("a1.jpg", "AAA") + frame(9, "junk") + frame(3, "..{}") + frame(7, "{}"));
    b->write(frame(5, "L") + frame(7, QByteArray(FrameReader::kMaxJsonPayload + 1, '{')) + fileFrame("b.jpg", "BB")
        + frame(5, QByteArray(FrameReader::kMaxLiveViewPayload + 1, 'L')) + header(1, 0xffffffffu)
        + QByteArray("\x04\x00name", 6) + QByteArray(1000, 'c'));
    c->write(fileFrame("cut.jpg", "0123456789").left(20));
    a->write(fileFrame("", "A2") + frame(3, {}) + header(7, 100) + QByteArray(10, '{'));
    for (auto *bridge : { a.get(), b.get(), c.get() }) {
        ASSERT_TRUE(bridge->waitForBytesWritten(kTimeoutMs));
        bridge->disconnectFromHost();
    }
    const bool ended = until(0, "lost") && until(1, "lost") && until(2, "lost");
    qInstallMessageHandler(previous);
    ASSERT_TRUE(ended);
    EXPECT_THAT(events[0],
        ElementsAre(
            "file[a1.jpg]=AAA", "hello=..{}", "state={}", "file[]=A2", "hello=", "state=<none>", "lost"));
    EXPECT_THAT(events[1], ElementsAre("live=L", "file[b.jpg]=BB", "lost"));
    EXPECT_THAT(events[2], ElementsAre("lost"));
    EXPECT_EQ(warnings, 1);
}

// Messages that arrive together are handled one per turn of the event loop; a peer that closes
// right after its burst still has every message delivered before its loss.
TEST_F(LinkLoopback, BurstIsHandledOnePerTurnAndWhollyBeforeTheLoss)
{
    auto a = connectBridge();
    QByteArray burst, big(5 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < 200; ++i)
        burst += fileFrame("f" + QByteArray::number(i), QByteArray(1000, char('a' + i % 26)));
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 % 251);
    a->write(burst + fileFrame("big.raf", big));
    ASSERT_TRUE(a->waitForBytesWritten(kTimeoutMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !events[0].empty(); }, kTimeoutMs));
    size_t handledWhenPostedWorkRan = 0;
    QMetaObject::invokeMethod(
        &listener, [&] { handledWhenPostedWorkRan = events[0].size(); }, Qt::QueuedConnection);
    a->disconnectFromHost();
    ASSERT_TRUE(until(0, "lost"));
    EXPECT_GT(handledWhenPostedWorkRan, 0u);
    EXPECT_LT(handledWhenPostedWorkRan, 10u) << "the backlog was handled in one run";
    ASSERT_EQ(events[0].size(), 202u);
    for (size_t i = 0; i < 200; ++i)
        EXPECT_EQ(events[0][i].substr(0, 7 + std::to_string(i).size()), "file[f" + std::to_string(i) + "]");
    EXPECT_EQ(events[0][200], "file[big.raf]=" + big.toStdString());
}

// After a frame that stops reading, what the peer sends is dropped as it comes, so its close is
// still seen, however much it queued. The socket's buffer is already full at the stop.
TEST_F(LinkLoopback, StoppedConnectionDrainsWhatFollowsAndSeesTheClose)
{
    const QByteArray stops[] = { header(3, 4, 2), fileFrame("\xff.jpg", "CONTENT") };
    const QByteArray before = frame(7, "{}").repeated(50);
    const QByteArray after = QByteArray(8 << 20, 'x') + frame(3, "..{\"camera\":\"late\"}");
    for (size_t i = 0; i < std::size(stops); ++i) {
        auto bridge = connectBridge();
        bridge->write(before + stops[i] + after);
        bridge->disconnectFromHost();
        qint64 mostBuffered = 0;
        ASSERT_TRUE(
            until(i, "lost", [&] { mostBuffered = std::max(mostBuffered, tcp(i)->bufferedBytes()); }));
        EXPECT_TRUE(tcp(i)->readingStopped());
        EXPECT_EQ(tcp(i)->bytesRead(), quint64(before.size() + stops[i].size() + after.size()));
        EXPECT_LE(mostBuffered, TcpConnection::kReadBufferSize);
        EXPECT_EQ(std::count(events[i].begin(), events[i].end(), "state={}"), 50);
    }
}

TEST_F(LinkLoopback, CommandsReachTheBridgeOverKeptAliveConnections)
{
    auto a = connectBridge();
    CameraLink::shutter(*cams[0]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return a->bytesAvailable() >= 25; }, kTimeoutMs));
    EXPECT_EQ(a->readAll(), header(6, 17) + "{\"cmd\":\"shutter\"}");
    const auto get = [fd = int(tcp(0)->socketDescriptor())](int level, int option) {
        int value = -1;
        socklen_t size = sizeof value;
        return getsockopt(fd, level, option, &value, &size) == 0 ? value : -1;
    };
    const int probing
        = get(IPPROTO_TCP, TCP_KEEPIDLE) + get(IPPROTO_TCP, TCP_KEEPINTVL) * get(IPPROTO_TCP, TCP_KEEPCNT);
    const int userTimeout = get(IPPROTO_TCP, TCP_USER_TIMEOUT);
    EXPECT_TRUE(get(SOL_SOCKET, SO_KEEPALIVE) == 1 && probing > 0 && probing <= 60 && userTimeout > 0
        && userTimeout <= 60000)
        << "a vanished bridge is noticed within a minute";
}

TEST(CameraLinkStart, AFailedStartIsRetriedByALaterOne)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    const quint16 port = occupant.serverPort();
    CameraLink link;
    QSignalSpy listening(&link.listener(), &Listener::listeningChanged);
    const bool ok = link.start(QHostAddress::LocalHost, port, CameraLink::Advertise::No);
    EXPECT_FALSE(ok || link.isStarted() || listening.count() > 0);
    occupant.close();
    EXPECT_TRUE(link.start(QHostAddress::LocalHost, port, CameraLink::Advertise::No));
    EXPECT_TRUE(link.start(QHostAddress::LocalHost, port, CameraLink::Advertise::No)) << "started, it stays";
    ASSERT_EQ(listening.count(), 1);
    EXPECT_TRUE(listening.at(0).at(0).toBool());
}
