// The application core (halvane-testhost: a Monitor and start(), no window) and the bridge
// simulator, as separate processes in the private namespace with its own avahi-daemon: the
// bridge finds the application by DNS-SD, and the bytes are checked on both sides.

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "E2eSupport.h"
#include "link/ServiceAdvertiser.h"

namespace {

// Where the host stored camera `cam`'s photo called `name`: the path on its photo line, or,
// when its file was still being written then, the path of the stored line that follows.
QString storedPathOf(LineProcess &host, int cam, const QString &name)
{
    const auto photo = host.waitForLine(
        QStringLiteral("^photo %1 (\\S*) %2$").arg(cam).arg(QRegularExpression::escape(name)));
    if (!photo.hasMatch())
        return {};
    if (!photo.captured(1).isEmpty())
        return photo.captured(1);
    int index = -1;
    const QString prefix = QStringLiteral("photo %1 ").arg(cam);
    for (const QString &line : host.lines()) {
        if (line.startsWith(prefix)) {
            ++index;
            if (line == photo.captured(0))
                break;
        }
    }
    const auto stored = host.waitForLine(QStringLiteral("^stored %1 %2 (\\S+)$").arg(cam).arg(index));
    return stored.hasMatch() ? stored.captured(1) : QString();
}

QString sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unreadable: ") + path;
    return QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
}

// The JSON of a "command" line, checked to be compact on the way.
QJsonObject commandJson(const QRegularExpressionMatch &line)
{
    const QString json = line.captured(1);
    EXPECT_FALSE(json.contains(QLatin1Char(' '))) << "command JSON is not compact: " << json.toStdString();
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

class AppEndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(insideTestNamespace()) << "run through scripts/netns-run";
        ASSERT_FALSE(testHostProgram().isEmpty());
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("capture")));
    }

    // Starts the application core; returns its port once it listens.
    quint16 startHost()
    {
        host.start(testHostProgram(), {dir.filePath(QStringLiteral("settings.ini")), capture()});
        const auto port = host.waitForLine(QStringLiteral("^port (\\d+)$"));
        EXPECT_TRUE(host.waitForLine(QStringLiteral("^listening 1$")).hasMatch()) << host.transcript().toStdString();
        return port.hasMatch() ? quint16(port.captured(1).toUInt()) : 0;
    }

    QString capture() const { return dir.filePath(QStringLiteral("capture")); }

    void TearDown() override
    {
        if (HasFailure()) {
            std::fprintf(stderr, "%s", qPrintable(host.transcript()));
            for (const auto &bridge : bridges)
                std::fprintf(stderr, "%s", qPrintable(bridge->transcript()));
        }
    }

    LineProcess &bridge(const QStringList &args)
    {
        bridges.push_back(std::make_unique<LineProcess>(QStringLiteral("bridge %1").arg(bridges.size() + 1)));
        bridges.back()->start(bridgeProgram(), args);
        return *bridges.back();
    }

    QTemporaryDir dir;
    AvahiDaemon avahi;
    LineProcess host{QStringLiteral("host")};
    std::vector<std::unique_ptr<LineProcess>> bridges;
};

