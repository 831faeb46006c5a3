// The pieces of the bridge simulator and the advertiser's naming rules, without any network.

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include "CameraState.h"
#include "Frames.h"
#include "ImageMaker.h"
#include "link/ServiceAdvertiser.h"

namespace {

TEST(ServiceName, PrefersPrettyNameThenHostNameThenMac)
{
    EXPECT_EQ(ServiceAdvertiser::serviceName(QStringLiteral("Estudio de Ana"), QStringLiteral("ws-7")),
              QStringLiteral("Estudio de Ana (Mac)"));
    EXPECT_EQ(ServiceAdvertiser::serviceName(QString(), QStringLiteral("ws-7")), QStringLiteral("ws-7 (Mac)"));
    EXPECT_EQ(ServiceAdvertiser::serviceName(QStringLiteral("  "), QStringLiteral("ws-7")), QStringLiteral("ws-7 (Mac)"));
    EXPECT_EQ(ServiceAdvertiser::serviceName(QString(), QString()), QStringLiteral("Mac (Mac)"));
    EXPECT_EQ(ServiceAdvertiser::serviceName(QString(), QStringLiteral(" ")), QStringLiteral("Mac (Mac)"));
}

TEST(ServiceName, LongNamesAreCutToOneDnsLabelWithoutSplittingCharacters)
{
    const QString ascii = ServiceAdvertiser::serviceName(QString(80, QLatin1Char('a')), QString());
    EXPECT_EQ(ascii.toUtf8().size(), 63);
    EXPECT_TRUE(ascii.endsWith(QStringLiteral("a (Mac)")));

    // 2-byte characters: 57 bytes are left for the base, so 28 of them fit.
    const QString accents = ServiceAdvertiser::serviceName(QString(40, QChar(0x00e9)), QString());
    EXPECT_EQ(accents, QString(28, QChar(0x00e9)) + QStringLiteral(" (Mac)"));

    // A 4-byte character (a surrogate pair in UTF-16) is kept whole or dropped whole.
    QString emoji;
    for (int i = 0; i < 20; ++i)
        emoji += QString::fromUcs4(U"\U0001F4F7");
    const QString cut = ServiceAdvertiser::serviceName(emoji, QString());
    EXPECT_EQ(cut, emoji.left(28) + QStringLiteral(" (Mac)")); // 14 pictures = 56 bytes
    EXPECT_FALSE(cut.toUtf8().contains("\xef\xbf\xbd")); // no replacement character
}

TEST(ServiceName, PrettyHostnameFromMachineInfo)
{
    EXPECT_EQ(ServiceAdvertiser::prettyHostname("PRETTY_HOSTNAME=\"Estudio \\\"Norte\\\"\"\n"),
              QStringLiteral("Estudio \"Norte\""));
    EXPECT_EQ(ServiceAdvertiser::prettyHostname("# comment\nCHASSIS=laptop\nPRETTY_HOSTNAME='Sala 2'\n"),
              QStringLiteral("Sala 2"));
    EXPECT_EQ(ServiceAdvertiser::prettyHostname("PRETTY_HOSTNAME=Bare\\ Name\n"), QStringLiteral("Bare Name"));
    EXPECT_EQ(ServiceAdvertiser::prettyHostname("PRETTY_HOSTNAME=\"C\xc3\xa1mara\"\n"), QStringLiteral("Cámara"));
    EXPECT_EQ(ServiceAdvertiser::prettyHostname("PRETTY_HOSTNAME=one\nPRETTY_HOSTNAME=two\n"), QStringLiteral("two"));
    EXPECT_EQ(ServiceAdvertiser::prettyHostname("ICON_NAME=computer\n#PRETTY_HOSTNAME=x\n"), QString());
    EXPECT_EQ(ServiceAdvertiser::prettyHostname(""), QString());
}

TEST(BridgeFrames, LayoutOfFileAndHelloFrames)
{
    const QByteArray name(300, 'n');
    const QByteArray file = frames::fileFrame(name, "abc");
    // Header: magic, version 1, type 1, L = 2 + 300 + 3 = 305 = 0x131 little-endian.
    EXPECT_EQ(file.left(8), QByteArray("HV\x01\x01\x31\x01\x00\x00", 8));
    EXPECT_EQ(file.mid(8, 2), QByteArray("\x2c\x01", 2)); // N = 300
    EXPECT_EQ(file.mid(10, 300), name);
    EXPECT_EQ(file.mid(310), QByteArray("abc"));

    const QByteArray hello = frames::helloFrame(QStringLiteral("Cámara 2"));
    EXPECT_EQ(hello.left(4), QByteArray("HV\x01\x03", 4));
    const quint32 length = quint8(hello[4]) | quint8(hello[5]) << 8;
    EXPECT_EQ(int(length), hello.size() - 8);
    EXPECT_EQ(QJsonDocument::fromJson(hello.mid(10)).object().value("camera").toString(), QStringLiteral("Cámara 2"));
}

TEST(BridgeFrames, CommandReaderYieldsTheSameCommandsForAnySplit)
{
    const QByteArray stream = frames::frame(frames::Command, R"({"cmd":"shutter"})")
                              + frames::frame(9, "ignored")
                              + frames::frame(frames::Command, QByteArray())
                              + frames::frame(frames::Command, R"({"cmd":"setParam","param":"iso","value":800})");
    const QList<QByteArray> expected = {R"({"cmd":"shutter"})", QByteArray(),
                                        R"({"cmd":"setParam","param":"iso","value":800})"};
    for (int split = 0; split <= stream.size(); ++split) {
        frames::CommandReader reader;
        reader.feed(stream.left(split));
        reader.feed(stream.mid(split));
        EXPECT_EQ(reader.takeCommands(), expected) << "split at " << split;
        EXPECT_EQ(reader.otherFrames(), 1);
    }
    frames::CommandReader oneByOne;
    for (char c : stream)
        oneByOne.feed(QByteArray(1, c));
    EXPECT_EQ(oneByOne.takeCommands(), expected);
}

TEST(BridgeFrames, CommandReaderStopsAtABrokenHeader)
{
    frames::CommandReader reader;
    reader.feed(QByteArray("HV\x02\x06\x00\x00\x00\x00", 8) + frames::frame(frames::Command, "{}"));
    EXPECT_TRUE(reader.broken());
    EXPECT_TRUE(reader.takeCommands().isEmpty());
}

TEST(BridgeState, SetAcceptsOnlyAllowedValuesOfKnownKeys)
{
    CameraState state;
    EXPECT_EQ(state.set(QStringLiteral("iso"), 3200), CameraState::SetResult::Applied);
    EXPECT_EQ(state.current(QStringLiteral("iso")), 3200);
    EXPECT_EQ(state.set(QStringLiteral("iso"), 3201), CameraState::SetResult::NotAllowed);
    EXPECT_EQ(state.current(QStringLiteral("iso")), 3200);
    EXPECT_EQ(state.set(QStringLiteral("focus"), 1), CameraState::SetResult::UnknownKey);
    EXPECT_EQ(state.set(QStringLiteral("iso"), CameraState::kIsoAuto1), CameraState::SetResult::Applied);
    EXPECT_EQ(state.effectiveIso(), 400);
}

TEST(BridgeState, JsonCarriesEveryParameterWithItsValuesAndSupported)
{
    const QJsonObject json = QJsonDocument::fromJson(CameraState(3).toJson()).object();
    const QStringList supported = json.value("supported").toVariant().toStringList();
    EXPECT_EQ(supported.size(), 11);
    for (const QString &key : supported) {
        const QJsonObject param = json.value(key).toObject();
        const QJsonArray values = param.value("values").toArray();
        EXPECT_FALSE(values.isEmpty()) << key.toStdString();
        EXPECT_TRUE(values.contains(param.value("current"))) << key.toStdString();
    }
    // Unsigned 32-bit AUTO codes survive the JSON text exactly.
    EXPECT_TRUE(json.value("iso").toObject().value("values").toArray().contains(QJsonValue(qint64(4294967293))));
    EXPECT_EQ(json.value("shutterSpeed").toObject().value("values").toArray().size(), 55);
}

TEST(BridgePhoto, ExifFollowsTheCameraState)
{
    CameraState state;
    ASSERT_EQ(state.set(QStringLiteral("shutterSpeed"), 8000), CameraState::SetResult::Applied);
    ASSERT_EQ(state.set(QStringLiteral("aperture"), 560), CameraState::SetResult::Applied);
    ASSERT_EQ(state.set(QStringLiteral("iso"), 1600), CameraState::SetResult::Applied);
    ASSERT_EQ(state.set(QStringLiteral("exposureComp"), -333), CameraState::SetResult::Applied);
    ASSERT_EQ(state.set(QStringLiteral("whiteBalanceMode"), 6), CameraState::SetResult::Applied);
    imagemaker::PhotoInfo info;
    info.size = QSize(400, 300);
    info.cameraModel = QStringLiteral("Sim");
    info.orientation = 6;
    info.taken = QDateTime(QDate(2024, 5, 17), QTime(14, 3, 9));
    const QByteArray jpeg = imagemaker::photo(info, state);

    EXPECT_EQ(QImage::fromData(jpeg, "JPEG").size(), QSize(400, 300));
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()), long(jpeg.size()));
    image->readMetadata();
    Exiv2::ExifData &exif = image->exifData();
    auto value = [&](const char *key) { return exif.findKey(Exiv2::ExifKey(key)); };
    ASSERT_NE(value("Exif.Photo.ExposureTime"), exif.end());
    EXPECT_EQ(value("Exif.Photo.ExposureTime")->toRational(), Exiv2::Rational(1, 125));
    EXPECT_EQ(value("Exif.Photo.FNumber")->toRational(), Exiv2::Rational(560, 100));
    EXPECT_EQ(value("Exif.Photo.ISOSpeedRatings")->toLong(), 1600);
    EXPECT_EQ(value("Exif.Photo.ExposureBiasValue")->toRational(), Exiv2::Rational(-333, 1000));
    EXPECT_EQ(value("Exif.Photo.WhiteBalance")->toLong(), 1);
    EXPECT_EQ(value("Exif.Image.Orientation")->toLong(), 6);
    EXPECT_EQ(value("Exif.Photo.DateTimeOriginal")->toString(), "2024:05:17 14:03:09");
    EXPECT_EQ(value("Exif.Photo.FocalLength")->toRational(), Exiv2::Rational(230, 10));
    ASSERT_NE(value("Exif.Photo.LensModel"), exif.end());
    const Exiv2::DataBuf thumb = Exiv2::ExifThumbC(exif).copy();
    ASSERT_GT(thumb.size_, 0);
    const QImage small = QImage::fromData(thumb.pData_, thumb.size_, "JPEG");
    EXPECT_EQ(small.size(), QSize(160, 120));
}

TEST(BridgeLive, FramesAreDecodableJpegsThatChangeOverTime)
{
    const QByteArray first = imagemaker::liveFrame(QSize(1280, 853), 1, QStringLiteral("Cam"));
    const QByteArray later = imagemaker::liveFrame(QSize(1280, 853), 40, QStringLiteral("Cam"));
    EXPECT_EQ(QImage::fromData(first, "JPEG").size(), QSize(1280, 853));
    EXPECT_NE(first, later);
}

} // namespace
