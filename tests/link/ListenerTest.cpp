#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
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
#include "link/InboundHandler.h"
#include "link/Listener.h"
#include "link/MonitorInbound.h"
#include "link/TcpConnection.h"
#include "model/Monitor.h"

using namespace framebytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr int kTimeoutMs = 10000;

// Records every message with the record it came for and that record's status at that moment.
class RecordingHandler : public InboundHandler
{
public:
    struct Event {
        std::shared_ptr<CameraConnection> cam;
        std::string what;
        CameraStatus statusThen;
    };

    void fileFrame(
        const std::shared_ptr<CameraConnection> &cam, const QString &name, const QByteArray &data) override
    {
        events.push_back({ cam, "file[" + name.toStdString() + "]=" + data.toStdString(), cam->status });
    }
    void jsonFrame(const std::shared_ptr<CameraConnection> &cam, quint8 type,
        const std::optional<QByteArray> &payload) override
    {
        events.push_back({ cam, "json" + std::to_string(type) + "=" + show(payload), cam->status });
    }
    void liveViewFrame(
        const std::shared_ptr<CameraConnection> &cam, const std::optional<QByteArray> &payload) override
    {
        events.push_back({ cam, "live=" + show(payload), cam->status });
    }

    [[nodiscard]] std::vector<std::string> whats() const
    {
        std::vector<std::string> out;
        for (const auto &e : events)
            out.push_back(e.what);
        return out;
    }

    std::vector<Event> events;

private:
    static std::string show(const std::optional<QByteArray> &p) { return p ? p->toStdString() : "<none>"; }
};

class LinkLoopback : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        monitor = std::make_unique<Monitor>(
            std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat));
        listener = std::make_unique<Listener>(*monitor, handler);
        ASSERT_TRUE(listener->listen(QHostAddress::LocalHost, 0));
    }

    // A fake bridge: connects and waits until the application has made its record.
    std::unique_ptr<QTcpSocket> connectBridge()
    {
        const qsizetype before = monitor->cameras().size();
        auto bridge = std::make_unique<QTcpSocket>();
        bridge->connectToHost(QHostAddress::LocalHost, listener->port());
        EXPECT_TRUE(bridge->waitForConnected(kTimeoutMs)) << bridge->errorString().toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return monitor->cameras().size() == before + 1; }, kTimeoutMs));
        return bridge;
    }

    std::shared_ptr<CameraConnection> camera(qsizetype i) const { return monitor->cameras().value(i); }

    static TcpConnection *tcpOf(const std::shared_ptr<CameraConnection> &cam)
    {
        return cam ? dynamic_cast<TcpConnection *>(cam->conn()) : nullptr;
    }

    bool waitForEvents(size_t n)
    {
        return QTest::qWaitFor([&] { return handler.events.size() >= n; }, kTimeoutMs);
    }

    bool waitForStatus(const std::shared_ptr<CameraConnection> &cam, CameraStatus status)
    {
        return QTest::qWaitFor([&] { return cam->status == status; }, kTimeoutMs);
    }

    QTemporaryDir dir;
    RecordingHandler handler;
    std::unique_ptr<Monitor> monitor;
    std::unique_ptr<Listener> listener;
};

} // namespace

TEST_F(LinkLoopback, EachConnectionBecomesARecordAndOnlyTheFirstIsActive)
{
    EXPECT_TRUE(monitor->listening());
    QSignalSpy changes(monitor.get(), &Monitor::objectWillChange);

    auto a = connectBridge();
    ASSERT_EQ(monitor->cameras().size(), 1);
    const auto camA = camera(0);
    EXPECT_EQ(camA->name, QStringLiteral("C\u00e1mara"));
    EXPECT_EQ(camA->status, CameraStatus::Receiving);
    EXPECT_TRUE(camA->enabled);
    EXPECT_TRUE(camA->photos.isEmpty());
    EXPECT_EQ(monitor->activeCameraId(), camA->id());
    EXPECT_GE(changes.count(), 2);

    auto b = connectBridge();
    ASSERT_EQ(monitor->cameras().size(), 2);
    EXPECT_NE(camera(1)->id(), camA->id());
    EXPECT_EQ(monitor->activeCameraId(), camA->id()) << "a second camera does not take over";
    EXPECT_THAT(handler.events, IsEmpty()) << "connecting sends and delivers nothing";
}

