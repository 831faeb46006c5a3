#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

#include "../link/FrameBytes.h"
#include "FakeConnection.h"
#include "QtPrinters.h"
#include "SampleFiles.h"
#include "link/InboundMessages.h"
#include "link/WireProtocol.h"
#include "state/Monitor.h"

namespace {

QByteArray image(int w, int h, const char *format = "PNG")
{
    return SampleFiles::encode(SampleFiles::solid(QSize(w, h), qRgb(0, 128, 128)), format);
}

// A command frame; its bytes are pinned by the wire protocol's own tests.
QByteArray command(const char *name, const QVariantMap &more = {})
{
    QVariantMap cmd = more;
    cmd.insert("cmd", name);
    return *wire::encodeCommandFrame(cmd);
}

class Inbound : public ::testing::Test
{
protected:
    std::shared_ptr<CameraConnection> addCamera()
    {
        auto conn = std::make_unique<FakeConnection>();
        sent.push_back(conn->sent);
        auto cam = std::make_shared<CameraConnection>(std::move(conn));
        monitor.appendCamera(cam);
        return cam;
    }

    QTemporaryDir dir;
    Monitor monitor { std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat) };
    std::vector<std::shared_ptr<QList<QByteArray>>> sent; // per camera, what went to the bridge
    std::shared_ptr<CameraConnection> cam = addCamera();
    QSignalSpy changes { &monitor, &Monitor::objectWillChange };
};

} // namespace

// A hello names the camera (its first two bytes skipped) only with a non-empty "camera" string;
// a state frame merges its well-formed entries under one notification, whatever else it holds;
// a live-view frame replaces the camera's image only when it decodes.
TEST_F(Inbound, HelloStateAndLiveViewChangeOnlyWhatTheyMayAndAnnounceOnce)
{
    const std::optional<QByteArray> badHellos[]
        = { R"({"camera":"No prefix"})", R"(xx{"camera":""})", R"(xx{"camera":42})", R"(xx{"name":"Other"})",
              R"(xx["camera","A"])", R"(xx{"camera":"A"} trailing)", "x", std::nullopt };
    for (const auto &payload : badHellos)
        monitor.handleHello(payload, *cam);
    EXPECT_EQ(changes.count(), 0);
    monitor.handleHello(
        QByteArray("\0\0", 2) + QString::fromUtf8(R"({"camera":" Cámara 2 📷"})").toUtf8(), *cam);
    EXPECT_EQ(cam->name, QString::fromUtf8(" Cámara 2 📷"));

    cam->paramState.insert("aperture", ParamState { 28, { 20, 28 } });
    cam->paramState.insert("grain", ParamState { 1, { 0, 1 } });
    monitor.handleState(R"({"supported":{"current":1}, "iso":{"current":400,"values":[200,400],"x":"y"},
        "grain":{"current":"2"}, "wb":7, "dr":{"current":null}, "film":{"current":3,"values":[1,"two"]}})",
        *cam);
    for (const char *bad : { R"([{"iso":{"current":1}}])", "not json", "xx{}", "", "42" })
        monitor.handleState(QByteArray(bad), *cam);
    monitor.handleState(std::nullopt, *cam);
    EXPECT_EQ(changes.count(), 2);
    const QMap<QString, ParamState> &p = cam->paramState;
    EXPECT_EQ(p.keys(), (QStringList { "aperture", "film", "grain", "iso" }));
    EXPECT_EQ(p["iso"].values, (QList<qint64> { 200, 400 }));
    EXPECT_EQ(p["aperture"].current, 28) << "keys not mentioned keep their entry";
    EXPECT_EQ(p["grain"].current, 1) << "a malformed member keeps its entry";
    EXPECT_TRUE(p["film"].current == 3 && p["film"].values.isEmpty()) << "any non-number empties the list";
    monitor.handleState("{}", *cam);
    EXPECT_EQ(changes.count(), 3) << "an empty object still announces";
    // Live frames decode off the main thread: one waits while one decodes, the newest replacing it.
    QList<QSize> shown;
    QObject::connect(&monitor, &Monitor::liveFrameChanged, [&] { shown.append(cam->liveFrame.size()); });
    for (const QByteArray &frame : { image(64, 48, "JPEG"), image(32, 20, "JPEG"), QByteArray("not an image") })
        monitor.handleLiveView(frame, *cam);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty(); }));
    for (const auto &frame : { std::optional(image(16, 10, "JPEG")), std::optional(QByteArray()), std::optional<QByteArray>() })
        monitor.handleLiveView(frame, *cam);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown.size() == 2; }));
    EXPECT_EQ(shown, (QList<QSize> { { 64, 48 }, { 16, 10 } })) << "a frame superseded or undecodable was shown";
    EXPECT_EQ(changes.count(), 3);

    const qint64 max = std::numeric_limits<qint64>::max(), min = std::numeric_limits<qint64>::min();
    const std::pair<const char *, qint64> numbers[]
        = { { "2.9", 2 }, { "-2.9", -2 }, { "true", 1 }, { "false", 0 }, { "2.5e1", 25 },
              { "9007199254740993", 9007199254740993LL }, { "9223372036854775807", max },
              { "-9223372036854775808", min }, { "9223372036854775808", max }, { "-1e300", min } };
    for (const auto &[json, expected] : numbers) {
        const QByteArray state = QByteArray(R"({"p":{"current":)") + json + R"(,"values":[)" + json + "]}}";
        const auto entry = inbound::stateEntries(state).value_or(QMap<QString, ParamState> {}).value("p");
        EXPECT_EQ(entry.current, expected) << json;
        EXPECT_EQ(entry.values, QList<qint64> { expected }) << json;
    }
}

