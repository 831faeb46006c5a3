#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <limits>

#include "../link/FrameBytes.h"
#include "FakeConnection.h"
#include "QtPrinters.h"
#include "SampleFiles.h"
#include "link/InboundMessages.h"
#include "state/Monitor.h"

namespace {

QByteArray image(int w, int h, const char *format = "PNG")
{
    return SampleFiles::encode(SampleFiles::solid(QSize(w, h), qRgb(0, 128, 128)), format);
}

// The commands a fake connection was given, decoded; a frame with a wrong header is {}.
QList<QJsonObject> commands(const QList<QByteArray> &sent)
{
    QList<QJsonObject> out;
    for (const QByteArray &frame : sent)
        out.append(frame.left(8) == framebytes::header(6, quint32(frame.size() - 8))
                       ? QJsonDocument::fromJson(frame.mid(8)).object() : QJsonObject());
    return out;
}

QJsonObject cmd(const char *name)
{
    return {{"cmd", QString::fromLatin1(name)}};
}

class Inbound : public ::testing::Test
{
protected:
    // A camera record with a fake connection; `sent` of it is what went to the bridge.
    std::shared_ptr<CameraConnection> addCamera()
    {
        auto conn = std::make_unique<FakeConnection>();
        sent.push_back(conn->sent);
        auto cam = std::make_shared<CameraConnection>(std::move(conn));
        monitor.appendCamera(cam);
        return cam;
    }
    [[nodiscard]] qsizetype changes() const { return spy.count(); }

    QTemporaryDir dir;
    Monitor monitor{std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat)};
    std::vector<std::shared_ptr<QList<QByteArray>>> sent;
    std::shared_ptr<CameraConnection> cam = addCamera();
    QSignalSpy spy{&monitor, &Monitor::objectWillChange};
};

} // namespace

TEST_F(Inbound, HelloRenamesAfterTwoBytesOnlyWithAUsableName)
{
    monitor.handleHello(QByteArray("\x07\xff", 2) + R"({"camera":"  Estudio Norte ","other":1})", *cam);
    EXPECT_EQ(cam->name, "  Estudio Norte ");
    EXPECT_EQ(changes(), 1);
    const std::optional<QByteArray> ignored[] = {
        R"({"camera":"No prefix"})", R"(xx{"camera":""})", R"(xx{"camera":42})", R"(xx{"camera":null})",
        R"(xx{"name":"Other"})", R"(xx["camera","A"])", R"(xx{"camera":"A")", R"(xx{"camera":"A"} trailing)",
        "{}", "x", QByteArray(), std::nullopt,
    };
    for (const auto &payload : ignored)
        monitor.handleHello(payload, *cam);
    EXPECT_EQ(cam->name, "  Estudio Norte ");
    EXPECT_EQ(changes(), 1);
    monitor.handleHello(QByteArray("\0\0", 2) + QString::fromUtf8(R"({"camera":"Cámara 2 📷"})").toUtf8(), *cam);
    EXPECT_EQ(cam->name, QString::fromUtf8("Cámara 2 📷"));
}