TEST_F(LinkLoopback, MessagesReachTheHandlerInOrderWithTheirRecord)
{
    auto a = connectBridge();
    auto b = connectBridge();
    a->write(fileFrame("a1.jpg", "AAA") + frame(9, "junk") + frame(3, "..{\"camera\":\"A\"}"));
    b->write(frame(5, "LIVEB"));
    a->write(frame(7, "{}") + fileFrame("", "A2"));
    ASSERT_TRUE(waitForEvents(5));

    std::vector<std::string> fromA;
    std::vector<std::string> fromB;
    for (const auto &e : handler.events)
        (e.cam == camera(0) ? fromA : fromB).push_back(e.what);
    EXPECT_THAT(
        fromA, ElementsAre("file[a1.jpg]=AAA", "json3=..{\"camera\":\"A\"}", "json7={}", "file[]=A2"));
    EXPECT_THAT(fromB, ElementsAre("live=LIVEB"));
    EXPECT_EQ(camera(1)->status, CameraStatus::Receiving);
}

// Many messages that arrive together are handled one per turn of the event loop, so timers,
// input and drawing run between them instead of waiting for the whole backlog.
TEST_F(LinkLoopback, EventLoopRunsBetweenMessagesThatArriveTogether)
{
    auto a = connectBridge();
    QByteArray burst;
    for (int i = 0; i < 50; ++i)
        burst += frame(3, "..{\"camera\":\"C" + QByteArray::number(i) + "\"}");
    a->write(burst);
    ASSERT_TRUE(a->waitForBytesWritten(kTimeoutMs));
    // Everything is in the application's socket before the first message is handled.
    const auto tcp = tcpOf(camera(0));
    ASSERT_NE(tcp, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !handler.events.empty(); }, kTimeoutMs));

    // Work posted once the first message was handled runs long before the last one is.
    size_t handledWhenPostedWorkRan = 0;
    QMetaObject::invokeMethod(
        listener.get(), [&] { handledWhenPostedWorkRan = handler.events.size(); }, Qt::QueuedConnection);
    ASSERT_TRUE(waitForEvents(50));
    EXPECT_GT(handledWhenPostedWorkRan, 0u);
    EXPECT_LT(handledWhenPostedWorkRan, 10u) << "the backlog was handled in one run";
    for (size_t i = 0; i < 50; ++i)
        EXPECT_EQ(handler.events[i].what, "json3=..{\"camera\":\"C" + std::to_string(i) + "\"}");
}

// A peer that closes right after a burst: every message is still delivered before the record
// is marked lost.
TEST_F(LinkLoopback, BurstFollowedByCloseDeliversEveryMessageBeforeTheLoss)
{
    auto a = connectBridge();
    QByteArray burst;
    for (int i = 0; i < 200; ++i)
        burst += fileFrame("f" + QByteArray::number(i), QByteArray(1000, char('a' + i % 26)));
    a->write(burst);
    ASSERT_TRUE(a->waitForBytesWritten(kTimeoutMs));
    a->disconnectFromHost();
    ASSERT_TRUE(waitForStatus(camera(0), CameraStatus::NoSignal));
    ASSERT_EQ(handler.events.size(), 200u);
    for (size_t i = 0; i < 200; ++i) {
        EXPECT_EQ(handler.events[i].statusThen, CameraStatus::Receiving);
        EXPECT_EQ(handler.events[i].what.substr(0, 6 + std::to_string(i).size()), "file[f" + std::to_string(i));
    }
}