// The shown camera changes by itself only when it has lost its connection, and only for a
// camera that introduces itself or sends a photo that is kept; in director mode the new one is
// asked for its parameters, as when picked.
TEST_F(Inbound, OnlyALostActiveCameraGivesWayToOneThatSends)
{
    struct Case {
        CameraStatus activeStatus;
        char message; // hello, photo, state, bad hello
        bool enabled, takesOver;
    };
    const Case cases[]
        = { { CameraStatus::Receiving, 'h', true, false }, { CameraStatus::Paused, 'p', true, false },
              { CameraStatus::NoSignal, 'h', true, true }, { CameraStatus::NoSignal, 'p', true, true },
              { CameraStatus::NoSignal, 'h', false, true }, { CameraStatus::NoSignal, 'p', false, false },
              { CameraStatus::NoSignal, 's', true, false }, { CameraStatus::NoSignal, 'b', true, false } };
    for (const Case &c : cases) {
        const auto other = addCamera();
        other->enabled = c.enabled;
        monitor.setActiveCameraId(cam->id());
        const QUuid selected = QUuid::createUuid();
        monitor.setSelectedPhotoId(selected);
        cam->status = c.activeStatus;
        if (c.message == 'p')
            monitor.handlePhotoMessage("IMG.PNG", image(8, 8), *other);
        else if (c.message == 's')
            monitor.handleState(R"({"iso":{"current":1}})", *other);
        else
            monitor.handleHello(c.message == 'b' ? "..{}" : R"(..{"camera":"B"})", *other);
        EXPECT_EQ(monitor.activeCamera(), c.takesOver ? other.get() : cam.get())
            << c.message << int(c.activeStatus);
        const bool kept = c.message == 'p' && c.enabled;
        EXPECT_EQ(monitor.selectedPhotoId() == selected, !c.takesOver && !kept) << c.message;
        EXPECT_EQ(other->photos.size(), kept ? 1 : 0);
        EXPECT_TRUE(sent.back()->isEmpty()) << "nothing is sent outside director mode";
    }
    monitor.setDirectorModeOn(true);
    const auto last = addCamera();
    monitor.handleHello(R"(..{"camera":"C"})", *last);
    EXPECT_EQ(monitor.activeCamera(), last.get());
    EXPECT_EQ(*sent.back(), QList { command("requestState") });
}