TEST_F(Inbound, StateMergesWellFormedEntriesUnderOneNotification)
{
    cam->paramState.insert("aperture", ParamState{28, {20, 28}});
    cam->paramState.insert("grain", ParamState{1, {0, 1}});
    cam->paramState.insert("wb", ParamState{5, {}});
    monitor.handleState(R"({"supported":{"current":1,"values":[1]}, "iso":{"current":400,"values":[200,400,800],"x":"y"},
        "shutterSpeed":{"current":-7}, "grain":{"current":"2"}, "wb":7, "dr":{"current":null},
        "film":{"current":3,"values":[1,"two",3]}, "tune":{"current":1,"values":5}})", *cam);
    EXPECT_EQ(changes(), 1);
    const QMap<QString, ParamState> &p = cam->paramState;
    EXPECT_EQ(p.keys(), (QStringList{"aperture", "film", "grain", "iso", "shutterSpeed", "tune", "wb"}));
    EXPECT_EQ(p["iso"].current, 400);
    EXPECT_EQ(p["iso"].values, (QList<qint64>{200, 400, 800}));
    EXPECT_EQ(p["shutterSpeed"].current, -7);
    EXPECT_EQ(p["aperture"].values, (QList<qint64>{20, 28})) << "keys not mentioned keep their entry";
    EXPECT_EQ(p["grain"].current, 1);
    EXPECT_EQ(p["wb"].current, 5);
    EXPECT_EQ(p["film"].current, 3);
    EXPECT_TRUE(p["film"].values.isEmpty()) << "any non-number empties the list";
    EXPECT_TRUE(p["tune"].values.isEmpty());

    for (const std::optional<QByteArray> &payload : {std::optional<QByteArray>(R"([{"iso":{"current":1}}])"),
             std::optional<QByteArray>("not json"), std::optional<QByteArray>("xx{\"iso\":{\"current\":1}}"),
             std::optional<QByteArray>(QByteArray()), std::optional<QByteArray>("42"), std::optional<QByteArray>()})
        monitor.handleState(payload, *cam);
    EXPECT_EQ(changes(), 1);
    EXPECT_EQ(p["iso"].current, 400);
    monitor.handleState("{}", *cam);
    EXPECT_EQ(changes(), 2) << "an empty object still announces";
}

TEST(RawValues, ConvertLikeTheCameraCodes)
{
    const qint64 max = std::numeric_limits<qint64>::max();
    const qint64 min = std::numeric_limits<qint64>::min();
    const std::pair<const char *, qint64> cases[] = {
        {"0", 0}, {"2.9", 2}, {"-2.9", -2}, {"-0.5", 0}, {"true", 1}, {"false", 0}, {"1e3", 1000}, {"2.5e1", 25},
        {"9007199254740993", 9007199254740993LL}, {"-9007199254740993", -9007199254740993LL},
        {"9223372036854775807", max}, {"-9223372036854775808", min}, {"9223372036854775808", max},
        {"1e300", max}, {"-1e300", min},
    };
    for (const auto &[json, expected] : cases) {
        const auto entries = inbound::stateEntries(QByteArray(R"({"p":{"current":)") + json + R"(,"values":[)" + json + "]}}");
        ASSERT_TRUE(entries && entries->contains("p")) << json;
        EXPECT_EQ(entries->value("p").current, expected) << json;
        EXPECT_EQ(entries->value("p").values, QList<qint64>{expected}) << json;
    }
}

TEST_F(Inbound, LiveViewReplacesTheFrameAndBadFramesKeepIt)
{
    monitor.handleLiveView(image(64, 48, "JPEG"), *cam);
    monitor.handleLiveView(image(32, 20), *cam);
    EXPECT_EQ(cam->liveFrame.size(), QSize(32, 20));
    EXPECT_EQ(changes(), 2);
    for (const std::optional<QByteArray> &bad : {std::optional<QByteArray>("not an image"),
             std::optional<QByteArray>(QByteArray()), std::optional<QByteArray>(image(64, 48, "JPEG").left(20)),
             std::optional<QByteArray>()})
        monitor.handleLiveView(bad, *cam);
    EXPECT_EQ(cam->liveFrame.size(), QSize(32, 20));
    EXPECT_EQ(changes(), 2);
}