TEST_F(LinkLoopback, LargeFileArrivesWholeThroughTheSocket)
{
    auto a = connectBridge();
    QByteArray content(5 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = char(i * 31 % 251);
    a->write(fileFrame("big.raf", content) + frame(3, "..{}"));
    ASSERT_TRUE(waitForEvents(2));
    EXPECT_EQ(handler.events[0].what, "file[big.raf]=" + content.toStdString());
    EXPECT_EQ(handler.events[1].what, "json3=..{}");
}

TEST_F(LinkLoopback, CloseMarksNoSignalAndReconnectingMakesANewRecord)
{
    auto a = connectBridge();
    const auto first = camera(0);
    QSignalSpy changes(monitor.get(), &Monitor::objectWillChange);

    a->disconnectFromHost();
    ASSERT_TRUE(waitForStatus(first, CameraStatus::NoSignal));
    EXPECT_GE(changes.count(), 1);
    EXPECT_EQ(monitor->cameras().size(), 1) << "the record is kept";
    EXPECT_EQ(monitor->activeCameraId(), first->id());

    auto again = connectBridge();
    ASSERT_EQ(monitor->cameras().size(), 2);
    EXPECT_NE(camera(1)->id(), first->id());
    EXPECT_EQ(camera(1)->status, CameraStatus::Receiving);
    EXPECT_EQ(first->status, CameraStatus::NoSignal);
    EXPECT_EQ(monitor->activeCameraId(), first->id()) << "the lost camera stays active";
}

TEST_F(LinkLoopback, PayloadCutShortIsPostedWithoutPayloadBeforeTheRecordIsLost)
{
    auto a = connectBridge();
    const auto cam = camera(0);
    a->write(frame(3, "..{\"camera\":\"A\"}") + header(7, 100) + QByteArray(10, '{'));
    ASSERT_TRUE(a->waitForBytesWritten(kTimeoutMs));
    a->disconnectFromHost();
    ASSERT_TRUE(waitForStatus(cam, CameraStatus::NoSignal));
    ASSERT_THAT(handler.whats(), ElementsAre("json3=..{\"camera\":\"A\"}", "json7=<none>"));
    EXPECT_EQ(handler.events[1].statusThen, CameraStatus::Receiving);
}

TEST_F(LinkLoopback, FileCutShortAndHugeAnnouncementsDeliverNothing)
{
    auto a = connectBridge();
    auto b = connectBridge();
    a->write(header(1, 0xffffffffu)
        + QByteArray("\x04\x00"
                     "name",
            6)
        + QByteArray(1000, 'c'));
    b->write(fileFrame("cut.jpg", "0123456789").left(20));
    ASSERT_TRUE(a->waitForBytesWritten(kTimeoutMs));
    ASSERT_TRUE(b->waitForBytesWritten(kTimeoutMs));
    a->disconnectFromHost();
    b->disconnectFromHost();
    ASSERT_TRUE(waitForStatus(camera(0), CameraStatus::NoSignal));
    ASSERT_TRUE(waitForStatus(camera(1), CameraStatus::NoSignal));
    EXPECT_THAT(handler.events, IsEmpty());
    EXPECT_EQ(tcpOf(camera(0))->bytesRead(), 8u + 6u + 1000u);
}

// After a frame that stops reading, what the peer sends is dropped as it comes, so its close is
// still seen, however much it queued, and nothing of it is kept. The frames before the stop are
// handled one per turn, so the socket's buffer is already full when the reader stops.
TEST_F(LinkLoopback, StoppedConnectionDropsWhatFollowsAndIsMarkedLostWhenThePeerCloses)
{
    const QByteArray stops[] = { header(3, 4, 'H', 'V', 2), fileFrame("\xff.jpg", "CONTENT") };
    QByteArray before;
    for (int k = 0; k < 50; ++k)
        before += frame(7, "{}");
    const QByteArray chunk(1 << 20, 'x');
    const QByteArray late = frame(3, "..{\"camera\":\"late\"}");
    for (qsizetype i = 0; i < std::ssize(stops); ++i) {
        auto bridge = connectBridge();
        const auto cam = camera(i);
        TcpConnection *tcp = tcpOf(cam);
        ASSERT_NE(tcp, nullptr);
        bridge->write(before + stops[i]);
        for (int k = 0; k < 8; ++k)
            bridge->write(chunk);
        bridge->write(late);
        bridge->disconnectFromHost();
        qint64 mostBuffered = 0;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                mostBuffered = std::max(mostBuffered, tcp->bufferedBytes());
                return cam->status == CameraStatus::NoSignal;
            },
            kTimeoutMs))
            << i;
        EXPECT_TRUE(tcp->readingStopped());
        EXPECT_EQ(tcp->bytesRead(), quint64(before.size() + stops[i].size() + 8 * chunk.size() + late.size()))
            << "all was drained";
        EXPECT_LE(mostBuffered, TcpConnection::kReadBufferSize);
    }
    ASSERT_EQ(handler.events.size(), 100u);
    for (const auto &e : handler.events)
        EXPECT_EQ(e.what, "json7={}");
}

