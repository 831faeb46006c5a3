// DNS-SD advertisement and the bridge simulator, against the namespace's own avahi-daemon and
// a bare TCP server standing in for the application (so these tests depend on nothing but the
// advertiser and the simulator).

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include "E2eSupport.h"
#include "ServiceBrowser.h"
#include "link/ServiceAdvertiser.h"

namespace {

struct Frame
{
    quint8 type = 0;
    QByteArray payload;
};

// The test's own reading of the frame layout: magic, version, type, 32-bit LE length.
class FrameCollector
{
public:
    void feed(const QByteArray &bytes)
    {
        m_buffer += bytes;
        while (m_buffer.size() >= 8) {
            ASSERT_EQ(m_buffer.left(3), QByteArray("HV\x01", 3)) << "bad header from the bridge";
            const quint32 length = quint8(m_buffer[4]) | quint8(m_buffer[5]) << 8 | quint8(m_buffer[6]) << 16
                                   | quint32(quint8(m_buffer[7])) << 24;
            if (quint32(m_buffer.size() - 8) < length)
                return;
            frames.append({quint8(m_buffer[3]), m_buffer.mid(8, length)});
            m_buffer.remove(0, 8 + length);
        }
    }
    QList<Frame> frames;

private:
    QByteArray m_buffer;
};

QByteArray commandFrame(const QByteArray &json)
{
    QByteArray out("HV\x01\x06", 4);
    for (int i = 0; i < 4; ++i)
        out.append(char((json.size() >> (8 * i)) & 0xff));
    return out + json;
}

QJsonObject stateOf(const Frame &frame)
{
    return QJsonDocument::fromJson(frame.payload).object();
}

class Dnssd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(insideTestNamespace()) << "run through scripts/netns-run";
        ASSERT_FALSE(bridgeProgram().isEmpty());
    }
    AvahiDaemon avahi;
};