TEST_F(Inbound, PausedCameraStillTakesHelloStateAndLiveViewAndNothingIsAnswered)
{
    cam->enabled = false;
    cam->status = CameraStatus::Paused;
    const QDateTime activity = cam->lastActivity;
    monitor.handleHello(R"(..{"camera":"Pausada"})", *cam);
    monitor.handleState(R"({"iso":{"current":800}})", *cam);
    monitor.handleLiveView(image(16, 9), *cam);
    monitor.handlePhotoMessage("dropped.png", image(4, 4), *cam);
    EXPECT_EQ(cam->name, "Pausada");
    EXPECT_EQ(cam->paramState["iso"].current, 800);
    EXPECT_EQ(cam->liveFrame.size(), QSize(16, 9));
    EXPECT_TRUE(cam->photos.isEmpty());
    EXPECT_EQ(changes(), 3);
    EXPECT_EQ(cam->status, CameraStatus::Paused);
    EXPECT_EQ(cam->lastActivity, activity);
    EXPECT_TRUE(sent[0]->isEmpty());
}

// The shown camera changes by itself only when it has lost its connection, and only for a
// camera that introduces itself or sends a photo that is kept.
TEST_F(Inbound, OnlyALostActiveCameraGivesWayToOneThatSends)
{
    struct Case { CameraStatus activeStatus; char message; bool enabled; bool takesOver; };
    const Case cases[] = {
        {CameraStatus::Receiving, 'h', true, false}, {CameraStatus::Receiving, 'p', true, false},
        {CameraStatus::Paused, 'h', true, false}, {CameraStatus::Paused, 'p', true, false},
        {CameraStatus::NoSignal, 'h', true, true}, {CameraStatus::NoSignal, 'p', true, true},
        {CameraStatus::NoSignal, 'h', false, true}, {CameraStatus::NoSignal, 'p', false, false},
        {CameraStatus::NoSignal, 's', true, false}, {CameraStatus::NoSignal, 'b', true, false},
    };
    for (const Case &c : cases) {
        const std::string label = std::string(1, c.message) + " status " + std::to_string(int(c.activeStatus)) + " enabled " + std::to_string(c.enabled);
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
        EXPECT_EQ(monitor.activeCamera(), c.takesOver ? other.get() : cam.get()) << label;
        if (c.message != 'p') {
            EXPECT_EQ(monitor.selectedPhotoId(), c.takesOver ? QUuid() : selected) << label;
        }
        EXPECT_TRUE(sent.back()->isEmpty()) << label << ": nothing is sent outside director mode";
    }
    monitor.setDirectorModeOn(true);
    const auto last = addCamera();
    monitor.handleHello(R"(..{"camera":"C"})", *last);
    EXPECT_EQ(monitor.activeCamera(), last.get());
    EXPECT_EQ(commands(*sent.back()), QList<QJsonObject>{cmd("requestState")}) << "asked as when picked";
}

TEST_F(Inbound, CommandsGoToTheActiveCameraAndSelectionAsksForState)
{
    const auto b = addCamera();
    monitor.triggerShutter(); // no active id: the first camera
    b->status = CameraStatus::NoSignal; // a lost camera can still be picked
    monitor.setSelectedPhotoId(QUuid::createUuid());
    monitor.selectCamera(*b);
    EXPECT_EQ(monitor.activeCamera(), b.get());
    EXPECT_TRUE(monitor.selectedPhotoId().isNull());
    EXPECT_EQ(b->status, CameraStatus::NoSignal);
    monitor.toggleDirectorMode(); // on: asks the active camera
    monitor.toggleDirectorMode(); // off: sends nothing
    EXPECT_FALSE(monitor.directorModeOn());
    b->enabled = false; // reception off does not stop commands
    monitor.triggerShutter();
    b->paramState.insert("iso", ParamState{400, {200, 400, 800}});
    const qint64 big = std::numeric_limits<qint64>::max();
    const qsizetype before = changes();
    monitor.setParam("iso", big);
    monitor.setParam("grain", -2);
    EXPECT_EQ(changes(), before + 2);
    EXPECT_EQ(b->paramState.value("iso").current, big) << "shown until the next state frame";
    EXPECT_EQ(b->paramState.value("iso").values, (QList<qint64>{200, 400, 800}));
    EXPECT_FALSE(b->paramState.contains("grain")) << "no entry for a key never reported";
    EXPECT_EQ(commands(*sent[0]), QList<QJsonObject>{cmd("shutter")});
    EXPECT_EQ(commands(*sent[1]), (QList<QJsonObject>{cmd("requestState"), cmd("requestState"), cmd("shutter"),
                                   QJsonObject{{"cmd", "setParam"}, {"param", "iso"}, {"value", big}},
                                   QJsonObject{{"cmd", "setParam"}, {"param", "grain"}, {"value", -2}}}));
    EXPECT_EQ(commands(*sent[1])[3].value("value").toInteger(), big);

    monitor.sendRemoteCommand({{"cmd", "setParam"}, {"value", std::numeric_limits<double>::quiet_NaN()}}, *b);
    EXPECT_EQ(sent[1]->size(), 5) << "what cannot be written is dropped";
    monitor.toggleEnabled(*b);
    EXPECT_TRUE(b->enabled);
    EXPECT_EQ(b->status, CameraStatus::Receiving);
    monitor.toggleEnabled(*b);
    EXPECT_EQ(b->status, CameraStatus::Paused);
    EXPECT_EQ(sent[1]->size(), 5) << "toggling reception is local";
}

