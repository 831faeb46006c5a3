// DNS-SD advertisement and the bridge simulator, against the namespace's own avahi-daemon and a
// bare TCP server standing in for the application (so these tests depend on nothing but the
// advertiser and the simulator).

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QtEndian>

#include <exiv2/exiv2.hpp>

#include "Frames.h"
#include "HostHarness.h"
#include "ServiceBrowser.h"
#include "link/ServiceAdvertiser.h"
#include "params/ParamFormat.h"

namespace {

using Dnssd = HostTest;

TEST_F(Dnssd, BridgeFindsAdvertisedServiceAndSpeaksTheProtocol)
{
    startAvahi();
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::Any, 0));
    ServiceAdvertiser advertiser(ServiceAdvertiser::serviceName("Estudio Uno", "ws1"), server.serverPort());
    advertiser.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return advertiser.isRegistered(); }, 20000));
    EXPECT_EQ(advertiser.registeredName(), "Estudio Uno (Mac)");
    LineProcess &b = bridge({"--service-name", "Estudio Uno (Mac)", "--name", "Cam A", "--photo-size", "320x240"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.hasPendingConnections(); }, 20000));
    const std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    EXPECT_TRUE(b.waitForLine(QStringLiteral("^resolved %1 ").arg(server.serverPort())).hasMatch());

    // The test's own reading of the frame layout: "HV", version 1, type, 32-bit LE length.
    QByteArray buffer;
    QList<std::pair<int, QByteArray>> in; // type and payload of each frame
    QObject::connect(peer.get(), &QTcpSocket::readyRead, [&] {
        buffer += peer->readAll();
        for (quint32 n; buffer.size() >= 8 && buffer.size() - 8 >= (n = qFromLittleEndian<quint32>(buffer.constData() + 4));
             buffer.remove(0, 8 + n)) {
            EXPECT_EQ(buffer.left(3), QByteArray("HV\x01", 3));
            in.append({quint8(buffer[3]), buffer.mid(8, n)});
        }
    });
    const auto received = [&](int n) { return QTest::qWaitFor([&] { return in.size() >= n; }, 20000); };
    const auto json = [&](int i) -> const QJsonObject { return QJsonDocument::fromJson(in.at(i).second).object(); };
    const auto send = [&](const char *json) { peer->write(frames::frame(frames::Command, json)); };
    ASSERT_TRUE(received(2));
    // Hello: two leading bytes, then the JSON naming the camera.
    EXPECT_EQ(in[0].first, 3);
    EXPECT_EQ(QJsonDocument::fromJson(in[0].second.mid(2)).object(), QJsonObject({{"camera", "Cam A"}}));
    // State: every key of the vocabulary and exposureComp, each current among its values.
    ASSERT_EQ(in[1].first, 7);
    for (const QString &key : ParamFormat::paramOrder() + QStringList{"exposureComp"})
        EXPECT_TRUE(json(1)[key]["values"].toArray().contains(json(1)[key]["current"])) << key.toStdString();
    EXPECT_TRUE(json(1)["supported"].isArray());
    EXPECT_TRUE(json(1)["iso"]["values"].toArray().contains(4294967295.0));
    EXPECT_TRUE(json(1)["shutterSpeed"]["values"].toArray().contains(16667));

    // requestState: one more state frame; the bridge logs the exact JSON it got.
    send(R"({"cmd":"requestState"})");
    ASSERT_TRUE(received(3));
    EXPECT_EQ(in[2].first, 7);
    EXPECT_TRUE(b.waitForLine(R"(^command 1 \{"cmd":"requestState"\}$)").hasMatch());
    // An allowed value changes the state; one the camera does not allow is answered unchanged.
    send(R"({"cmd":"setParam","param":"iso","value":800})");
    send(R"({"cmd":"setParam","param":"iso","value":801})");
    ASSERT_TRUE(received(5));
    EXPECT_EQ(json(3)["iso"]["current"].toInteger(), 800);
    EXPECT_EQ(json(4)["iso"]["current"].toInteger(), 800);
    EXPECT_TRUE(b.waitForLine("^param 1 iso 801 rejected$").hasMatch());
    // A frame of another type is skipped, not taken for a command; the shutter brings a file frame
    // (name length, name, JPEG) whose EXIF follows the state.
    peer->write(frames::frame(9, "xyz"));
    send(R"({"cmd":"shutter"})");
    ASSERT_TRUE(received(6));
    ASSERT_EQ(in[5].first, 1);
    const int nameLength = qFromLittleEndian<quint16>(in[5].second.constData());
    EXPECT_EQ(in[5].second.mid(2, nameLength), "IMG_0001.JPG");
    const QByteArray jpeg = in[5].second.mid(2 + nameLength);
    EXPECT_EQ(QImage::fromData(jpeg).size(), QSize(320, 240));
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()), long(jpeg.size()));
    image->readMetadata();
    EXPECT_EQ(image->exifData()["Exif.Photo.ISOSpeedRatings"].toLong(), 800);
    EXPECT_EQ(image->exifData()["Exif.Image.Model"].toString(), "Cam A");
    EXPECT_EQ(b.matches("^(command) 1 ").size(), 4);
}

TEST_F(Dnssd, NameTakenOnTheNetworkGetsAvahisAlternative)
{
    startAvahi();
    ServiceAdvertiser first("Twin (Mac)", 40001), second("Twin (Mac)", 40002);
    first.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.isRegistered(); }, 20000));
    second.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.isRegistered(); }, 20000));
    EXPECT_EQ(first.registeredName(), "Twin (Mac)");
    EXPECT_EQ(second.registeredName(), "Twin (Mac) #2");
    // Both are visible to a browsing bridge, each with its own port.
    ServiceBrowser browser(QString::fromLatin1(ServiceAdvertiser::kServiceType));
    QMap<QString, quint16> seen; // port by service name
    QObject::connect(&browser, &ServiceBrowser::resolved,
                     [&](const QString &name, const QString &, quint16 port) { seen.insert(name, port); });
    ASSERT_TRUE(browser.start());
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() >= 2; }, 20000));
    EXPECT_EQ(seen, (QMap<QString, quint16>{{"Twin (Mac)", 40001}, {"Twin (Mac) #2", 40002}}));
}

} // namespace
