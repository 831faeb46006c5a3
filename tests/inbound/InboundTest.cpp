#include <limits>

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "QtPrinters.h"

#include "FakeConnection.h"
#include "link/InboundMessages.h"
#include "link/MonitorInbound.h"
#include "ingest/IngestState.h"
#include "model/Monitor.h"

namespace {

constexpr quint8 kHello = 3;
constexpr quint8 kState = 7;

QByteArray imageBytes(int w, int h, const char *format)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

class Inbound : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_monitor = std::make_unique<Monitor>(
            std::make_unique<QSettings>(m_dir.filePath("settings.ini"), QSettings::IniFormat));
        m_cam = std::make_shared<CameraConnection>(std::make_unique<FakeConnection>());
        m_monitor->appendCamera(m_cam);
        m_changes = std::make_unique<QSignalSpy>(m_monitor.get(), &Monitor::objectWillChange);
    }
    void hello(const std::optional<QByteArray> &payload) { m_monitor->handleJsonMessage(kHello, payload, *m_cam); }
    void state(const std::optional<QByteArray> &payload) { m_monitor->handleJsonMessage(kState, payload, *m_cam); }
    [[nodiscard]] qsizetype changes() const { return m_changes->count(); }

    QTemporaryDir m_dir;
    std::unique_ptr<Monitor> m_monitor;
    std::shared_ptr<CameraConnection> m_cam;
    std::unique_ptr<QSignalSpy> m_changes;
};

} // namespace

// --- Hello ---------------------------------------------------------------------------------------

TEST_F(Inbound, HelloRenamesAfterSkippingTwoBytesAndAnnouncesOnce)
{
    hello(QByteArray("\x07\xff", 2) + R"({"camera":"  Estudio Norte ","other":1})");
    EXPECT_EQ(m_cam->name, "  Estudio Norte ");
    EXPECT_EQ(changes(), 1);

    hello(QByteArray("\0\0", 2) + QString::fromUtf8(R"({"camera":"Cámara 2 📷"})").toUtf8());
    EXPECT_EQ(m_cam->name, QString::fromUtf8("Cámara 2 📷"));
    EXPECT_EQ(changes(), 2);
}

TEST_F(Inbound, HelloThatIsNotAUsableNameChangesNothing)
{
    const std::optional<QByteArray> ignored[] = {
        R"({"camera":"No prefix"})", // object starts at the first byte: the skip breaks it
        QByteArray("xx") + R"({"camera":""})",
        QByteArray("xx") + R"({"camera":42})",
        QByteArray("xx") + R"({"camera":null})",
        QByteArray("xx") + R"({"name":"Other"})",
        QByteArray("xx") + R"(["camera","A"])",
        QByteArray("xx") + R"({"camera":"A")",
        QByteArray("xx") + R"({"camera":"A"} trailing)",
        QByteArray("{}"),
        QByteArray("x"),
        QByteArray(),
        std::nullopt,
    };
    for (const auto &payload : ignored)
        hello(payload);
    EXPECT_EQ(m_cam->name, QString::fromUtf8("Cámara"));
    EXPECT_EQ(changes(), 0);
}

// --- State ---------------------------------------------------------------------------------------

TEST_F(Inbound, StateMergesParametersSkippingSupportedAndAnnouncesOnce)
{
    m_cam->paramState.insert("aperture", ParamState{28, {20, 28}});
    state(R"({"supported":{"current":1,"values":[1]},
              "iso":{"current":400,"values":[200,400,800],"extra":"x"},
              "shutterSpeed":{"current":-7}})");
    EXPECT_EQ(changes(), 1);
    EXPECT_FALSE(m_cam->paramState.contains("supported"));
    ASSERT_TRUE(m_cam->paramState.contains("iso"));
    EXPECT_EQ(m_cam->paramState["iso"].current, 400);
    EXPECT_EQ(m_cam->paramState["iso"].values, (QList<qint64>{200, 400, 800}));
    EXPECT_EQ(m_cam->paramState["shutterSpeed"].current, -7);
    EXPECT_TRUE(m_cam->paramState["shutterSpeed"].values.isEmpty());
    EXPECT_EQ(m_cam->paramState["aperture"].current, 28) << "keys not mentioned keep their entry";
    EXPECT_EQ(m_cam->paramState["aperture"].values, (QList<qint64>{20, 28}));
}

