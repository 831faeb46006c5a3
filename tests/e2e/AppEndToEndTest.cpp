// The application core (halvane-testhost: a Monitor and start(), no window) and the bridge
// simulator, as separate processes in the private namespace with its own avahi-daemon: the
// bridge finds the application by DNS-SD, and the bytes are checked on both sides.

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include "HostHarness.h"
#include "link/ServiceAdvertiser.h"

namespace {

using AppEndToEnd = HostTest;

TEST_F(AppEndToEnd, BridgeFindsTheApplicationAndTheyExchangeEveryMessage)
{
    startAvahi();
    ASSERT_NE(startHost(), 0);
    ASSERT_TRUE(host.waitForLine(registeredLine()).hasMatch());
    LineProcess &cam = bridge({"--service-name", ServiceAdvertiser::workstationServiceName(), "--name", "Estudio A",
                               "--live-fps", "10", "--photos", "1", "--interval-ms", "50", "--photo-size", "800x600"});
    // Hello renames the record; the state frame fills all eleven parameters; live view shows.
    ASSERT_TRUE(host.waitForLine("^camera 0 status=receiving .*params=11 name=Estudio A$").hasMatch());
    EXPECT_TRUE(host.waitForLine("^camera 0 .* live=1280x853 ").hasMatch());
    EXPECT_TRUE(host.waitForLine("^param 0 iso 4294967295 |^param 0 iso \\d+ 23$").hasMatch());
    EXPECT_TRUE(host.waitForLine("^active 0$").hasMatch());
    EXPECT_TRUE(arrivesWhole(cam, "IMG_0001.JPG"));

    // Director mode asks for the state: exactly {"cmd":"requestState"}.
    host.write("director");
    EXPECT_TRUE(cam.waitForLine(R"(^command 1 \{"cmd":"requestState"\}$)").hasMatch());
    // A parameter change travels as setParam with an exact integer in compact JSON; the bridge's
    // answer (its new state) reaches the record.
    host.write("setParam iso 1600");
    const QString set = cam.waitForLine("^command 1 (.*setParam.*)$").captured(1);
    EXPECT_FALSE(set.contains(' ')) << set.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(set.toUtf8()).object(),
              QJsonObject({{"cmd", "setParam"}, {"param", "iso"}, {"value", 1600}}));
    EXPECT_TRUE(cam.waitForLine("^param 1 iso 1600 applied$").hasMatch());
    EXPECT_TRUE(host.waitForLine("^param 0 iso 1600 23$").hasMatch());
    // A value the camera refuses shows at once and is then undone by the camera's state.
    const int before = int(host.lines.size());
    host.write("setParam aperture 123");
    EXPECT_TRUE(cam.waitForLine("^param 1 aperture 123 rejected$").hasMatch());
    EXPECT_TRUE(host.waitForLine("^param 0 aperture 123 ", before).hasMatch());
    EXPECT_TRUE(host.waitForLine("^param 0 aperture (?!123 )\\d+ 22$", before).hasMatch());
    // The shutter brings a second photo; exactly these four commands went over the wire.
    host.write("shutter");
    EXPECT_TRUE(cam.waitForLine(R"(^command 1 \{"cmd":"shutter"\}$)").hasMatch());
    EXPECT_TRUE(arrivesWhole(cam, "IMG_0002.JPG"));
    EXPECT_EQ(folderHashes(capture).size(), 2);
    EXPECT_EQ(cam.matches("^(command) ").size(), 4);
}

TEST_F(AppEndToEnd, KilledBridgeLeavesNoSignalAndItsReconnectionIsASecondCamera)
{
    ASSERT_NE(startHost(), 0);
    // The bridge announces a 4 GiB file and stalls: it is killed in the middle of that frame.
    LineProcess &first = bridge({"--name", "Uno", "--malformed", "huge-header"});
    ASSERT_TRUE(host.waitForLine("^camera 0 status=receiving .*params=11 name=Uno$").hasMatch());
    ASSERT_TRUE(first.waitForLine("^malformed 1 huge-header$").hasMatch());
    first.stop();
    ASSERT_TRUE(host.waitForLine("^camera 0 status=noSignal .*params=11 name=Uno$").hasMatch());
    // The same bridge again: a new record, receiving, that takes over from the lost one once it
    // introduces itself.
    LineProcess &again = bridge({"--name", "Uno", "--photos", "1", "--interval-ms", "10", "--photo-size", "320x240"});
    ASSERT_TRUE(host.waitForLine("^camera 1 status=receiving .* name=Uno$").hasMatch());
    EXPECT_TRUE(arrivesWhole(again, "IMG_0001.JPG"));
    EXPECT_TRUE(host.waitForLine("^active 1$").hasMatch());
    EXPECT_EQ(host.matches("^(active) ").size(), 2); // "active 0", then "active 1" only
    EXPECT_EQ(host.matches("^camera 0 (status=noSignal)").size(), 1);
}

// What the application makes of each kind of broken frame. Most kinds are followed by a hello
// naming the camera "Mala (after)": it must be applied exactly when the reader is right to read on.
struct MalformedCase {
    const char *kind;
    bool readsOn; // the "(after)" hello is applied
    bool closes; // the bridge closes the connection itself
};

class Malformed : public HostTest, public ::testing::WithParamInterface<MalformedCase>
{
};

TEST_P(Malformed, OutcomeOnTheApplicationSide)
{
    ASSERT_NE(startHost(), 0);
    LineProcess &bad = bridge({"--name", "Mala", "--malformed", GetParam().kind, "--exit-after-photos", "0"});
    ASSERT_TRUE(host.waitForLine("^camera 0 .*name=Mala").hasMatch());
    if (GetParam().readsOn) {
        EXPECT_TRUE(host.waitForLine("^camera 0 .*name=Mala \\(after\\)$").hasMatch());
    } else {
        // The broken bytes reached the kernel before the bridge exited, and a second camera's hello
        // arrives after them: once the application names the second camera it has seen them.
        ASSERT_TRUE(bad.waitForExit());
        bridge({"--name", "Sonda"});
        ASSERT_TRUE(host.waitForLine("^camera 1 .*name=Sonda$").hasMatch());
        EXPECT_EQ(host.matches("(name=Mala \\(after\\))$").size(), 0);
    }
    if (GetParam().closes) {
        EXPECT_TRUE(host.waitForLine("^camera 0 status=noSignal ").hasMatch());
    }
    // No broken frame ever delivers a file, and nothing half-written is left behind.
    EXPECT_EQ(host.photoCount(), 0);
    EXPECT_TRUE(QDir(capture).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

INSTANTIATE_TEST_SUITE_P(Kinds, Malformed,
                         ::testing::Values(MalformedCase{"bad-magic", false, false}, MalformedCase{"bad-version", false, false},
                                           MalformedCase{"short-file", true, false}, MalformedCase{"name-overrun", true, false},
                                           MalformedCase{"bad-utf8-name", false, false}, MalformedCase{"garbage", false, false},
                                           MalformedCase{"unknown-types", true, false}, MalformedCase{"truncated", false, true}),
                         [](const auto &info) { return QString(info.param.kind).remove('-').toStdString(); });

} // namespace