// Through the real link on loopback: records are made and the first becomes active, a lost
// active camera gives way to a camera that sends, and nothing is left once the Monitor is gone.
TEST(MonitorLink, BridgesOverLoopbackBecomeCamerasThatTakeOverFromLostOnes)
{
    using namespace framebytes;
    QTemporaryDir dir;
    auto monitor = std::make_unique<Monitor>(std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat));
    ASSERT_TRUE(monitor->link().start(QHostAddress::LocalHost, 0, CameraLink::Advertise::No));
    EXPECT_TRUE(monitor->listening());
    monitor->useChosenFolder(QUrl::fromLocalFile(dir.filePath("capture")));
    const auto connectBridge = [&] {
        const qsizetype before = monitor->cameras().size();
        auto bridge = std::make_unique<QTcpSocket>();
        bridge->connectToHost(QHostAddress::LocalHost, monitor->link().listener().port());
        EXPECT_TRUE(QTest::qWaitFor([&] { return monitor->cameras().size() == before + 1; }, 10000));
        return bridge;
    };
    const auto camera = [&](int i) { return monitor->cameras().value(i); };
    const auto until = [](const auto &done) { return QTest::qWaitFor(done, 10000); };

    connectBridge()->disconnectFromHost(); // a probe that connected and left at once
    ASSERT_TRUE(until([&] { return camera(0)->status == CameraStatus::NoSignal; }));
    auto real = connectBridge();
    EXPECT_EQ(monitor->activeCameraId(), camera(0)->id()) << "connecting does not take over";
    real->write(frame(3, "..{\"camera\":\"Real\"}") + fileFrame("IMG_1.PNG", image(4, 4)));
    ASSERT_TRUE(until([&] { return !camera(1)->photos.isEmpty(); }));
    EXPECT_EQ(camera(1)->name, "Real");
    EXPECT_EQ(monitor->activeCamera(), camera(1).get());
    EXPECT_EQ(monitor->selectedPhoto()->filename, "IMG_1.PNG");

    real->disconnectFromHost();
    ASSERT_TRUE(until([&] { return camera(1)->status == CameraStatus::NoSignal; }));
    auto again = connectBridge();
    again->write(fileFrame("IMG_2.PNG", image(4, 4)));
    ASSERT_TRUE(until([&] { return !camera(2)->photos.isEmpty(); }));
    EXPECT_EQ(monitor->activeCamera(), camera(2).get());
    EXPECT_EQ(monitor->selectedPhoto()->filename, "IMG_2.PNG");

    again->write(frame(3, "..{\"camera\":\"late\"}"));
    monitor.reset();
    EXPECT_TRUE(until([&] { return again->state() == QAbstractSocket::UnconnectedState; }));
}