TEST_F(Inbound, MalformedStateMembersLeavePreviousEntries)
{
    m_cam->paramState.insert("iso", ParamState{200, {100, 200}});
    m_cam->paramState.insert("grain", ParamState{1, {0, 1}});
    m_cam->paramState.insert("wb", ParamState{5, {}});
    state(R"({"iso":{"values":[1,2]},"grain":{"current":"2"},"wb":7,
              "dr":{"current":null},"film":{"current":3,"values":[1,"two",3]},
              "tune":{"current":1,"values":5}})");
    EXPECT_EQ(changes(), 1);
    EXPECT_EQ(m_cam->paramState["iso"].current, 200);
    EXPECT_EQ(m_cam->paramState["iso"].values, (QList<qint64>{100, 200}));
    EXPECT_EQ(m_cam->paramState["grain"].current, 1);
    EXPECT_EQ(m_cam->paramState["wb"].current, 5);
    EXPECT_FALSE(m_cam->paramState.contains("dr"));
    EXPECT_EQ(m_cam->paramState["film"].current, 3);
    EXPECT_TRUE(m_cam->paramState["film"].values.isEmpty()) << "any non-number empties the list";
    EXPECT_TRUE(m_cam->paramState["tune"].values.isEmpty());
}

TEST_F(Inbound, StateThatIsNotAnObjectChangesNothingAndIsSilent)
{
    m_cam->paramState.insert("iso", ParamState{200, {}});
    for (const std::optional<QByteArray> &payload :
         {std::optional<QByteArray>(R"([{"iso":{"current":1}}])"), std::optional<QByteArray>("not json"),
          std::optional<QByteArray>("xx{\"iso\":{\"current\":1}}"), std::optional<QByteArray>(QByteArray()),
          std::optional<QByteArray>("42"), std::optional<QByteArray>()})
        state(payload);
    EXPECT_EQ(changes(), 0);
    EXPECT_EQ(m_cam->paramState.size(), 1);
    EXPECT_EQ(m_cam->paramState["iso"].current, 200);

    state("{}");
    EXPECT_EQ(changes(), 1) << "an empty object still announces";
    EXPECT_EQ(m_cam->paramState.size(), 1);
}

struct NumberCase {
    const char *json;
    qint64 expected;
};

class RawValues : public ::testing::TestWithParam<NumberCase>
{
};

TEST_P(RawValues, ConvertLikeTheCameraCodes)
{
    const NumberCase &c = GetParam();
    const QByteArray payload = QByteArray(R"({"p":{"current":)") + c.json + R"(,"values":[)" + c.json + "]}}";
    const auto entries = inbound::stateEntries(payload);
    ASSERT_TRUE(entries.has_value()) << c.json;
    ASSERT_TRUE(entries->contains("p")) << c.json;
    EXPECT_EQ(entries->value("p").current, c.expected) << c.json;
    EXPECT_EQ(entries->value("p").values, QList<qint64>{c.expected}) << c.json;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, RawValues,
    ::testing::Values(NumberCase{"0", 0}, NumberCase{"2.9", 2}, NumberCase{"-2.9", -2}, NumberCase{"-0.5", 0},
                      NumberCase{"true", 1}, NumberCase{"false", 0}, NumberCase{"1e3", 1000},
                      NumberCase{"2.5e1", 25}, NumberCase{"9007199254740993", 9007199254740993LL},
                      NumberCase{"-9007199254740993", -9007199254740993LL},
                      NumberCase{"9223372036854775807", std::numeric_limits<qint64>::max()},
                      NumberCase{"-9223372036854775808", std::numeric_limits<qint64>::min()},
                      NumberCase{"9223372036854775808", std::numeric_limits<qint64>::max()},
                      NumberCase{"1e300", std::numeric_limits<qint64>::max()},
                      NumberCase{"-1e300", std::numeric_limits<qint64>::min()}));

// --- Live view -----------------------------------------------------------------------------------

