#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>
#include <memory>

#include "FakeConnection.h"
#include "FrameBytes.h"
#include "model/Monitor.h"

namespace {

// Decodes every frame a fake connection recorded into its JSON command; a frame with the wrong
// header or length becomes an empty object, which no expectation matches.
QList<QJsonObject> commands(const QList<QByteArray> &sent)
{
    QList<QJsonObject> out;
    for (const QByteArray &frame : sent) {
        const QByteArray payload = frame.mid(8);
        if (frame.left(8) != framebytes::header(6, quint32(payload.size()))) {
            out.append(QJsonObject());
            continue;
        }
        out.append(QJsonDocument::fromJson(payload).object());
    }
    return out;
}

QJsonObject cmd(const char *name)
{
    return QJsonObject { { "cmd", QString::fromLatin1(name) } };
}

class RemoteCommands : public ::testing::Test
{
protected:
    RemoteCommands()
        : monitor(std::make_unique<QSettings>(dir.filePath("s.ini"), QSettings::IniFormat))
    { }

    // Adds a camera with a fake connection; returns the record and what is sent on it.
    std::pair<std::shared_ptr<CameraConnection>, std::shared_ptr<QList<QByteArray>>> addCamera()
    {
        auto conn = std::make_unique<FakeConnection>();
        auto sent = conn->sent;
        auto cam = std::make_shared<CameraConnection>(std::move(conn));
        monitor.appendCamera(cam);
        return { cam, sent };
    }

    QTemporaryDir dir;
    Monitor monitor;
};

} // namespace

TEST_F(RemoteCommands, SelectCameraMakesItActiveClearsThePhotoAndRequestsState)
{
    auto [a, sentA] = addCamera();
    auto [b, sentB] = addCamera();
    monitor.setSelectedPhotoId(QUuid::createUuid());
    b->status = CameraStatus::NoSignal; // a lost camera can still be picked

    QSignalSpy changes(&monitor, &Monitor::objectWillChange);
    monitor.selectCamera(*b);
    EXPECT_EQ(monitor.activeCameraId(), b->id());
    EXPECT_EQ(monitor.activeCamera(), b.get());
    EXPECT_TRUE(monitor.selectedPhotoId().isNull());
    EXPECT_GE(changes.count(), 2);
    EXPECT_EQ(commands(*sentB), QList<QJsonObject> { cmd("requestState") });
    EXPECT_TRUE(sentA->isEmpty());

    // Selecting the active camera again still clears the selection and asks again.
    monitor.setSelectedPhotoId(QUuid::createUuid());
    monitor.selectCamera(*b);
    EXPECT_TRUE(monitor.selectedPhotoId().isNull());
    EXPECT_EQ(commands(*sentB), (QList<QJsonObject> { cmd("requestState"), cmd("requestState") }));
    EXPECT_EQ(b->status, CameraStatus::NoSignal) << "selection does not touch the status";
}

TEST_F(RemoteCommands, ToggleEnabledActsLocallyWhateverTheStatus)
{
    auto [cam, sent] = addCamera();
    QSignalSpy changes(&monitor, &Monitor::objectWillChange);

    monitor.toggleEnabled(*cam);
    EXPECT_FALSE(cam->enabled);
    EXPECT_EQ(cam->status, CameraStatus::Paused);
    EXPECT_EQ(changes.count(), 1);

    cam->status = CameraStatus::NoSignal;
    monitor.toggleEnabled(*cam);
    EXPECT_TRUE(cam->enabled);
    EXPECT_EQ(cam->status, CameraStatus::Receiving);

    monitor.toggleEnabled(*cam);
    monitor.toggleEnabled(*cam);
    EXPECT_TRUE(cam->enabled);
    EXPECT_EQ(cam->status, CameraStatus::Receiving) << "twice from noSignal ends receiving";
    EXPECT_TRUE(sent->isEmpty()) << "nothing goes to the bridge";
}