TEST_F(AppEndToEnd, BridgeFindsTheApplicationAndTheyExchangeEveryMessage)
{
    avahi.start();
    startHost();
    const QString expectedName = ServiceAdvertiser::workstationServiceName();
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^registered ") + QRegularExpression::escape(expectedName) + QLatin1Char('$'))
                    .hasMatch());

    LineProcess &cam = bridge({QStringLiteral("--service-name"), expectedName, QStringLiteral("--name"),
                               QStringLiteral("Estudio A"), QStringLiteral("--live-fps"), QStringLiteral("10"),
                               QStringLiteral("--photos"), QStringLiteral("1"), QStringLiteral("--interval-ms"),
                               QStringLiteral("50"), QStringLiteral("--photo-size"), QStringLiteral("800x600")});

    // Hello renames the record; the state frame fills all eleven parameters; live view shows.
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^camera 0 status=receiving .*params=11 name=Estudio A$")).hasMatch());
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^camera 0 .* live=1280x853 ")).hasMatch());
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^param 0 iso 4294967295 |^param 0 iso \\d+ 23$")).hasMatch());
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^active 0$")).hasMatch());

    // The photo is stored byte for byte.
    const auto sent = cam.waitForLine(QStringLiteral("^sent-photo 1 (\\d+) ([0-9a-f]{64}) IMG_0001.JPG$"));
    ASSERT_TRUE(sent.hasMatch());
    const QString stored = storedPathOf(host, 0, QStringLiteral("IMG_0001.JPG"));
    ASSERT_FALSE(stored.isEmpty());
    EXPECT_EQ(sha256Of(stored), sent.captured(2));

    // Director mode asks for the state: exactly {"cmd":"requestState"}.
    host.write("director");
    const auto request = cam.waitForLine(QStringLiteral("^command 1 (.*)$"));
    ASSERT_TRUE(request.hasMatch());
    EXPECT_EQ(request.captured(1), QStringLiteral(R"({"cmd":"requestState"})"));

    // A parameter change travels as setParam with an exact integer; the bridge's answer
    // (its new state) reaches the record.
    host.write("setParam iso 1600");
    const auto set = cam.waitForLine(QStringLiteral("^command 1 (.*setParam.*)$"));
    ASSERT_TRUE(set.hasMatch());
    EXPECT_EQ(commandJson(set), QJsonObject({{"cmd", "setParam"}, {"param", "iso"}, {"value", 1600}}));
    EXPECT_TRUE(cam.waitForLine(QStringLiteral("^param 1 iso 1600 applied$")).hasMatch());
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^param 0 iso 1600 23$")).hasMatch());

    // A value the camera refuses shows at once and is then undone by the camera's state.
    const int before = int(host.lines().size());
    host.write("setParam aperture 123");
    EXPECT_TRUE(cam.waitForLine(QStringLiteral("^param 1 aperture 123 rejected$")).hasMatch());
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^param 0 aperture 123 "), 20000, before).hasMatch());
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^param 0 aperture (?!123 )\\d+ 22$"), 20000, before).hasMatch());

    // The shutter brings a second photo, whose EXIF the bridge wrote at ISO 1600.
    host.write("shutter");
    EXPECT_EQ(cam.waitForLine(QStringLiteral("^command 1 (.*shutter.*)$")).captured(1), QStringLiteral(R"({"cmd":"shutter"})"));
    const auto second = cam.waitForLine(QStringLiteral("^sent-photo 1 (\\d+) ([0-9a-f]{64}) IMG_0002.JPG$"));
    const QString storedSecond = storedPathOf(host, 0, QStringLiteral("IMG_0002.JPG"));
    ASSERT_TRUE(second.hasMatch() && !storedSecond.isEmpty());
    EXPECT_EQ(sha256Of(storedSecond), second.captured(2));
    EXPECT_EQ(QDir(capture()).entryList(QDir::Files).size(), 2);

    // Exactly the three commands went over the wire, nothing else.
    EXPECT_EQ(cam.count(QStringLiteral("^command ")), 4);
}

TEST_F(AppEndToEnd, KilledBridgeLeavesNoSignalAndItsReconnectionIsASecondCamera)
{
    const quint16 port = startHost();
    ASSERT_NE(port, 0);
    const QStringList direct = {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QString::number(port)};

    // The bridge announces a 4 GiB file and stalls: it is killed in the middle of that frame.
    LineProcess &first = bridge(direct + QStringList{QStringLiteral("--name"), QStringLiteral("Uno"),
                                                     QStringLiteral("--malformed"), QStringLiteral("huge-header")});
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^camera 0 status=receiving .*params=11 name=Uno$")).hasMatch());
    ASSERT_TRUE(first.waitForLine(QStringLiteral("^malformed 1 huge-header$")).hasMatch());
    first.kill();
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^camera 0 status=noSignal .*params=11 name=Uno$")).hasMatch());
    EXPECT_EQ(QDir(capture()).entryList(QDir::Files | QDir::Hidden).size(), 0);

    // The same bridge again: a new record, receiving, that takes over from the lost one once it
    // introduces itself.
    LineProcess &again = bridge(direct + QStringList{QStringLiteral("--name"), QStringLiteral("Uno"),
                                                     QStringLiteral("--photos"), QStringLiteral("1"),
                                                     QStringLiteral("--interval-ms"), QStringLiteral("10"),
                                                     QStringLiteral("--photo-size"), QStringLiteral("320x240")});
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^camera 1 status=receiving .* name=Uno$")).hasMatch());
    ASSERT_FALSE(storedPathOf(host, 1, QStringLiteral("IMG_0001.JPG")).isEmpty());
    EXPECT_TRUE(again.waitForLine(QStringLiteral("^sent-photo 1 ")).hasMatch());
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^active 1$")).hasMatch());
    EXPECT_EQ(host.count(QStringLiteral("^active ")), 2); // "active 0", then "active 1" only
    EXPECT_EQ(host.count(QStringLiteral("^camera 0 status=noSignal")), 1);
    EXPECT_EQ(host.count(QStringLiteral("^camera 2 ")), 0);
}

