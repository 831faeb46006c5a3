#include "CameraSession.h"

#include <QJsonDocument>
#include <QJsonObject>

#include "ParamMapping.h"

namespace usb {

namespace {
// A file frame carries the name's length in 16 bits and the whole payload's in 32.
constexpr qint64 kMaxNameBytes = 0xFFFF;
constexpr qint64 kMaxPayload = 0xFFFFFFFFLL;
} // namespace

CameraSession::CameraSession(std::unique_ptr<CameraDevice> device, const SessionOptions &options, SessionSink &sink)
    : m_device(std::move(device))
    , m_options(options)
    , m_sink(sink)
    , m_liveFps(options.liveFps)
{
}

bool CameraSession::check(Status status, const QString &what)
{
    switch (status) {
    case Status::Ok:
        return true;
    case Status::Gone:
        if (!m_gone)
            m_sink.log(QStringLiteral("gone %1: %2").arg(what, m_device->lastError()));
        m_gone = true;
        return false;
    case Status::Busy:
    case Status::NotSupported:
    case Status::Failed:
        m_sink.log(QStringLiteral("failed %1: %2").arg(what, m_device->lastError()));
        return false;
    }
    return false;
}

template<typename Call> Status CameraSession::retrying(Call call)
{
    Status status = call();
    for (int attempt = 0; status == Status::Busy && attempt < m_options.busyRetries && !m_gone; ++attempt) {
        // A busy camera is usually finishing a capture it will announce: take its events meanwhile.
        pollEvents(m_options.busyWaitMs);
        if (m_gone)
            return Status::Gone;
        status = call();
    }
    return status;
}

void CameraSession::handleCommand(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    const QJsonObject cmd = doc.object();
    const QString name = cmd.value(QStringLiteral("cmd")).toString();
    if (name == QLatin1String("requestState")) {
        sendState();
    } else if (name == QLatin1String("shutter")) {
        shutter();
    } else if (name == QLatin1String("setParam") && cmd.value(QStringLiteral("param")).isString()
               && cmd.value(QStringLiteral("value")).isDouble()) {
        setParam(cmd.value(QStringLiteral("param")).toString(), cmd.value(QStringLiteral("value")).toInteger());
    } else {
        m_sink.log(QStringLiteral("ignored command ") + QString::fromUtf8(json.left(200)));
    }
}

void CameraSession::sendState()
{
    QList<ConfigItem> config;
    if (check(retrying([&] { return m_device->readConfig(config); }), QStringLiteral("reading the configuration")))
        m_sink.state(frames::stateJson(mapping::paramsFromConfig(config)));
}

void CameraSession::shutter()
{
    Status status = retrying([&] { return m_device->triggerCapture(); });
    if (status != Status::Ok && status != Status::Gone && liveViewOn()) {
        // Cameras that cannot capture while their viewfinder is up: close it and try once
        // more. The next live frame opens it again.
        QList<ConfigItem> config;
        if (m_device->readConfig(config) == Status::Ok) {
            for (const ConfigItem &item : std::as_const(config)) {
                if (item.name == QLatin1String("viewfinder") && item.kind == ConfigItem::Kind::Range) {
                    m_device->setConfig(item, QString(), 0);
                    status = retrying([&] { return m_device->triggerCapture(); });
                    break;
                }
            }
        }
    }
    if (check(status, QStringLiteral("capture")))
        m_sink.log(QStringLiteral("captured"));
}

void CameraSession::setParam(const QString &key, qint64 value)
{
    QList<ConfigItem> config;
    if (!check(retrying([&] { return m_device->readConfig(config); }), QStringLiteral("reading the configuration")))
        return;
    const auto change = mapping::changeFor(config, key, value);
    QString outcome;
    if (!change) {
        outcome = mapping::itemFor(config, key) ? QStringLiteral("rejected") : QStringLiteral("unknown");
    } else {
        const Status status = retrying([&] { return m_device->setConfig(change->item, change->text, change->value); });
        outcome = check(status, QStringLiteral("setting ") + key) ? QStringLiteral("applied") : QStringLiteral("failed");
    }
    m_sink.log(QStringLiteral("param %1 %2 %3").arg(key).arg(value).arg(outcome));
    if (!m_gone)
        sendState(); // what the camera holds now, also after a refusal
}

void CameraSession::step(int waitMs)
{
    if (m_gone)
        return;
    sendNextFile();
    int wait = waitMs;
    if (m_linkReady && liveViewOn() && !m_gone) {
        const qint64 period = qint64(1000 / m_liveFps);
        if (!m_liveClock.isValid() || m_liveClock.elapsed() >= period) {
            m_liveClock.start();
            liveFrame();
        }
        wait = int(qBound<qint64>(0, period - m_liveClock.elapsed(), qint64(waitMs)));
    }
    if (!m_gone)
        pollEvents(wait);
}

void CameraSession::pollEvents(int waitMs)
{
    // One wait, then whatever else is already queued.
    for (int round = 0; round < 32 && !m_gone; ++round) {
        CameraEvent event;
        const Status status = m_device->waitForEvent(round == 0 ? waitMs : 0, event);
        if (status == Status::Busy)
            return;
        if (!check(status, QStringLiteral("waiting for events")) || event.type == CameraEvent::Type::None)
            return;
        if (event.type == CameraEvent::Type::FileAdded) {
            if (qsizetype(m_pending.size()) >= m_options.maxPending) {
                m_sink.log(QStringLiteral("dropped %1: too many photos waiting; it stays on the card").arg(m_pending.front().name));
                m_pending.pop_front();
            }
            m_pending.push_back({event.folder, event.name});
        }
    }
}

void CameraSession::sendNextFile()
{
    if (!m_linkReady || m_inFlight || m_pending.empty())
        return;
    const FileRef ref = m_pending.front();
    m_pending.pop_front();
    const QByteArray name = ref.name.toUtf8();
    const qint64 limit = qMin(m_options.maxFileBytes, kMaxPayload - 2 - name.size());
    if (name.size() > kMaxNameBytes) {
        m_sink.log(QStringLiteral("skipped a photo: its name is too long"));
        return;
    }
    qint64 size = -1;
    const Status sized = retrying([&] { return m_device->fileSize(ref.folder, ref.name, size); });
    if (sized == Status::Ok && size > limit) {
        m_sink.log(QStringLiteral("skipped %1: too large (%2 bytes)").arg(ref.name).arg(size));
        return;
    }
    if (sized != Status::NotSupported && !check(sized, QStringLiteral("reading the size of ") + ref.name))
        return;
    QByteArray content;
    if (!check(retrying([&] { return m_device->download(ref.folder, ref.name, content); }),
               QStringLiteral("downloading ") + ref.name))
        return;
    if (content.size() > limit) {
        m_sink.log(QStringLiteral("skipped %1: too large (%2 bytes)").arg(ref.name).arg(content.size()));
        return;
    }
    m_inFlight = ref;
    m_sink.file(name, content);
}

void CameraSession::setLinkReady(bool ready)
{
    m_linkReady = ready;
    if (!ready && m_inFlight) {
        // Not known to have arrived: it goes again, first.
        m_pending.push_front(*m_inFlight);
        m_inFlight.reset();
    }
}

void CameraSession::fileDelivered()
{
    if (!m_inFlight)
        return;
    const FileRef ref = *m_inFlight;
    m_inFlight.reset();
    if (m_options.deleteFromCard)
        check(retrying([&] { return m_device->remove(ref.folder, ref.name); }), QStringLiteral("deleting ") + ref.name);
}

void CameraSession::liveFrame()
{
    QByteArray jpeg;
    const Status status = m_device->capturePreview(jpeg);
    if (status == Status::Ok && !jpeg.isEmpty()) {
        m_sink.live(jpeg);
    } else if (status == Status::NotSupported) {
        m_sink.log(QStringLiteral("live-view-off the camera does not offer live view"));
        m_liveFps = 0;
    } else if (status != Status::Busy) {
        check(status, QStringLiteral("live view"));
    }
}

} // namespace usb