TEST_F(RemoteCommands, DirectorModeRequestsStateFromTheActiveCameraOnlyWhenSwitchedOn)
{
    // Without cameras only the flag changes.
    monitor.toggleDirectorMode();
    EXPECT_TRUE(monitor.directorModeOn());
    monitor.toggleDirectorMode();
    EXPECT_FALSE(monitor.directorModeOn());

    auto [a, sentA] = addCamera();
    auto [b, sentB] = addCamera();
    monitor.setActiveCameraId(b->id());
    monitor.toggleDirectorMode();
    EXPECT_TRUE(monitor.directorModeOn());
    EXPECT_EQ(commands(*sentB), QList<QJsonObject> { cmd("requestState") });
    EXPECT_TRUE(sentA->isEmpty());

    monitor.toggleDirectorMode();
    EXPECT_FALSE(monitor.directorModeOn());
    EXPECT_EQ(sentB->size(), 1) << "switching off sends nothing";
}

TEST_F(RemoteCommands, ShutterGoesToTheActiveCameraEvenWhenReceptionIsOff)
{
    monitor.triggerShutter(); // no camera: nothing happens

    auto [a, sentA] = addCamera();
    auto [b, sentB] = addCamera();
    // No active id: the first camera is the active one.
    monitor.triggerShutter();
    EXPECT_EQ(commands(*sentA), QList<QJsonObject> { cmd("shutter") });

    monitor.setActiveCameraId(b->id());
    b->enabled = false;
    b->status = CameraStatus::Paused;
    monitor.triggerShutter();
    EXPECT_EQ(commands(*sentB), QList<QJsonObject> { cmd("shutter") });
    EXPECT_EQ(sentA->size(), 1);
}

TEST_F(RemoteCommands, SetParamUpdatesAKnownEntryAndAlwaysSends)
{
    QSignalSpy changes(&monitor, &Monitor::objectWillChange);
    monitor.setParam("iso", 800); // no camera
    EXPECT_EQ(changes.count(), 0);

    auto [cam, sent] = addCamera();
    cam->paramState.insert("iso", ParamState { 400, { 200, 400, 800 } });
    changes.clear();

    // A value outside the allowed list is sent unchanged and shown until the next state frame.
    const qint64 big = std::numeric_limits<qint64>::max();
    monitor.setParam("iso", big);
    EXPECT_EQ(cam->paramState.value("iso").current, big);
    EXPECT_EQ(cam->paramState.value("iso").values, (QList<qint64> { 200, 400, 800 }));
    EXPECT_EQ(changes.count(), 1);

    // A key the camera never reported: no entry is made, the command still goes.
    monitor.setParam("grain", -2);
    EXPECT_FALSE(cam->paramState.contains("grain"));
    EXPECT_EQ(cam->paramState.size(), 1);

    const QList<QJsonObject> got = commands(*sent);
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(got[0], (QJsonObject { { "cmd", "setParam" }, { "param", "iso" }, { "value", big } }));
    EXPECT_EQ(got[0].value("value").toInteger(), big);
    EXPECT_EQ(got[1], (QJsonObject { { "cmd", "setParam" }, { "param", "grain" }, { "value", -2 } }));
}

TEST_F(RemoteCommands, CommandsThatCannotBeSentAreDroppedQuietly)
{
    auto [cam, sent] = addCamera();
    monitor.sendRemoteCommand(
        { { "cmd", "setParam" }, { "value", std::numeric_limits<double>::quiet_NaN() } }, *cam);
    EXPECT_TRUE(sent->isEmpty());

    // A record without a connection swallows commands.
    auto bare = std::make_shared<CameraConnection>(nullptr);
    monitor.appendCamera(bare);
    monitor.selectCamera(*bare);
    monitor.triggerShutter();
    EXPECT_EQ(monitor.activeCameraId(), bare->id());
}
