#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <memory>

class CameraConnection;
class InboundHandler;
class Monitor;
class QTcpSocket;
struct InboundMessage;

// The camera link's TCP listener. Every accepted connection becomes a CameraConnection record
// appended to the Monitor's cameras (the first one becomes active when none is), with its own
// read loop whose messages go to the InboundHandler, posted to the main thread in arrival
// order. A connection that closes or fails marks its record noSignal. Main thread only.
//
// The Monitor is held weakly: once it is gone, nothing more is done for any connection.
class Listener : public QObject
{
    Q_OBJECT

public:
    // `handler` must outlive the listener.
    Listener(Monitor &monitor, InboundHandler &handler, QObject *parent = nullptr);
    Listener(Monitor &monitor, std::unique_ptr<InboundHandler> handler, QObject *parent = nullptr);
    ~Listener() override;

    // Starts listening. On failure writes "listener error " and the reason to the system log,
    // leaves the Monitor's `listening` false and returns false.
    bool listen(const QHostAddress &address = QHostAddress::Any, quint16 port = 0);

    [[nodiscard]] bool isListening() const { return m_server.isListening(); }
    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }

signals:
    // A record was created for a new connection (after it was appended to the Monitor).
    void cameraAccepted(const std::shared_ptr<CameraConnection> &cam);

private:
    void acceptPending();
    void accept(QTcpSocket *socket);
    void updateListening();
    void deliver(const std::weak_ptr<CameraConnection> &cam, const InboundMessage &msg);
    void markLost(const std::weak_ptr<CameraConnection> &cam);

    QPointer<Monitor> m_monitor;
    std::unique_ptr<InboundHandler> m_ownedHandler;
    InboundHandler &m_handler;
    QTcpServer m_server;
};

// Writes one line to the system log and to standard error.
void logLinkError(const QString &message);