TEST_F(Inbound, LiveViewFrameReplacesTheImageAndBadFramesKeepIt)
{
    m_monitor->handleLiveView(imageBytes(64, 48, "JPEG"), *m_cam);
    EXPECT_EQ(m_cam->liveFrame.size(), QSize(64, 48));
    EXPECT_EQ(changes(), 1);

    m_monitor->handleLiveView(imageBytes(32, 20, "PNG"), *m_cam);
    EXPECT_EQ(m_cam->liveFrame.size(), QSize(32, 20));
    EXPECT_EQ(changes(), 2);

    const QByteArray jpeg = imageBytes(64, 48, "JPEG");
    for (const std::optional<QByteArray> &bad :
         {std::optional<QByteArray>("not an image"), std::optional<QByteArray>(QByteArray()),
          std::optional<QByteArray>(jpeg.left(20)), std::optional<QByteArray>()})
        m_monitor->handleLiveView(bad, *m_cam);
    EXPECT_EQ(m_cam->liveFrame.size(), QSize(32, 20));
    EXPECT_EQ(changes(), 2);
}

// --- What reception being off does not stop, and what messages never touch -------------------------

TEST_F(Inbound, DisabledCameraStillTakesHelloStateAndLiveView)
{
    m_cam->enabled = false;
    m_cam->status = CameraStatus::Paused;
    const QDateTime activity = m_cam->lastActivity;
    const QUuid active = m_monitor->activeCameraId();

    hello(QByteArray("..") + R"({"camera":"Pausada"})");
    state(R"({"iso":{"current":800}})");
    m_monitor->handleLiveView(imageBytes(16, 9, "PNG"), *m_cam);

    EXPECT_EQ(m_cam->name, "Pausada");
    EXPECT_EQ(m_cam->paramState["iso"].current, 800);
    EXPECT_EQ(m_cam->liveFrame.size(), QSize(16, 9));
    EXPECT_EQ(changes(), 3);
    EXPECT_EQ(m_cam->status, CameraStatus::Paused);
    EXPECT_EQ(m_cam->lastActivity, activity);
    EXPECT_EQ(m_monitor->activeCameraId(), active);
    auto *conn = dynamic_cast<FakeConnection *>(m_cam->conn());
    ASSERT_NE(conn, nullptr);
    EXPECT_TRUE(conn->sent->isEmpty()) << "nothing is sent back in answer to a message";
}

TEST_F(Inbound, UnknownJsonTypeIsIgnored)
{
    m_monitor->handleJsonMessage(5, QByteArray("..") + R"({"camera":"X"})", *m_cam);
    m_monitor->handleJsonMessage(1, R"({"iso":{"current":1}})", *m_cam);
    EXPECT_EQ(changes(), 0);
    EXPECT_EQ(m_cam->name, QString::fromUtf8("Cámara"));
    EXPECT_TRUE(m_cam->paramState.isEmpty());
}

// --- The handler the read loop is given ------------------------------------------------------------

TEST_F(Inbound, HandlerForwardsEachFrameKindToTheMonitor)
{
    const QString folder = m_dir.filePath("captures");
    m_monitor->useChosenFolder(QUrl::fromLocalFile(folder));
    const auto handler = makeMonitorInbound(*m_monitor);

    handler->jsonFrame(m_cam, kHello, QByteArray("..") + R"({"camera":"Lado B"})");
    handler->jsonFrame(m_cam, kState, QByteArray(R"({"iso":{"current":1600}})"));
    handler->liveViewFrame(m_cam, imageBytes(10, 10, "PNG"));
    handler->fileFrame(m_cam, "IMG_0100.PNG", imageBytes(12, 12, "PNG"));
    EXPECT_EQ(changes(), 5); // folder choice + four messages
    waitForStores(*m_monitor);

    EXPECT_EQ(m_cam->name, "Lado B");
    EXPECT_EQ(m_cam->paramState["iso"].current, 1600);
    EXPECT_EQ(m_cam->liveFrame.size(), QSize(10, 10));
    ASSERT_EQ(m_cam->photos.size(), 1);
    EXPECT_EQ(m_cam->photos.first().filename, "IMG_0100.PNG");
    EXPECT_TRUE(QFileInfo::exists(QDir(folder).filePath("IMG_0100.PNG")));
    EXPECT_EQ(changes(), 6); // and the file stored
}