// A hello, state or live-view payload over its cap is dropped unread and the frames after it are
// handled; the first one is logged, once per connection.
TEST_F(LinkLoopback, OversizedPayloadIsSkippedAndReadingGoesOn)
{
    static int linkWarnings = 0;
    linkWarnings = 0;
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &ctx, const QString &) {
              if (type == QtWarningMsg && qstrcmp(ctx.category, "halvane.link") == 0)
                  ++linkWarnings;
          });
    auto a = connectBridge();
    const QByteArray state(FrameReader::kMaxJsonPayload + 1, '{');
    a->write(frame(7, state) + fileFrame("one.jpg", "PHOTO1")
        + frame(5, QByteArray(FrameReader::kMaxLiveViewPayload + 1, 'L')) + fileFrame("two.jpg", "PHOTO2"));
    const bool arrived = waitForEvents(2);
    qInstallMessageHandler(previous);
    ASSERT_TRUE(arrived);
    EXPECT_THAT(handler.whats(), ElementsAre("file[one.jpg]=PHOTO1", "file[two.jpg]=PHOTO2"));
    EXPECT_EQ(linkWarnings, 1);
    EXPECT_EQ(camera(0)->status, CameraStatus::Receiving);
}

// Through the real inbound handling: a lost active camera gives way to the first other camera
// that introduces itself or sends a photo.
TEST_F(LinkLoopback, CameraThatSendsTakesOverFromALostActiveCamera)
{
    listener = std::make_unique<Listener>(*monitor, makeMonitorInbound(*monitor));
    ASSERT_TRUE(listener->listen(QHostAddress::LocalHost, 0));
    monitor->useChosenFolder(QUrl::fromLocalFile(dir.filePath("capture")));
    auto photoOf = [](const std::shared_ptr<CameraConnection> &cam) {
        return QTest::qWaitFor([&] { return !cam->photos.isEmpty(); }, kTimeoutMs);
    };

    // A connection that opens and closes at once becomes the active camera, and is lost.
    connectBridge()->disconnectFromHost();
    ASSERT_TRUE(waitForStatus(camera(0), CameraStatus::NoSignal));
    ASSERT_EQ(monitor->activeCamera(), camera(0).get());

    // The real camera: connecting changes nothing, its hello makes it active, its photo shows.
    auto real = connectBridge();
    EXPECT_EQ(monitor->activeCamera(), camera(0).get());
    real->write(frame(3, "..{\"camera\":\"Real\"}") + fileFrame("IMG_1.JPG", "photo one"));
    ASSERT_TRUE(photoOf(camera(1)));
    EXPECT_EQ(camera(1)->name, "Real");
    EXPECT_EQ(monitor->activeCamera(), camera(1).get());
    ASSERT_NE(monitor->selectedPhoto(), nullptr);
    EXPECT_EQ(monitor->selectedPhoto()->filename, "IMG_1.JPG");

    // The bridge drops and reconnects: its new record takes over with its first photo.
    real->disconnectFromHost();
    ASSERT_TRUE(waitForStatus(camera(1), CameraStatus::NoSignal));
    auto again = connectBridge();
    EXPECT_EQ(monitor->activeCamera(), camera(1).get());
    again->write(fileFrame("IMG_2.JPG", "photo two"));
    ASSERT_TRUE(photoOf(camera(2)));
    EXPECT_EQ(monitor->activeCamera(), camera(2).get());
    ASSERT_NE(monitor->selectedPhoto(), nullptr);
    EXPECT_EQ(monitor->selectedPhoto()->filename, "IMG_2.JPG");
}

