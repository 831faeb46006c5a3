// Hello, state and live-view messages through the Monitor's real handlers, applied in sequence
// to one camera record, each checked against what the message may change.
//
// Input: a sequence of messages. Per message: one op byte (bits 0-1: hello, state, live view,
// or a JSON message of the frame type in bits 3-6; bit 2: payload absent, as when the
// connection ended inside it; bit 7: through the listener's signals, as the read loop reports
// them, rather than the Monitor's own operations), a 16-bit little-endian length (0xFFFF: the rest of the input),
// then that many payload bytes.

#include <QByteArray>
#include <QImage>
#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "FuzzSupport.h"
#include "link/WireProtocol.h"
#include "model/CameraConnection.h"
#include "state/Monitor.h"

namespace {

// Inbound handling never answers a bridge.
class SilentConnection : public Connection
{
public:
    void send(const QByteArray &) override { fuzz::fail("a message was answered on the connection", __FILE__, __LINE__); }
};

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<Monitor> monitor;
    int notifications = 0;

    Fixture()
    {
        fuzz::ensureApplication();
        FUZZ_CHECK(dir.isValid());
        monitor = std::make_unique<Monitor>(
            std::make_unique<QSettings>(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat));
        QObject::connect(monitor.get(), &Monitor::objectWillChange, [this] { ++notifications; });
    }
};

Fixture &fixture()
{
    static Fixture *f = new Fixture; // lives until the process exits
    return *f;
}

// A JSON number (true/false count as 1/0) well inside the range where a double is exact.
std::optional<double> smallNumber(const QJsonValue &v)
{
    if (v.isBool())
        return v.toBool() ? 1.0 : 0.0;
    if (!v.isDouble())
        return std::nullopt;
    const double d = std::trunc(v.toDouble());
    if (std::fabs(d) >= 9007199254740992.0) // 2^53
        return std::nullopt;
    return d;
}

bool isNumber(const QJsonValue &v)
{
    return v.isDouble() || v.isBool();
}

void checkStateMerge(const QJsonObject &object, const QMap<QString, ParamState> &before,
                     const QMap<QString, ParamState> &after)
{
    FUZZ_CHECK(!after.contains(QStringLiteral("supported")) || before.contains(QStringLiteral("supported")));
    // Merged, never cleared: every earlier key is still there; a key the message does not
    // store keeps its entry.
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        FUZZ_CHECK(after.contains(it.key()));
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const QJsonValue member = object.value(it.key());
        const bool stored = it.key() != QLatin1String("supported") && member.isObject() &&
            isNumber(member.toObject().value(QLatin1String("current")));
        if (!stored) {
            FUZZ_CHECK(before.contains(it.key()));
            FUZZ_CHECK(before.value(it.key()).current == it.value().current);
            FUZZ_CHECK(before.value(it.key()).values == it.value().values);
            continue;
        }
        const QJsonObject param = member.toObject();
        if (const auto current = smallNumber(param.value(QLatin1String("current"))))
            FUZZ_CHECK(double(it.value().current) == *current);
        const QJsonValue values = param.value(QLatin1String("values"));
        bool allNumbers = values.isArray();
        for (const QJsonValue &v : values.toArray())
            allNumbers = allNumbers && isNumber(v);
        if (!allNumbers) {
            FUZZ_CHECK(it.value().values.isEmpty());
            continue;
        }
        const QJsonArray array = values.toArray();
        FUZZ_CHECK(it.value().values.size() == array.size());
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (const auto v = smallNumber(array.at(i)))
                FUZZ_CHECK(double(it.value().values.at(i)) == *v);
        }
    }
    // Every member that qualifies is stored.
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != QLatin1String("supported") && it.value().isObject() &&
            isNumber(it.value().toObject().value(QLatin1String("current"))))
            FUZZ_CHECK(after.contains(it.key()));
    }
}

