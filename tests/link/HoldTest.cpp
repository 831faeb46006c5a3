#include <QTcpSocket>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>

#include <map>

#include "Frames.h"
#include "link/CameraLink.h"
#include "link/TcpConnection.h"
#include "model/MemoryBudget.h"

using namespace frames;
using ::testing::ElementsAre;
using Cam = std::shared_ptr<CameraConnection>;

namespace {

// A link on loopback whose photos can be held; what each connection delivers is written down per
// record, a photo as its name and whether its content is what was sent under that name.
class Hold : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Listener &l = link.listener();
        QObject::connect(
            &l, &Listener::liveFrameReceived, [this](const Cam &c, const std::optional<QByteArray> &p) {
                log(c, "live=" + p.value_or("<none>").toStdString());
            });
        QObject::connect(
            &l, &Listener::fileReceived, [this](const Cam &c, const QString &n, const QByteArray &d) {
                log(c, "file " + n.toStdString() + (d == sent[n] ? "" : " differs"));
            });
        QObject::connect(&l, &Listener::connectionLost, [this](const Cam &c) { log(c, "lost"); });
        ASSERT_TRUE(link.start(QHostAddress::LocalHost, 0, CameraLink::Advertise::No));
    }
    void TearDown() override { MemoryBudget::global().resetShares(); }
    void log(const Cam &cam, const std::string &what)
    {
        events[std::find(cams.begin(), cams.end(), cam) - cams.begin()].push_back(what);
    }
    std::unique_ptr<QTcpSocket> connectBridge()
    {
        auto bridge = std::make_unique<QTcpSocket>();
        bridge->connectToHost(QHostAddress::LocalHost, link.listener().port());
        EXPECT_TRUE(bridge->waitForConnected(kTimeoutMs) && accepted.wait(kTimeoutMs));
        cams.push_back(accepted.takeFirst().at(0).value<Cam>());
        events.emplace_back();
        return bridge;
    }
    // A file frame whose content differs per photo and per byte, so a photo cut or mixed up shows.
    QByteArray photo(const QString &name, qsizetype size)
    {
        QByteArray &content = sent[name];
        content.resize(size);
        for (qsizetype i = 0; i < size; ++i)
            content[i] = char((i * 31 + qsizetype(sent.size())) % 251);
        return fileFrame(name.toUtf8(), content);
    }
    // Connection i has handled one message and left `rest` bytes in its socket (or wrongly more).
    bool stoppedAfterOne(size_t i, qint64 rest)
    {
        return QTest::qWaitFor(
            [&] { return events[i].size() > 1 || (!events[i].empty() && tcp(i)->bufferedBytes() == rest); },
            kTimeoutMs);
    }
    bool until(size_t i, const std::string &last)
    {
        return QTest::qWaitFor([&] { return !events[i].empty() && events[i].back() == last; }, kTimeoutMs);
    }
    TcpConnection *tcp(size_t i) const { return dynamic_cast<TcpConnection *>(cams[i]->conn()); }

    static constexpr int kTimeoutMs = 10000;
    CameraLink link;
    QSignalSpy accepted { &link.listener(), &Listener::cameraAccepted };
    std::map<QString, QByteArray> sent; // photo content by name
    std::vector<Cam> cams;
    std::vector<std::vector<std::string>> events; // per record
};

} // namespace

