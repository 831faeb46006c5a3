#include "CameraWorker.h"

namespace usb {

CameraWorker::CameraWorker(CameraBackend &backend, DetectedCamera camera, const SessionOptions &options)
    : m_backend(backend)
    , m_camera(std::move(camera))
    , m_options(options)
{
}

CameraWorker::~CameraWorker() = default;

void CameraWorker::start()
{
    QString error;
    std::unique_ptr<CameraDevice> device = m_backend.open(m_camera, error);
    if (!device) {
        emit logLine(QStringLiteral("failed opening the camera: ") + error);
        m_done = true;
        emit finished();
        return;
    }
    // Photos stay on the card: captures go there rather than to the camera's memory, where
    // some bodies drop them once the next one comes.
    QString serial;
    QList<ConfigItem> config;
    if (device->readConfig(config) == Status::Ok) {
        for (const ConfigItem &item : std::as_const(config)) {
            if (item.name == QLatin1String("serialnumber"))
                serial = item.text.trimmed();
            if (item.name == QLatin1String("capturetarget") && item.kind == ConfigItem::Kind::Choice) {
                for (const QString &choice : item.choices) {
                    if (choice.contains(QLatin1String("card"), Qt::CaseInsensitive)) {
                        if (choice != item.text)
                            device->setConfig(item, choice, 0);
                        break;
                    }
                }
            }
        }
    }
    m_session = std::make_unique<CameraSession>(std::move(device), m_options, *this);
    emit opened(serial);
    m_timer = new QTimer(this);
    m_timer->setInterval(0);
    connect(m_timer, &QTimer::timeout, this, &CameraWorker::round);
    m_timer->start();
}

void CameraWorker::round()
{
    if (m_done)
        return;
    m_session->step(kWaitMs);
    if (m_session->gone()) {
        m_done = true;
        m_timer->stop();
        emit finished();
    }
}

void CameraWorker::command(const QByteArray &json)
{
    if (m_session && !m_done)
        m_session->handleCommand(json);
}

void CameraWorker::requestState()
{
    if (m_session && !m_done)
        m_session->sendState();
}

void CameraWorker::setLinkReady(bool ready)
{
    if (m_session)
        m_session->setLinkReady(ready);
}

void CameraWorker::delivered()
{
    if (m_session && !m_done)
        m_session->fileDelivered();
}

} // namespace usb