TEST_F(LinkLoopback, CommandsReachTheBridgeAndAreDroppedOnceItIsGone)
{
    auto a = connectBridge();
    const auto cam = camera(0);
    monitor->triggerShutter();
    ASSERT_TRUE(QTest::qWaitFor([&] { return a->bytesAvailable() >= 25; }, kTimeoutMs));
    EXPECT_EQ(a->readAll(), QByteArray("\x48\x56\x01\x06\x11\x00\x00\x00", 8) + "{\"cmd\":\"shutter\"}");

    a->disconnectFromHost();
    ASSERT_TRUE(waitForStatus(cam, CameraStatus::NoSignal));
    monitor->triggerShutter(); // goes nowhere, reports nothing
    monitor->selectCamera(*cam);
    EXPECT_EQ(monitor->activeCameraId(), cam->id());
}

TEST_F(LinkLoopback, AcceptedConnectionsUseKeepAlive)
{
    auto a = connectBridge();
    TcpConnection *tcp = tcpOf(camera(0));
    ASSERT_NE(tcp, nullptr);
    const int fd = int(tcp->socketDescriptor());
    ASSERT_GE(fd, 0);
    auto get = [fd](int level, int option) {
        int value = -1;
        socklen_t size = sizeof value;
        EXPECT_EQ(getsockopt(fd, level, option, &value, &size), 0);
        return value;
    };
    EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
    const int idle = get(IPPROTO_TCP, TCP_KEEPIDLE);
    const int interval = get(IPPROTO_TCP, TCP_KEEPINTVL);
    const int count = get(IPPROTO_TCP, TCP_KEEPCNT);
    EXPECT_LE(idle + interval * count, 60) << "a vanished bridge is noticed within a minute";
    const int userTimeout = get(IPPROTO_TCP, TCP_USER_TIMEOUT);
    EXPECT_GT(userTimeout, 0);
    EXPECT_LE(userTimeout, 60000);
}

TEST_F(LinkLoopback, NothingHappensOnceTheMonitorIsGone)
{
    auto a = connectBridge();
    a->write(frame(3, "..{}"));
    monitor.reset(); // drops the records and their sockets
    auto b = std::make_unique<QTcpSocket>();
    b->connectToHost(QHostAddress::LocalHost, listener->port());
    ASSERT_TRUE(b->waitForConnected(kTimeoutMs));
    b->write(frame(3, "..{}"));
    // The application closed its side of the first connection when its record went away.
    EXPECT_TRUE(QTest::qWaitFor([&] { return a->state() == QAbstractSocket::UnconnectedState; }, kTimeoutMs));
    EXPECT_THAT(handler.events, IsEmpty());
}

TEST(LinkListener, FailureToListenIsLoggedAndLeavesListeningFalse)
{
    QTemporaryDir dir;
    Monitor monitor(std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat));
    RecordingHandler handler;
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));

    // Capture standard error while the listener fails on the occupied port.
    QTemporaryFile log;
    ASSERT_TRUE(log.open());
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(log.handle(), STDERR_FILENO), 0);
    Listener listener(monitor, handler);
    const bool ok = listener.listen(QHostAddress::LocalHost, occupant.serverPort());
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);

    EXPECT_FALSE(ok);
    EXPECT_FALSE(listener.isListening());
    EXPECT_FALSE(monitor.listening());
    QFile written(log.fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().startsWith("listener error ")) << "one line to the log";

    // Trying again once the port is free works.
    const quint16 port = occupant.serverPort();
    occupant.close();
    EXPECT_TRUE(listener.listen(QHostAddress::LocalHost, port));
    EXPECT_TRUE(monitor.listening());
}