// While held, a connection stops at a photo's content, with the content left in its socket; the
// frames before it, and those of other connections, keep coming. A connection accepted while
// held starts held, and one that closes hands on the complete photo it sent. Release resumes
// every connection where it stopped.
TEST_F(Hold, PhotoContentWaitsForReleaseWhileOtherFramesKeepComing)
{
    auto a = connectBridge();
    link.setPhotosHeld(true);
    EXPECT_TRUE(link.photosHeld());
    auto b = connectBridge(), c = connectBridge();
    a->write(frame(5, "A1") + photo("a.jpg", 30000) + frame(5, "A2"));
    ASSERT_TRUE(stoppedAfterOne(0, sent["a.jpg"].size() + frame(5, "A2").size()));
    b->write(frame(5, "B1") + photo("b.jpg", 10) + frame(5, "B2"));
    ASSERT_TRUE(stoppedAfterOne(1, 10 + frame(5, "B2").size()));
    c->write(photo("c.jpg", 40000));
    c->disconnectFromHost();
    ASSERT_TRUE(until(2, "lost"));
    EXPECT_THAT(events[0], ElementsAre("live=A1"));
    EXPECT_THAT(events[1], ElementsAre("live=B1"));
    EXPECT_THAT(events[2], ElementsAre("file c.jpg", "lost"));

    link.setPhotosHeld(false);
    EXPECT_FALSE(link.photosHeld());
    ASSERT_TRUE(until(0, "live=A2") && until(1, "live=B2"));
    EXPECT_THAT(events[0], ElementsAre("live=A1", "file a.jpg", "live=A2"));
    EXPECT_THAT(events[1], ElementsAre("live=B1", "file b.jpg", "live=B2"));
}

// A photo whose content had begun when the hold came is finished; the photos after it stay with
// the peer, which TCP stops once the connection's bounded buffer and the kernel's are full.
TEST_F(Hold, PeerIsHeldBackAfterThePhotoItHadBegun)
{
    auto a = connectBridge();
    const QByteArray first = photo("first.raw", 3 << 20);
    a->write(first.left(first.size() / 2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tcp(0)->bytesRead() > 1000; }, kTimeoutMs));
    link.setPhotosHeld(true);
    a->write(first.mid(first.size() / 2));
    // More photos, until the peer's system takes no more of them.
    int count = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            if (a->bytesToWrite() == 0 && count < 64)
                a->write(photo("p" + QString::number(count++), 4 << 20));
            pollfd out { int(a->socketDescriptor()), POLLOUT, 0 };
            return events[0].size() > 1
                || (a->bytesToWrite() > 0 && poll(&out, 1, 0) == 0
                    && tcp(0)->bufferedBytes() == TcpConnection::kReadBufferSize);
        },
        kTimeoutMs));
    EXPECT_THAT(events[0], ElementsAre("file first.raw"));
    EXPECT_EQ(tcp(0)->bytesRead(), quint64(first.size() + 8 + 2 + 2))
        << "only the next photo's header and name";

    link.setPhotosHeld(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return events[0].size() == size_t(count) + 1; }, kTimeoutMs));
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(events[0][size_t(i) + 1], "file p" + std::to_string(i));
}

// File content being gathered counts in the Receiving share over every connection. Past it, a
// peer whose declared file does not fit under the hard cap waits in TCP while a photo that fits
// still comes in from another camera; once alone on the link, the large file reads on.
TEST_F(Hold, FileContentWaitsForRoomInTheReceivingShare)
{
    MemoryBudget &budget = MemoryBudget::global();
    budget.setShare(MemoryBudget::Part::Receiving, 1 << 20);
    budget.setReceivingHardCap(3 << 20);
    const auto receiving = [&] { return budget.used(MemoryBudget::Part::Receiving); };
    auto a = connectBridge(), b = connectBridge();
    const QByteArray small = photo("b.jpg", 3 << 19), large = photo("a.raw", 8 << 20);
    b->write(small.left(100 << 10));
    const qint64 header = 8 + 2 + 5;
    ASSERT_TRUE(QTest::qWaitFor([&] { return receiving() == (100 << 10) - header; }, kTimeoutMs));
    a->write(large.left(2 << 20));
    ASSERT_TRUE(QTest::qWaitFor([&] { return tcp(0)->waitingForRoom(); }, kTimeoutMs));
    EXPECT_EQ(receiving(), 1 << 20) << "up to the share, not what arrived";

    b->write(small.mid(100 << 10));
    ASSERT_TRUE(until(1, "file b.jpg"));
    a->write(large.mid(2 << 20));
    ASSERT_TRUE(until(0, "file a.raw"));
    EXPECT_EQ(receiving(), 0);
}
