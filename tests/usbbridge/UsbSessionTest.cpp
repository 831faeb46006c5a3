// The USB bridge without a camera: the configuration's texts mapped to the vocabulary, and one
// camera's session (commands, photos, live view, faults) through a fake camera.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include "CameraSession.h"
#include "FakeCamera.h"
#include "ParamMapping.h"
#include "UsbBridge.h"

using namespace usb;

namespace {

using Reader = std::optional<qint64> (*)(const QString &);

struct TextCase {
    Reader read;
    const char *text;
    std::optional<qint64> expected;
};

TEST(UsbMapping, ChoiceTextsReadAsVocabularyValues)
{
    const TextCase cases[] = {
        {mapping::shutterMicroseconds, "1/250", 4000}, {mapping::shutterMicroseconds, "0.0012s", 1200},
        {mapping::shutterMicroseconds, "30", 30000000}, {mapping::shutterMicroseconds, "1\"3", 1300000},
        {mapping::shutterMicroseconds, "2.5 sec", 2500000}, {mapping::shutterMicroseconds, "Bulb", std::nullopt},
        {mapping::shutterMicroseconds, "1/0", std::nullopt}, {mapping::shutterMicroseconds, "-1/60", std::nullopt},
        {mapping::apertureHundredths, "f/5.6", 560}, {mapping::apertureHundredths, "F11", 1100},
        {mapping::apertureHundredths, "2.8", 280}, {mapping::apertureHundredths, "implicit auto", std::nullopt},
        {mapping::isoCode, "Auto ISO", 4294967295}, {mapping::isoCode, "Auto ISO 2", 4294967294},
        {mapping::isoCode, "auto3", 4294967293}, {mapping::isoCode, "Auto 4", std::nullopt},
        {mapping::isoCode, "ISO 400", 400}, {mapping::isoCode, "Hi 1", std::nullopt}, {mapping::isoCode, "0", std::nullopt},
        {mapping::kelvin, "5500K", 5500}, {mapping::kelvin, "3200", 3200}, {mapping::kelvin, "warm", std::nullopt},
        {mapping::whiteBalanceCode, "Automatic", 2}, {mapping::whiteBalanceCode, "Daylight", 4},
        {mapping::whiteBalanceCode, "Fluorescent 2", 0x8022}, {mapping::whiteBalanceCode, "Candle", std::nullopt},
        {mapping::filmSimulationCode, "PROVIA/Standard", 1}, {mapping::filmSimulationCode, "PRO Neg. Hi", 4},
        {mapping::filmSimulationCode, "ACROS +R", 14}, {mapping::filmSimulationCode, "Sunset", std::nullopt},
        {mapping::dynamicRangeCode, "DR Auto", 65535}, {mapping::dynamicRangeCode, "DR400", 400},
        {mapping::dynamicRangeCode, "200%", 200}, {mapping::dynamicRangeCode, "DR300", std::nullopt},
        {mapping::grainCode, "Off", 1}, {mapping::grainCode, "Weak Small", 2}, {mapping::grainCode, "Strong Large", 5},
        {mapping::tuneSteps, "-3", -3}, {mapping::tuneSteps, "+2", 2}, {mapping::tuneSteps, "x", std::nullopt},
    };
    for (const TextCase &c : cases)
        EXPECT_EQ(c.read(QString::fromUtf8(c.text)), c.expected) << c.text;
}

TEST(UsbMapping, ConfigBecomesStateAndValuesBecomeChanges)
{
    QList<ConfigItem> config = FakeCamera().config;
    config.append({QStringLiteral("iso"), ConfigItem::Kind::Choice, QStringLiteral("Hi 2"), {QStringLiteral("100")}});
    config.append({"whitebalance", ConfigItem::Kind::Choice, "Daylight", {"Auto", "Automatic", "Daylight"}, 0, 0, 0, 0, true});
    const auto params = mapping::paramsFromConfig(config);
    // Keys the camera lacks, and an ISO whose current text has no code, are not reported.
    EXPECT_EQ(params.keys(), (QStringList{"aperture", "colorTemperature", "shutterSpeed", "whiteBalanceMode"}));
    EXPECT_EQ(params["shutterSpeed"].current, 8000);
    EXPECT_EQ(params["shutterSpeed"].values, (QList<qint64>{4000, 8000, 500000}));
    EXPECT_EQ(params["colorTemperature"].values.size(), 76);
    EXPECT_EQ(params["whiteBalanceMode"].values, (QList<qint64>{2, 4})); // one code, one value
    EXPECT_EQ(params["colorTemperature"].values.last(), 10000);
    const QJsonObject state = QJsonDocument::fromJson(frames::stateJson(params)).object();
    EXPECT_EQ(state["aperture"].toObject()["current"].toInteger(), 400);
    EXPECT_EQ(state["supported"].toArray().size(), 4);

    EXPECT_EQ(mapping::changeFor(config, "shutterSpeed", 500000)->text, "0.5000s");
    EXPECT_EQ(mapping::changeFor(config, "colorTemperature", 3000)->value, 3000);
    EXPECT_FALSE(mapping::changeFor(config, "colorTemperature", 12000));
    EXPECT_FALSE(mapping::changeFor(config, "shutterSpeed", 1000));
    EXPECT_FALSE(mapping::changeFor(config, "whiteBalanceMode", 4)); // read-only
    EXPECT_FALSE(mapping::changeFor(config, "grainEffect", 1));
}

TEST(UsbBridgeNames, IdenticalBodiesToldApart)
{
    const QList<DetectedCamera> cams = {{"A", "usb:1"}, {"B", "usb:2"}, {"B", "usb:3"}, {"C", "usb:4"}, {"C", "usb:5"}};
    const auto names = UsbBridge::names(cams, {{"usb:2", "111"}, {"usb:3", "222"}, {"usb:4", "9"}, {"usb:5", "9"}});
    EXPECT_EQ(names.values(), (QStringList{"A", "B (111)", "B (222)", "C (usb:4)", "C (usb:5)"}));
}

struct Recorder : SessionSink {
    void state(const QByteArray &json) override { states.append(QJsonDocument::fromJson(json).object()); }
    void file(const QByteArray &name, const QByteArray &) override { files.append(QString::fromUtf8(name)); }
    void live(const QByteArray &jpeg) override { lives.append(jpeg); }
    void log(const QString &line) override { logs.append(line); }
    QList<QJsonObject> states;
    QStringList files, logs;
    QList<QByteArray> lives;
};

struct Session {
    explicit Session(SessionOptions options = {})
    {
        options.busyWaitMs = 0;
        auto owned = std::make_unique<FakeCamera>();
        camera = owned.get();
        session = std::make_unique<CameraSession>(std::move(owned), options, sink);
        session->setLinkReady(true);
    }
    FakeCamera *camera;
    Recorder sink;
    std::unique_ptr<CameraSession> session;
};

struct CommandCase {
    const char *json;
    int busy;
    const char *fail;
    int states;
    const char *log;     // the last log line starts with it
    const char *shutter; // the camera's shutter text afterwards
};

TEST(UsbSession, CommandsTable)
{
    const CommandCase cases[] = {
        {R"({"cmd":"requestState"})", 0, "", 1, "", "1/125"},
        {R"({"cmd":"shutter"})", 0, "", 0, "captured", "1/125"},
        {R"({"cmd":"shutter"})", 5, "", 0, "captured", "1/125"},
        {R"({"cmd":"shutter"})", 50, "", 0, "failed capture", "1/125"},
        {R"({"cmd":"shutter"})", 0, "trigger", 0, "failed capture", "1/125"},
        {R"({"cmd":"setParam","param":"shutterSpeed","value":4000})", 0, "", 1, "param shutterSpeed 4000 applied", "1/250"},
        {R"({"cmd":"setParam","param":"shutterSpeed","value":4001})", 0, "", 1, "param shutterSpeed 4001 rejected", "1/125"},
        {R"({"cmd":"setParam","param":"filmSimulation","value":3})", 0, "", 1, "param filmSimulation 3 unknown", "1/125"},
        {R"({"cmd":"setParam","param":"shutterSpeed","value":4000})", 0, "set", 1, "param shutterSpeed 4000 failed", "1/125"},
        {R"({"cmd":"setParam","param":"shutterSpeed","value":"4000"})", 0, "", 0, "ignored command", "1/125"},
        {R"([{"cmd":"shutter"}])", 0, "", 0, "ignored command", "1/125"},
        {"{\"cmd\":\"shut", 0, "", 0, "ignored command", "1/125"},
        {R"({"cmd":"format"})", 0, "", 0, "ignored command", "1/125"},
    };
    for (const CommandCase &c : cases) {
        Session s;
        s.camera->busy = c.busy;
        s.camera->fail = QLatin1String(c.fail);
        s.session->handleCommand(c.json);
        SCOPED_TRACE(c.json);
        EXPECT_EQ(s.sink.states.size(), c.states);
        if (*c.log) {
            EXPECT_TRUE(!s.sink.logs.isEmpty() && s.sink.logs.last().startsWith(QLatin1String(c.log))) << s.sink.logs.join(" | ").toStdString();
        }
        EXPECT_EQ(s.camera->find("shutterspeed")->text, c.shutter);
        EXPECT_EQ(s.camera->shots, QByteArray(c.log) == "captured");
        EXPECT_FALSE(s.session->gone());
    }
    // The state after a change reports what the camera holds now.
    Session s;
    s.session->handleCommand(R"({"cmd":"setParam","param":"shutterSpeed","value":4000})");
    EXPECT_EQ(s.sink.states.last()["shutterSpeed"].toObject()["current"].toInteger(), 4000);
}

TEST(UsbSession, PhotosGoOneAtATimeInCameraOrderAndSurviveALostLink)
{
    for (const bool deleteFromCard : {false, true}) {
        SessionOptions options;
        options.deleteFromCard = deleteFromCard;
        Session s(options);
        s.camera->pairs = true;
        s.session->shutter();
        s.session->step(0); // takes the events
        s.session->step(0);
        EXPECT_EQ(s.sink.files, QStringList{"IMG_0001.RAW"});
        s.session->step(0); // nothing more until the first has left
        EXPECT_EQ(s.sink.files.size(), 1);
        EXPECT_EQ(s.camera->card.size(), 2);
        s.session->fileDelivered();
        EXPECT_EQ(s.camera->card.size(), deleteFromCard ? 1 : 2);
        s.session->step(0);
        EXPECT_EQ(s.sink.files, (QStringList{"IMG_0001.RAW", "IMG_0001.JPG"}));
        // Dropped before it was known to have left: it goes again, and is deleted only then.
        s.session->setLinkReady(false);
        EXPECT_EQ(s.session->pending(), 1);
        s.session->step(0);
        EXPECT_EQ(s.sink.files.size(), 2);
        s.session->setLinkReady(true);
        s.session->step(0);
        EXPECT_EQ(s.sink.files, (QStringList{"IMG_0001.RAW", "IMG_0001.JPG", "IMG_0001.JPG"}));
        s.session->fileDelivered();
        EXPECT_EQ(s.camera->card.isEmpty(), deleteFromCard);
        EXPECT_EQ(s.session->pending(), 0);
    }
}

TEST(UsbSession, FaultyFilesAreSkippedAndTheNextGoes)
{
    struct Case {
        const char *fail;
        qint64 claimed;
        const char *log;
    };
    for (const Case &c : {Case{"download", 0, "failed downloading IMG_0001"}, Case{"", qint64(5) << 30, "skipped IMG_0001.JPG: too large"},
                          Case{"size", 0, "failed reading the size of IMG_0001"}}) {
        Session s;
        s.camera->fail = QLatin1String(c.fail);
        s.camera->claimedSize = c.claimed;
        s.session->shutter();
        s.session->step(0);
        s.session->step(0);
        EXPECT_TRUE(s.sink.files.isEmpty()) << c.log;
        EXPECT_TRUE(s.sink.logs.last().startsWith(QLatin1String(c.log))) << s.sink.logs.last().toStdString();
        s.camera->fail.clear();
        s.camera->claimedSize = 0;
        s.session->shutter();
        s.session->step(0);
        s.session->step(0);
        EXPECT_EQ(s.sink.files, QStringList{"IMG_0002.JPG"});
    }
}

TEST(UsbSession, LiveViewAroundCaptures)
{
    SessionOptions options;
    options.liveFps = 1e6; // a frame at every round
    Session s(options);
    s.camera->captureNeedsViewfinderOff = true;
    s.session->step(0);
    ASSERT_EQ(s.sink.lives.size(), 1);
    EXPECT_EQ(s.camera->find("viewfinder")->value, 1);
    // The camera refuses to capture with its viewfinder up: it is closed, the capture made,
    // and live view comes back with the next frame.
    s.session->shutter();
    EXPECT_EQ(s.camera->shots, 1);
    EXPECT_EQ(s.camera->find("viewfinder")->value, 0);
    s.session->step(0);
    s.session->step(0);
    EXPECT_EQ(s.sink.lives.size(), 3);
    EXPECT_EQ(s.camera->find("viewfinder")->value, 1);
    EXPECT_EQ(s.sink.files.size(), 1);
    s.camera->fail = QStringLiteral("preview");
    s.camera->failWith = Status::NotSupported;
    s.session->step(0);
    EXPECT_FALSE(s.session->liveViewOn());
    s.session->setLinkReady(false);
    s.camera->unplug();
    s.session->step(0);
    EXPECT_TRUE(s.session->gone());
}

} // namespace