std::optional<QJsonObject> parseObject(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fixture &f = fixture();
    Monitor &monitor = *f.monitor;
    const auto record = std::make_shared<CameraConnection>(std::make_unique<SilentConnection>());
    CameraConnection &cam = *record;
    cam.liveFrame = QImage(2, 2, QImage::Format_RGB32); // a previous frame that must survive bad ones
    cam.liveFrame.fill(Qt::red);

    fuzz::Input in(data, size);
    while (!in.atEnd()) {
        const quint8 op = in.byte();
        const quint16 length = in.u16();
        const QByteArray bytes = (length == 0xFFFF ? in.rest() : in.take(length)).toByteArray();
        const std::optional<QByteArray> payload = (op & 4) ? std::nullopt : std::optional(bytes);
        const bool viaHandler = (op & 0x80) != 0;
        Listener &listener = monitor.link().listener();
        // Only hello and state frames carry JSON; the listener reports no other type as such.
        const auto json = [&](quint8 type) {
            if (type == wire::kHelloFrame) {
                if (viaHandler)
                    emit listener.helloReceived(record, payload);
                else
                    monitor.handleHello(payload, cam);
            } else if (type == wire::kStateFrame) {
                if (viaHandler)
                    emit listener.stateReceived(record, payload);
                else
                    monitor.handleState(payload, cam);
            }
        };

        const QString nameBefore = cam.name;
        const auto paramsBefore = cam.paramState;
        const qint64 frameBefore = cam.liveFrame.cacheKey();
        const bool enabledBefore = cam.enabled;
        const CameraStatus statusBefore = cam.status;
        const QDateTime activityBefore = cam.lastActivity;
        f.notifications = 0;

        bool nameMayChange = false;
        bool paramsMayChange = false;
        switch (op & 3) {
        case 0: { // hello
            json(wire::kHelloFrame);
            std::optional<QString> expected;
            if (payload) {
                if (const auto object = parseObject(payload->size() >= 2 ? payload->mid(2) : *payload)) {
                    const QJsonValue camera = object->value(QLatin1String("camera"));
                    if (camera.isString() && !camera.toString().isEmpty())
                        expected = camera.toString();
                }
            }
            FUZZ_CHECK(f.notifications == (expected ? 1 : 0));
            FUZZ_CHECK(cam.name == expected.value_or(nameBefore));
            nameMayChange = true;
            break;
        }
        case 1: { // state
            json(wire::kStateFrame);
            const auto object = payload ? parseObject(*payload) : std::nullopt;
            FUZZ_CHECK(f.notifications == (object ? 1 : 0));
            if (object)
                checkStateMerge(*object, paramsBefore, cam.paramState);
            paramsMayChange = true;
            break;
        }
        case 2: { // live view
            if (viaHandler)
                emit listener.liveFrameReceived(record, payload);
            else
                monitor.handleLiveView(payload, cam);
            // Frames decode on their own thread and are shown through liveFrameChanged, never as
            // a change of the records; this camera is not listed, so its frame stays as it was.
            FUZZ_CHECK(f.notifications == 0);
            while (monitor.liveFramesPending())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            FUZZ_CHECK(f.notifications == 0);
            break;
        }
        default: // a frame type that carries no JSON changes nothing
            json(quint8((op >> 3) & 0x0F));
            if (((op >> 3) & 0x0F) == 3 || ((op >> 3) & 0x0F) == 7)
                nameMayChange = paramsMayChange = true;
            else
                FUZZ_CHECK(f.notifications == 0);
            break;
        }

        if (!nameMayChange)
            FUZZ_CHECK(cam.name == nameBefore);
        if (!paramsMayChange) {
            FUZZ_CHECK(cam.paramState.keys() == paramsBefore.keys());
        }
        FUZZ_CHECK(cam.liveFrame.cacheKey() == frameBefore);
        // No inbound message touches reception: only photo files do that.
        FUZZ_CHECK(cam.enabled == enabledBefore);
        FUZZ_CHECK(cam.status == statusBefore);
        FUZZ_CHECK(cam.lastActivity == activityBefore);
        FUZZ_CHECK(cam.photos.isEmpty());
    }
    FUZZ_CHECK(monitor.cameras().isEmpty());
    return 0;
}