TEST_F(Inbound, CommandsGoToTheActiveCameraAndSelectionAsksForState)
{
    const auto b = addCamera();
    monitor.triggerShutter(); // no active id: the first camera
    b->status = CameraStatus::NoSignal; // a lost camera can still be picked
    monitor.setSelectedPhotoId(QUuid::createUuid());
    monitor.selectCamera(*b);
    EXPECT_TRUE(monitor.activeCamera() == b.get() && monitor.selectedPhotoId().isNull());
    monitor.toggleDirectorMode(); // on: asks the active camera
    monitor.toggleDirectorMode(); // off: sends nothing
    b->enabled = false; // reception off does not stop commands
    monitor.triggerShutter();
    b->paramState.insert("iso", ParamState { 400, { 200, 400 } });
    const qint64 big = std::numeric_limits<qint64>::max();
    changes.clear();
    monitor.setParam("iso", big);
    monitor.setParam("grain", -2);
    monitor.sendRemoteCommand(
        { { "value", std::numeric_limits<double>::quiet_NaN() } }, *b); // cannot be written
    EXPECT_EQ(changes.count(), 2);
    EXPECT_EQ(b->paramState.value("iso").current, big) << "shown until the next state frame";
    EXPECT_FALSE(b->paramState.contains("grain")) << "no entry for a key never reported";
    EXPECT_EQ(*sent[0], QList { command("shutter") });
    EXPECT_EQ(*sent[1],
        (QList { command("requestState"), command("requestState"), command("shutter"),
            command("setParam", { { "param", "iso" }, { "value", big } }),
            command("setParam", { { "param", "grain" }, { "value", qint64(-2) } }) }));
    monitor.toggleEnabled(*b);
    const bool receiving = b->enabled && b->status == CameraStatus::Receiving;
    monitor.toggleEnabled(*b);
    EXPECT_TRUE(receiving && b->status == CameraStatus::Paused && sent[1]->size() == 5) << "local only";
}

// Through the real link on loopback: the first record becomes active, a lost one gives way to a
// camera that sends, and nothing is left once the Monitor is gone.
TEST(MonitorLink, BridgesOverLoopbackBecomeCamerasAndTakeOverFromLostOnes)
{
    QTemporaryDir dir;
    auto monitor
        = std::make_unique<Monitor>(std::make_unique<QSettings>(dir.filePath("s"), QSettings::IniFormat));
    ASSERT_TRUE(monitor->link().start(QHostAddress::LocalHost, 0, CameraLink::Advertise::No));
    EXPECT_TRUE(monitor->listening());
    const auto cameras
        = [&](qsizetype n) { return QTest::qWaitFor([&] { return monitor->cameras().size() == n; }, 10000); };
    QTcpSocket probe, real;
    probe.connectToHost(QHostAddress::LocalHost, monitor->link().listener().port());
    ASSERT_TRUE(cameras(1));
    probe.disconnectFromHost(); // a probe that connected and left at once
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return monitor->cameras()[0]->status == CameraStatus::NoSignal; }, 10000));
    real.connectToHost(QHostAddress::LocalHost, monitor->link().listener().port());
    ASSERT_TRUE(cameras(2));
    EXPECT_EQ(monitor->activeCameraId(), monitor->cameras()[0]->id())
        << "the first is active; a second is not";
    real.write(
        framebytes::frame(3, "..{\"camera\":\"Real\"}") + framebytes::fileFrame("IMG_1.PNG", image(4, 4)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !monitor->cameras()[1]->photos.isEmpty(); }, 10000));
    EXPECT_EQ(monitor->cameras()[1]->name, "Real");
    EXPECT_EQ(monitor->selectedPhoto(), &monitor->cameras()[1]->photos.first());
    monitor.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return real.state() == QAbstractSocket::UnconnectedState; }, 10000));
}
