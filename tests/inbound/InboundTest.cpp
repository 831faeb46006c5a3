#include <QTcpSocket>
#include <QTest>

#include <limits>

#include "FakeConnection.h"
#include "Frames.h"
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
QByteArray command(const char *name, QVariantMap more = {})
{
    more.insert("cmd", name);
    return *wire::encodeCommandFrame(more);
}

class Inbound : public ::testing::Test, protected ScratchSettings
{
protected:
    Monitor monitor { settings() };
    std::shared_ptr<CameraConnection> cam = addFakeCamera(monitor);
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
    monitor.handleHello(QByteArray("\0\0", 2) + R"({"camera":" Cámara 2 📷"})", *cam);
    EXPECT_EQ(cam->name, QString::fromUtf8(" Cámara 2 📷"));

    cam->paramState = { { "aperture", { 28, { 20, 28 } } }, { "grain", { 1, { 0, 1 } } } };
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
    // A lost camera lets its live view go; its frame leaves the budget.
    const qint64 live = MemoryBudget::global().used(MemoryBudget::Part::Live);
    monitor.handleConnectionLost(*cam);
    EXPECT_TRUE(cam->liveFrame.isNull() && shown.size() == 3) << "the view was told";
    EXPECT_EQ(MemoryBudget::global().used(MemoryBudget::Part::Live), live - 16 * 10 * 4);

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
    // The active camera's status, what another one sends (hello, photo, state, bad hello, live
    // frame), whether that one receives, and whether it takes over.
    const std::tuple<CameraStatus, char, bool, bool> cases[]
        = { { CameraStatus::Receiving, 'h', true, false }, { CameraStatus::Paused, 'p', true, false },
              { CameraStatus::Receiving, 'l', true, false }, { CameraStatus::NoSignal, 'l', true, true },
              { CameraStatus::NoSignal, 'h', true, true }, { CameraStatus::NoSignal, 'p', true, true },
              { CameraStatus::NoSignal, 'h', false, true }, { CameraStatus::NoSignal, 'p', false, false },
              { CameraStatus::NoSignal, 's', true, false }, { CameraStatus::NoSignal, 'b', true, false } };
    for (const auto &[activeStatus, message, enabled, takesOver] : cases) {
        const auto other = addFakeCamera(monitor);
        other->enabled = enabled;
        monitor.setActiveCameraId(cam->id());
        const QUuid selected = QUuid::createUuid();
        monitor.setSelectedPhotoId(selected);
        cam->status = activeStatus;
        if (message == 'p')
            monitor.handlePhotoMessage("IMG.PNG", image(8, 8), *other);
        else if (message == 's')
            monitor.handleState(R"({"iso":{"current":1}})", *other);
        else if (message == 'l')
            monitor.handleLiveView(image(8, 8), *other);
        else
            monitor.handleHello(message == 'b' ? "..{}" : R"(..{"camera":"B"})", *other);
        EXPECT_EQ(monitor.activeCamera(), takesOver ? other.get() : cam.get())
            << message << int(activeStatus);
        const bool kept = message == 'p' && enabled;
        EXPECT_EQ(monitor.selectedPhotoId() == selected, !takesOver && !kept) << message;
        EXPECT_EQ(other->photos.size(), kept ? 1 : 0);
        EXPECT_TRUE(sentTo(*other).isEmpty()) << "nothing is sent outside director mode";
    }
    monitor.setDirectorModeOn(true);
    const auto last = addFakeCamera(monitor);
    monitor.handleHello(R"(..{"camera":"C"})", *last);
    EXPECT_EQ(monitor.activeCamera(), last.get());
    EXPECT_EQ(sentTo(*last), QList { command("requestState") });
}

TEST_F(Inbound, CommandsGoToTheActiveCameraAndSelectionAsksForState)
{
    const auto b = addFakeCamera(monitor);
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
    // A command that cannot be written sends nothing.
    monitor.sendRemoteCommand({ { "value", std::numeric_limits<double>::quiet_NaN() } }, *b);
    EXPECT_EQ(changes.count(), 2);
    EXPECT_EQ(b->paramState.value("iso").current, big) << "shown until the next state frame";
    EXPECT_FALSE(b->paramState.contains("grain")) << "no entry for a key never reported";
    EXPECT_EQ(sentTo(*cam), QList { command("shutter") });
    EXPECT_EQ(sentTo(*b),
        (QList { command("requestState"), command("requestState"), command("shutter"),
            command("setParam", { { "param", "iso" }, { "value", big } }),
            command("setParam", { { "param", "grain" }, { "value", qint64(-2) } }) }));
    monitor.toggleEnabled(*b);
    const bool receiving = b->enabled && b->status == CameraStatus::Receiving;
    monitor.toggleEnabled(*b);
    EXPECT_TRUE(receiving && b->status == CameraStatus::Paused && sentTo(*b).size() == 5) << "local only";
}

// Through the real link on loopback: the first record becomes active, a lost one gives way to a
// camera that sends, and nothing is left once the Monitor is gone.
TEST(MonitorLink, BridgesOverLoopbackBecomeCamerasAndTakeOverFromLostOnes)
{
    const ScratchSettings scratch;
    auto monitor = std::make_unique<Monitor>(scratch.settings());
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
    real.write(frames::frame(3, "..{\"camera\":\"Real\"}") + frames::fileFrame("IMG_1.PNG", image(4, 4)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !monitor->cameras()[1]->photos.isEmpty(); }, 10000));
    EXPECT_EQ(monitor->cameras()[1]->name, "Real");
    EXPECT_EQ(monitor->selectedPhoto(), &monitor->cameras()[1]->photos.first());
    // Paused, then cut off: lost like any other ("Sin señal"), not shown as paused.
    monitor->toggleEnabled(*monitor->cameras()[1]);
    real.disconnectFromHost();
    EXPECT_TRUE(QTest::qWaitFor([&] { return monitor->cameras()[1]->status == CameraStatus::NoSignal; }, 10000));
    monitor.reset();
    EXPECT_TRUE(QTest::qWaitFor([&] { return real.state() == QAbstractSocket::UnconnectedState; }, 10000));
}
