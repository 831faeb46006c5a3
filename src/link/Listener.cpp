#include "link/Listener.h"

#include <QTcpSocket>

#include <syslog.h>

#include <cstdio>
#include <utility>

#include "link/TcpConnection.h"
#include "link/WireProtocol.h"

namespace {

// The listener's failure goes to the system log and to standard error, whatever the logging
// rules say: without a listener no camera can connect.
void logListenerError(const QString &message)
{
    const QByteArray text = message.toUtf8();
    syslog(LOG_ERR, "%s", text.constData());
    std::fprintf(stderr, "%s\n", text.constData());
}

} // namespace

Listener::Listener(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &Listener::acceptPending);
    connect(&m_server, &QTcpServer::acceptError, this, &Listener::updateListening);
}

Listener::~Listener() = default;

bool Listener::listen(const QHostAddress &address, quint16 port)
{
    const bool ok = m_server.listen(address, port);
    if (!ok)
        logListenerError(QStringLiteral("listener error ") + m_server.errorString());
    updateListening();
    return ok;
}

void Listener::updateListening()
{
    if (m_listening == m_server.isListening())
        return;
    m_listening = m_server.isListening();
    emit listeningChanged(m_listening);
}

void Listener::setFilesHeld(bool held)
{
    m_filesHeld = held;
    for (const QPointer<TcpConnection> &tcp : m_connections) {
        if (tcp)
            tcp->setFilesHeld(held);
    }
}

void Listener::resumeContent()
{
    for (const QPointer<TcpConnection> &tcp : m_connections) {
        if (tcp)
            tcp->resumeContent();
    }
}

void Listener::acceptPending()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection())
        accept(socket);
}

void Listener::accept(QTcpSocket *socket)
{
    auto *tcp = new TcpConnection(socket);
    tcp->setFilesHeld(m_filesHeld);
    std::erase_if(m_connections, [](const QPointer<TcpConnection> &c) { return c.isNull(); });
    m_connections.emplace_back(tcp);
    auto cam = std::make_shared<CameraConnection>(std::unique_ptr<Connection>(tcp));
    const std::weak_ptr<CameraConnection> weakCam = cam;

    // Messages and the end of the connection are posted, so receivers run after the read step
    // that found them, in arrival order, and never while the socket is being read.
    // A payload no receiver kept goes back to the read loop to be filled again.
    const QPointer<TcpConnection> conn = tcp;
    connect(tcp, &TcpConnection::messages, this, [this, weakCam, conn](std::vector<InboundMessage> &messages) {
        for (InboundMessage &msg : messages) {
            // A photo on its way to the store still counts as received content.
            auto charge = std::make_shared<MemoryBudget::Charge>(MemoryBudget::Part::Receiving,
                msg.kind == InboundMessage::Kind::File && msg.payload ? msg.payload->size() : 0);
            QMetaObject::invokeMethod(
                this,
                [this, weakCam, conn, msg = std::move(msg), charge]() mutable {
                    deliver(weakCam, msg);
                    if (charge->bytes() > 0) {
                        charge->reset();
                        resumeContent();
                    }
                    if (conn && msg.payload)
                        conn->recycle(std::exchange(*msg.payload, QByteArray()));
                },
                Qt::QueuedConnection);
        }
    });
    connect(tcp, &TcpConnection::closed, this, [this, weakCam]() {
        QMetaObject::invokeMethod(
            this,
            [this, weakCam]() {
                if (const auto cam = weakCam.lock())
                    emit connectionLost(cam);
            },
            Qt::QueuedConnection);
    });

    connect(tcp, &TcpConnection::contentReleased, this, &Listener::resumeContent);

    emit cameraAccepted(cam);
    tcp->startReading();
}

void Listener::deliver(const std::weak_ptr<CameraConnection> &weakCam, const InboundMessage &msg)
{
    const std::shared_ptr<CameraConnection> cam = weakCam.lock();
    if (!cam)
        return;
    switch (msg.type) {
    case wire::kFileFrame:
        emit fileReceived(cam, msg.name, *msg.payload);
        break;
    case wire::kHelloFrame:
        emit helloReceived(cam, msg.payload);
        break;
    case wire::kStateFrame:
        emit stateReceived(cam, msg.payload);
        break;
    case wire::kLiveViewFrame:
        emit liveFrameReceived(cam, msg.payload);
        break;
    default:
        break;
    }
}