TEST_F(AppEndToEnd, ServiceAppearsWhenTheDaemonStartsLateAndAfterItRestarts)
{
    startHost(); // no daemon yet: the listener works all the same
    const QString name = ServiceAdvertiser::workstationServiceName();
    LineProcess &early = bridge({QStringLiteral("--service-name"), name, QStringLiteral("--name"),
                                 QStringLiteral("Temprana")});

    avahi.start();
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^registered ") + QRegularExpression::escape(name) + QLatin1Char('$'))
                    .hasMatch());
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^camera 0 .*name=Temprana$")).hasMatch()) << early.transcript().toStdString();

    avahi.stop();
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^withdrawn$")).hasMatch());
    const int before = int(host.lines().size());
    avahi.start();
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^registered ") + QRegularExpression::escape(name) + QLatin1Char('$'),
                                 20000, before)
                    .hasMatch());
    bridge({QStringLiteral("--service-name"), name, QStringLiteral("--name"), QStringLiteral("Tardía")});
    EXPECT_TRUE(host.waitForLine(QStringLiteral("^camera 1 .*name=Tardía$")).hasMatch());
    // The first camera never noticed: its connection does not depend on the daemon.
    EXPECT_EQ(host.count(QStringLiteral("^camera 0 status=noSignal")), 0);
}

// What the application makes of each kind of broken frame. Each kind is followed (where the
// stream goes on) by a hello naming the camera "<name> (after)": it must be applied exactly
// when the reader is right to keep reading after the broken frame.
struct MalformedCase
{
    const char *kind;
    bool readsOn;  // the "(after)" hello is applied
    bool noSignal; // the bridge closes the connection itself
};

class Malformed : public AppEndToEnd, public ::testing::WithParamInterface<MalformedCase>
{
};

TEST_P(Malformed, OutcomeOnTheApplicationSide)
{
    const MalformedCase c = GetParam();
    const quint16 port = startHost();
    ASSERT_NE(port, 0);
    const QStringList direct = {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QString::number(port)};
    LineProcess &bad = bridge(direct + QStringList{QStringLiteral("--name"), QStringLiteral("Mala"),
                                                   QStringLiteral("--malformed"), QString::fromLatin1(c.kind),
                                                   QStringLiteral("--exit-after-photos"), QStringLiteral("0")});
    ASSERT_TRUE(host.waitForLine(QStringLiteral("^camera 0 .*name=Mala")).hasMatch());
    if (c.readsOn) {
        EXPECT_TRUE(host.waitForLine(QStringLiteral("^camera 0 .*name=Mala \\(after\\)$")).hasMatch());
    } else {
        // Barrier: the broken bytes were handed to the kernel before the bridge exited, and a
        // second camera's hello arrives only after them, so once the application has named the
        // second camera it has seen the first one's bytes.
        ASSERT_TRUE(bad.waitForExit());
        bridge(direct + QStringList{QStringLiteral("--name"), QStringLiteral("Sonda")});
        ASSERT_TRUE(host.waitForLine(QStringLiteral("^camera 1 .*name=Sonda$")).hasMatch());
        EXPECT_EQ(host.count(QStringLiteral("name=Mala \\(after\\)$")), 0);
    }
    if (c.noSignal) {
        EXPECT_TRUE(host.waitForLine(QStringLiteral("^camera 0 status=noSignal ")).hasMatch());
    }
    // No broken frame ever delivers a file, and nothing half-written is left behind.
    EXPECT_EQ(host.count(QStringLiteral("^photo ")), 0);
    EXPECT_EQ(QDir(capture()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Malformed,
                         ::testing::Values(MalformedCase{"bad-magic", false, false},
                                           MalformedCase{"bad-version", false, false},
                                           MalformedCase{"short-file", true, false},
                                           MalformedCase{"name-overrun", true, false},
                                           MalformedCase{"bad-utf8-name", false, false},
                                           MalformedCase{"garbage", false, false},
                                           MalformedCase{"unknown-types", true, false},
                                           MalformedCase{"truncated", false, true}),
                         [](const auto &info) {
                             QString name = QString::fromLatin1(info.param.kind);
                             return name.remove(QLatin1Char('-')).toStdString();
                         });

} // namespace