// Which camera is shown changes by itself only when the shown one has lost its connection, and
// only for a camera that introduces itself or sends a photo that is kept.
TEST_F(Inbound, OnlyALostActiveCameraGivesWayToOneThatSends)
{
    struct Case {
        CameraStatus activeStatus;
        const char *message; // "hello", "photo", "state", "bad hello"
        bool enabled;
        bool takesOver;
    };
    const Case cases[] = {
        { CameraStatus::Receiving, "hello", true, false },
        { CameraStatus::Receiving, "photo", true, false },
        { CameraStatus::Paused, "hello", true, false },
        { CameraStatus::Paused, "photo", true, false },
        { CameraStatus::NoSignal, "hello", true, true },
        { CameraStatus::NoSignal, "photo", true, true },
        { CameraStatus::NoSignal, "hello", false, true },
        { CameraStatus::NoSignal, "photo", false, false }, // dropped, so it does not show
        { CameraStatus::NoSignal, "state", true, false },
        { CameraStatus::NoSignal, "bad hello", true, false },
    };
    m_monitor->useChosenFolder(QUrl::fromLocalFile(m_dir.filePath("captures")));
    const auto handler = makeMonitorInbound(*m_monitor);
    for (const Case &c : cases) {
        const std::string label = std::string(c.message) + " status " + std::to_string(int(c.activeStatus))
            + (c.enabled ? "" : " disabled");
        auto conn = std::make_unique<FakeConnection>();
        const auto sent = conn->sent;
        const auto other = std::make_shared<CameraConnection>(std::move(conn));
        other->enabled = c.enabled;
        m_monitor->appendCamera(other);
        m_monitor->setActiveCameraId(m_cam->id());
        const QUuid selected = QUuid::createUuid();
        m_monitor->setSelectedPhotoId(selected);
        m_cam->status = c.activeStatus;

        if (std::string(c.message) == "photo")
            handler->fileFrame(other, "IMG.JPG", imageBytes(8, 8, "PNG"));
        else if (std::string(c.message) == "state")
            handler->jsonFrame(other, kState, QByteArray(R"({"iso":{"current":1}})"));
        else
            handler->jsonFrame(
                other, kHello, QByteArray(c.message[0] == 'b' ? "..{}" : R"(..{"camera":"B"})"));

        EXPECT_EQ(m_monitor->activeCamera(), c.takesOver ? other.get() : m_cam.get()) << label;
        if (c.takesOver && std::string(c.message) == "hello") {
            EXPECT_TRUE(m_monitor->selectedPhotoId().isNull()) << label << ": the new camera's newest shows";
        } else if (!c.takesOver && std::string(c.message) != "photo") {
            EXPECT_EQ(m_monitor->selectedPhotoId(), selected) << label;
        }
        EXPECT_TRUE(sent->isEmpty()) << label << ": nothing is sent outside director mode";
    }
    waitForStores(*m_monitor);

    // In director mode the camera that takes over is asked for its parameters, as when picked.
    m_monitor->setDirectorModeOn(true);
    auto conn = std::make_unique<FakeConnection>();
    const auto sent = conn->sent;
    const auto last = std::make_shared<CameraConnection>(std::move(conn));
    m_monitor->appendCamera(last);
    handler->jsonFrame(last, kHello, QByteArray(R"(..{"camera":"C"})"));
    EXPECT_EQ(m_monitor->activeCamera(), last.get());
    ASSERT_EQ(sent->size(), 1);
    EXPECT_TRUE(sent->first().endsWith(R"({"cmd":"requestState"})"));
}

TEST_F(Inbound, HandlerDropsMessagesOnceTheMonitorIsGone)
{
    const auto handler = makeMonitorInbound(*m_monitor);
    m_changes.reset();
    m_monitor.reset();
    handler->jsonFrame(m_cam, kHello, QByteArray("..") + R"({"camera":"Tarde"})");
    handler->fileFrame(m_cam, "late.jpg", "bytes");
    handler->liveViewFrame(m_cam, imageBytes(4, 4, "PNG"));
    EXPECT_EQ(m_cam->name, QString::fromUtf8("Cámara"));
    EXPECT_TRUE(m_cam->photos.isEmpty());
    EXPECT_TRUE(m_cam->liveFrame.isNull());
}
