#include "UsbBridge.h"

#include "UsbCamera.h"

namespace usb {

UsbBridge::UsbBridge(CameraBackend &backend, const SessionOptions &options, QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_options(options)
{
    connect(&m_scan, &QTimer::timeout, this, &UsbBridge::scan);
}

UsbBridge::~UsbBridge()
{
    qDeleteAll(m_cameras);
}

void UsbBridge::start(int intervalMs)
{
    scan();
    m_scan.start(intervalMs);
}

void UsbBridge::setTarget(const QString &host, quint16 port)
{
    m_host = host;
    m_port = port;
    for (UsbCamera *camera : std::as_const(m_cameras))
        camera->setTarget(host, port);
}

void UsbBridge::scan()
{
    for (const DetectedCamera &found : m_backend.detect()) {
        if (m_cameras.contains(found.port))
            continue;
        auto *camera = new UsbCamera(m_backend, found, m_options, this);
        m_cameras.insert(found.port, camera);
        connect(camera, &UsbCamera::linkLost, this, &UsbBridge::linkLost);
        connect(camera, &UsbCamera::opened, this, [this, camera] {
            rename();
            camera->setTarget(m_host, m_port);
        });
        // A camera that went away (or could not be opened) is let go; if it is still there at
        // the next scan, it starts afresh.
        connect(camera, &UsbCamera::finished, this, [this, camera] {
            m_cameras.remove(camera->camera().port);
            camera->deleteLater();
            rename();
        });
    }
}

QMap<QString, QString> UsbBridge::names(const QList<DetectedCamera> &cameras, const QMap<QString, QString> &serials)
{
    QMap<QString, int> perModel;
    QMap<QString, int> perSerial;
    for (const DetectedCamera &camera : cameras) {
        ++perModel[camera.model];
        ++perSerial[camera.model + QLatin1Char('\n') + serials.value(camera.port)];
    }
    QMap<QString, QString> out;
    for (const DetectedCamera &camera : cameras) {
        const QString serial = serials.value(camera.port);
        // A serial number tells bodies apart for good; the port only while they stay plugged in,
        // so it stands in where serials are missing or alike.
        const bool serialTells = !serial.isEmpty() && perSerial.value(camera.model + QLatin1Char('\n') + serial) < 2;
        out.insert(camera.port, perModel.value(camera.model) < 2 ? camera.model
                                : QStringLiteral("%1 (%2)").arg(camera.model, serialTells ? serial : camera.port));
    }
    return out;
}

void UsbBridge::rename()
{
    QList<DetectedCamera> open;
    QMap<QString, QString> serials;
    for (UsbCamera *camera : std::as_const(m_cameras)) {
        if (camera->isOpen()) {
            open.append(camera->camera());
            serials.insert(camera->camera().port, camera->serial());
        }
    }
    const QMap<QString, QString> named = names(open, serials);
    for (auto it = named.cbegin(); it != named.cend(); ++it)
        m_cameras.value(it.key())->setName(it.value());
}

} // namespace usb