TEST_F(Dnssd, BridgeFindsAdvertisedServiceAndSpeaksTheProtocol)
{
    avahi.start();
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::Any, 0));
    ServiceAdvertiser advertiser(ServiceAdvertiser::serviceName(QStringLiteral("Estudio Uno"), QStringLiteral("ws1")),
                                 server.serverPort());
    QSignalSpy registered(&advertiser, &ServiceAdvertiser::registered);
    advertiser.start();
    ASSERT_TRUE(registered.wait(20000));
    EXPECT_EQ(advertiser.registeredName(), QStringLiteral("Estudio Uno (Mac)"));

    LineProcess bridge(QStringLiteral("bridge"));
    bridge.start(bridgeProgram(), {QStringLiteral("--service-name"), QStringLiteral("Estudio Uno (Mac)"),
                                   QStringLiteral("--name"), QStringLiteral("Cam A"),
                                   QStringLiteral("--photo-size"), QStringLiteral("320x240")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 20000)) << bridge.transcript().toStdString();
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    EXPECT_TRUE(bridge.waitForLine(QStringLiteral("^resolved %1 ").arg(server.serverPort())).hasMatch());

    FrameCollector in;
    QObject::connect(peer.get(), &QTcpSocket::readyRead, [&] { in.feed(peer->readAll()); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return in.frames.size() >= 2; }, 20000));

    // Hello: two leading bytes, then the JSON naming the camera.
    ASSERT_EQ(in.frames[0].type, 3);
    EXPECT_EQ(QJsonDocument::fromJson(in.frames[0].payload.mid(2)).object(),
              QJsonObject({{QStringLiteral("camera"), QStringLiteral("Cam A")}}));

    // State: the ten vocabulary keys and exposureComp, each current among its values.
    ASSERT_EQ(in.frames[1].type, 7);
    const QJsonObject state = stateOf(in.frames[1]);
    const QStringList keys = {"shutterSpeed", "aperture", "iso", "colorTemperature", "whiteBalanceMode",
                              "filmSimulation", "dynamicRangeMode", "grainEffect", "wbTune1", "wbTune2",
                              "exposureComp"};
    for (const QString &key : keys) {
        const QJsonObject param = state.value(key).toObject();
        ASSERT_TRUE(param.contains(QStringLiteral("current"))) << key.toStdString();
        EXPECT_TRUE(param.value(QStringLiteral("values")).toArray().contains(param.value(QStringLiteral("current"))))
            << key.toStdString();
    }
    EXPECT_TRUE(state.value(QStringLiteral("supported")).isArray());
    EXPECT_TRUE(state.value(QStringLiteral("iso")).toObject().value(QStringLiteral("values")).toArray().contains(4294967295.0));
    EXPECT_TRUE(state.value(QStringLiteral("shutterSpeed")).toObject().value(QStringLiteral("values")).toArray().contains(16667));

    // requestState → one more state frame; the bridge logs the exact JSON it got.
    peer->write(commandFrame(R"({"cmd":"requestState"})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return in.frames.size() >= 3; }, 20000));
    EXPECT_EQ(in.frames[2].type, 7);
    EXPECT_TRUE(bridge.waitForLine(QStringLiteral(R"(^command 1 \{"cmd":"requestState"\}$)")).hasMatch());

    // setParam with an allowed value changes the state; one the camera does not allow is
    // answered with the unchanged state.
    peer->write(commandFrame(R"({"cmd":"setParam","param":"iso","value":800})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return in.frames.size() >= 4; }, 20000));
    EXPECT_EQ(stateOf(in.frames[3]).value("iso").toObject().value("current").toInteger(), 800);
    peer->write(commandFrame(R"({"cmd":"setParam","param":"iso","value":801})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return in.frames.size() >= 5; }, 20000));
    EXPECT_EQ(stateOf(in.frames[4]).value("iso").toObject().value("current").toInteger(), 800);
    EXPECT_TRUE(bridge.waitForLine(QStringLiteral("^param 1 iso 801 rejected$")).hasMatch());

    // A frame of another type from the application is skipped, not taken for a command.
    peer->write(QByteArray("HV\x01\x09\x03\x00\x00\x00xyz", 11));
    // shutter → a photo: file frame with the name, then a JPEG whose EXIF follows the state.
    peer->write(commandFrame(R"({"cmd":"shutter"})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return in.frames.size() >= 6; }, 20000)) << bridge.transcript().toStdString();
    const Frame &file = in.frames[5];
    ASSERT_EQ(file.type, 1);
    const int nameLength = quint8(file.payload[0]) | quint8(file.payload[1]) << 8;
    EXPECT_EQ(file.payload.mid(2, nameLength), QByteArray("IMG_0001.JPG"));
    const QByteArray jpeg = file.payload.mid(2 + nameLength);
    EXPECT_EQ(QImage::fromData(jpeg).size(), QSize(320, 240));
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()), long(jpeg.size()));
    image->readMetadata();
    const Exiv2::ExifData &exif = image->exifData();
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Photo.ISOSpeedRatings"))->toLong(), 800);
    EXPECT_EQ(exif.findKey(Exiv2::ExifKey("Exif.Image.Model"))->toString(), "Cam A");
    EXPECT_EQ(bridge.count(QStringLiteral("^command 1 ")), 4);
}

TEST_F(Dnssd, NameTakenOnTheNetworkGetsAvahisAlternative)
{
    avahi.start();
    const QString name = QStringLiteral("Twin (Mac)");
    ServiceAdvertiser first(name, 40001);
    ServiceAdvertiser second(name, 40002);
    QSignalSpy firstUp(&first, &ServiceAdvertiser::registered);
    QSignalSpy secondUp(&second, &ServiceAdvertiser::registered);
    first.start();
    ASSERT_TRUE(firstUp.wait(20000));
    second.start();
    ASSERT_TRUE(secondUp.count() > 0 || secondUp.wait(20000));
    EXPECT_EQ(first.registeredName(), name);
    EXPECT_EQ(second.registeredName(), QStringLiteral("Twin (Mac) #2"));

    // Both are visible to a browsing bridge, each with its own port.
    ServiceBrowser browser(QString::fromLatin1(ServiceAdvertiser::kServiceType));
    QMap<QString, quint16> seen;
    QObject::connect(&browser, &ServiceBrowser::resolved,
                     [&](const QString &n, const QString &, quint16 port) { seen.insert(n, port); });
    ASSERT_TRUE(browser.start());
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() >= 2; }, 20000));
    EXPECT_EQ(seen.value(name), 40001);
    EXPECT_EQ(seen.value(QStringLiteral("Twin (Mac) #2")), 40002);
}

TEST_F(Dnssd, RegistersWhenTheDaemonAppearsAndAgainAfterItRestarts)
{
    ServiceAdvertiser advertiser(QStringLiteral("Late (Mac)"), 40003);
    QSignalSpy registered(&advertiser, &ServiceAdvertiser::registered);
    QSignalSpy withdrawn(&advertiser, &ServiceAdvertiser::withdrawn);
    advertiser.start();
    QCoreApplication::processEvents();
    EXPECT_FALSE(advertiser.isRegistered());

    // A bridge that starts browsing before any daemon exists waits for it too.
    LineProcess bridge(QStringLiteral("bridge"));
    bridge.start(bridgeProgram(), {QStringLiteral("--service-name"), QStringLiteral("Late (Mac)"),
                                   QStringLiteral("--exit-after-ms"), QStringLiteral("120000")});

    avahi.start();
    ASSERT_TRUE(registered.wait(20000));
    EXPECT_EQ(advertiser.registeredName(), QStringLiteral("Late (Mac)"));
    EXPECT_TRUE(bridge.waitForLine(QStringLiteral("^resolved 40003 \\S+ Late \\(Mac\\)$")).hasMatch())
        << bridge.transcript().toStdString();

    avahi.stop();
    ASSERT_TRUE(withdrawn.count() > 0 || withdrawn.wait(20000));
    EXPECT_FALSE(advertiser.isRegistered());

    avahi.start();
    ASSERT_TRUE(registered.wait(20000));
    EXPECT_EQ(advertiser.registeredName(), QStringLiteral("Late (Mac)"));
    // Seen afresh by a new browser on the restarted daemon.
    ServiceBrowser browser(QString::fromLatin1(ServiceAdvertiser::kServiceType));
    QStringList names;
    QObject::connect(&browser, &ServiceBrowser::resolved,
                     [&](const QString &n, const QString &, quint16) { names.append(n); });
    ASSERT_TRUE(browser.start());
    ASSERT_TRUE(QTest::qWaitFor([&] { return names.contains(QStringLiteral("Late (Mac)")); }, 20000));
}

} // namespace
