// Several cameras on one bridge, through fake cameras and a stand-in for the application on
// loopback: one connection each, identical bodies told apart, cameras plugged in and out while
// it runs, and a connection that the application drops.
#include <QtEndian>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include "FakeCamera.h"
#include "UsbBridge.h"

using namespace usb;

namespace {

class FakeBackend : public CameraBackend
{
public:
    QList<DetectedCamera> detect() override
    {
        std::lock_guard lock(m_lock);
        return m_plugged;
    }
    std::unique_ptr<CameraDevice> open(const DetectedCamera &camera, QString &) override
    {
        std::lock_guard lock(m_lock);
        auto device = std::make_unique<FakeCamera>();
        device->config.append({"serialnumber", ConfigItem::Kind::Text, QString(camera.port).replace("usb:", "S")});
        m_opened[camera.port] = device.get();
        return device;
    }
    // Plugs a camera in, or without a model pulls it out.
    void plug(const QString &port, const QString &model = {})
    {
        std::lock_guard lock(m_lock);
        if (!model.isEmpty())
            return m_plugged.append({model, port});
        m_plugged.removeIf([&](const DetectedCamera &c) { return c.port == port; });
        m_opened.take(port)->unplug();
    }
    FakeCamera *device(const QString &port)
    {
        std::lock_guard lock(m_lock);
        return m_opened.value(port);
    }

private:
    std::mutex m_lock;
    QList<DetectedCamera> m_plugged;
    QMap<QString, FakeCamera *> m_opened;
};

// The application's side: every connection with the frames it brought, by type.
struct Peer {
    QTcpSocket *socket;
    QByteArray buffer{};
    QString name{}; // from the latest hello
    QStringList files{};
    bool closed = false;
};

class UsbBridgeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                peers.push_back(std::make_unique<Peer>(Peer{s}));
                Peer *peer = peers.back().get();
                QObject::connect(s, &QTcpSocket::readyRead, [peer] { read(*peer); });
                QObject::connect(s, &QTcpSocket::disconnected, [peer] { peer->closed = true; });
            }
        });
    }
    static void read(Peer &peer)
    {
        peer.buffer += peer.socket->readAll();
        while (peer.buffer.size() >= 8) {
            const quint32 length = qFromLittleEndian<quint32>(peer.buffer.constData() + 4);
            if (quint32(peer.buffer.size()) < 8 + length)
                return;
            const QByteArray payload = peer.buffer.mid(8, length);
            if (peer.buffer[3] == 3)
                peer.name = QString::fromUtf8(payload.mid(2)).section('"', 3, 3);
            if (peer.buffer[3] == 1)
                peer.files.append(QString::fromUtf8(payload.mid(2, quint8(payload[0]) | quint8(payload[1]) << 8)));
            peer.buffer.remove(0, 8 + length);
        }
    }
    // The names that the open connections go by, and the open connection going by `name`.
    QStringList names() const
    {
        QStringList out;
        for (const auto &peer : peers)
            out.append(peer->closed ? QString() : peer->name);
        out.removeAll(QString());
        out.sort();
        return out;
    }
    Peer *open(const QString &name)
    {
        auto it = std::find_if(peers.begin(), peers.end(), [&](const auto &p) { return !p->closed && p->name == name; });
        return it == peers.end() ? nullptr : it->get();
    }

    std::vector<std::unique_ptr<Peer>> peers; // outlives the server's sockets
    QTcpServer server;
};

TEST_F(UsbBridgeTest, CamerasComeAndGoEachOnItsOwnConnection)
{
    FakeBackend backend;
    backend.plug("usb:1", "M");
    backend.plug("usb:2", "M");
    SessionOptions options;
    options.deleteFromCard = true;
    UsbBridge bridge(backend, options);
    bridge.setTarget(QStringLiteral("127.0.0.1"), server.serverPort());
    bridge.start(20);
    EXPECT_TRUE(QTest::qWaitFor([&] { return names() == QStringList{"M (S1)", "M (S2)"}; }, 10000)) << names().join(", ").toStdString();

    // Plugged in later: taken up without a restart. One of two alike unplugged: the other is
    // then just its model; plugged in again: a connection of its own again.
    backend.plug("usb:3", "N");
    EXPECT_TRUE(QTest::qWaitFor([&] { return names() == QStringList{"M (S1)", "M (S2)", "N"}; }, 10000));
    backend.plug("usb:1");
    EXPECT_TRUE(QTest::qWaitFor([&] { return names() == QStringList{"M", "N"}; }, 10000)) << names().join(", ").toStdString();
    backend.plug("usb:1", "M");
    EXPECT_TRUE(QTest::qWaitFor([&] { return names() == QStringList{"M (S1)", "M (S2)", "N"}; }, 10000));

    // A photo reaches the application and then leaves the card.
    Peer *n = open("N");
    ASSERT_TRUE(n);
    n->socket->write(QByteArray("HV\x01\x06\x11\x00\x00\x00{\"cmd\":\"shutter\"}", 25));
    EXPECT_TRUE(QTest::qWaitFor([&] { return n->files == QStringList{"IMG_0001.JPG"}; }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return backend.device("usb:3")->cardSize() == 0; }, 10000));

    // The application drops every connection: each camera comes back on a new one.
    const size_t before = peers.size();
    for (const auto &peer : peers)
        peer->socket->abort();
    EXPECT_TRUE(QTest::qWaitFor([&] { return peers.size() == before + 3 && names() == QStringList{"M (S1)", "M (S2)", "N"}; }, 10000));
    n = open("N");
    ASSERT_TRUE(n);
    n->socket->write(QByteArray("HV\x01\x06\x11\x00\x00\x00{\"cmd\":\"shutter\"}", 25));
    EXPECT_TRUE(QTest::qWaitFor([&] { return n->files == QStringList{"IMG_0002.JPG"}; }, 10000));
}

} // namespace
