#include "link/Listener.h"

#include <QTcpSocket>

#include <syslog.h>

#include <cstdio>

#include "link/InboundHandler.h"
#include "link/TcpConnection.h"
#include "model/Monitor.h"

void logLinkError(const QString &message)
{
    const QByteArray text = message.toUtf8();
    syslog(LOG_ERR, "%s", text.constData());
    std::fprintf(stderr, "%s\n", text.constData());
}

Listener::Listener(Monitor &monitor, InboundHandler &handler, QObject *parent)
    : QObject(parent)
    , m_monitor(&monitor)
    , m_handler(handler)
{
    connect(&m_server, &QTcpServer::newConnection, this, &Listener::acceptPending);
    connect(&m_server, &QTcpServer::acceptError, this, &Listener::updateListening);
}

Listener::Listener(Monitor &monitor, std::unique_ptr<InboundHandler> handler, QObject *parent)
    : Listener(monitor, *handler, parent)
{
    m_ownedHandler = std::move(handler);
}

Listener::~Listener() = default;

bool Listener::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server.listen(address, port)) {
        logLinkError(QStringLiteral("listener error ") + m_server.errorString());
        updateListening();
        return false;
    }
    updateListening();
    return true;
}

void Listener::updateListening()
{
    if (m_monitor && m_monitor->listening() != m_server.isListening())
        m_monitor->setListening(m_server.isListening());
}

void Listener::acceptPending()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection())
        accept(socket);
}

void Listener::accept(QTcpSocket *socket)
{
    if (!m_monitor) {
        // Nobody to hand the camera to; the socket stays with the server and closes with it.
        return;
    }
    auto *tcp = new TcpConnection(socket);
    auto cam = std::make_shared<CameraConnection>(std::unique_ptr<Connection>(tcp));
    const std::weak_ptr<CameraConnection> weakCam = cam;

    // Messages and the end of the connection are posted, so handlers run after the read step
    // that found them, in arrival order, and never while the socket is being read.
    connect(tcp, &TcpConnection::messages, this, [this, weakCam](std::vector<InboundMessage> &messages) {
        for (InboundMessage &msg : messages) {
            QMetaObject::invokeMethod(
                this, [this, weakCam, msg = std::move(msg)]() { deliver(weakCam, msg); },
                Qt::QueuedConnection);
        }
    });
    connect(tcp, &TcpConnection::closed, this, [this, weakCam]() {
        QMetaObject::invokeMethod(
            this, [this, weakCam]() { markLost(weakCam); }, Qt::QueuedConnection);
    });

    m_monitor->appendCamera(cam);
    if (m_monitor->activeCameraId().isNull())
        m_monitor->setActiveCameraId(cam->id());
    emit cameraAccepted(cam);
    tcp->startReading();
}

void Listener::deliver(const std::weak_ptr<CameraConnection> &weakCam, const InboundMessage &msg)
{
    const std::shared_ptr<CameraConnection> cam = weakCam.lock();
    if (!m_monitor || !cam)
        return;
    switch (msg.kind) {
    case InboundMessage::Kind::File:
        m_handler.fileFrame(cam, msg.name, *msg.payload);
        break;
    case InboundMessage::Kind::Json:
        m_handler.jsonFrame(cam, msg.type, msg.payload);
        break;
    case InboundMessage::Kind::LiveView:
        m_handler.liveViewFrame(cam, msg.payload);
        break;
    }
}

void Listener::markLost(const std::weak_ptr<CameraConnection> &weakCam)
{
    const std::shared_ptr<CameraConnection> cam = weakCam.lock();
    if (!m_monitor || !cam)
        return;
    cam->status = CameraStatus::NoSignal;
    emit m_monitor->objectWillChange();
}
