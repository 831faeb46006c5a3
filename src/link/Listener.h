#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTcpServer>

#include <memory>
#include <optional>
#include <vector>

#include "model/CameraConnection.h"

class QTcpSocket;
class TcpConnection;
struct InboundMessage;

// The camera link's TCP listener. Every accepted connection becomes a CameraConnection record
// (announced by cameraAccepted) with its own read loop. The messages a read loop cuts out are
// posted to the main thread and announced one signal each, in arrival order, after the read
// step that found them; the end of a connection comes after its last message. Knows nothing of
// who keeps the records: a record the receivers let go of gets no more signals. Main thread only.
class Listener : public QObject
{
    Q_OBJECT

public:
    explicit Listener(QObject *parent = nullptr);
    ~Listener() override;

    // Starts listening. On failure writes "listener error " and the reason to the system log
    // and returns false; a later call tries again.
    bool listen(const QHostAddress &address = QHostAddress::Any, quint16 port = 0);

    [[nodiscard]] bool isListening() const { return m_server.isListening(); }
    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }

    // Holds back file content on every connection, those accepted later included, until
    // released (see TcpConnection::setFilesHeld); other frames keep coming.
    void setFilesHeld(bool held);
    [[nodiscard]] bool filesHeld() const { return m_filesHeld; }

signals:
    // A new connection's record; its read loop starts once the receivers have returned.
    void cameraAccepted(const std::shared_ptr<CameraConnection> &cam);
    void listeningChanged(bool listening);
    // A complete file frame with content (the name may be empty, exactly as sent).
    void fileReceived(
        const std::shared_ptr<CameraConnection> &cam, const QString &name, const QByteArray &data);
    // Hello, state and live-view payloads; std::nullopt when the connection ended before the
    // payload was complete.
    void helloReceived(
        const std::shared_ptr<CameraConnection> &cam, const std::optional<QByteArray> &payload);
    void stateReceived(
        const std::shared_ptr<CameraConnection> &cam, const std::optional<QByteArray> &payload);
    void liveFrameReceived(
        const std::shared_ptr<CameraConnection> &cam, const std::optional<QByteArray> &payload);
    // The connection was closed by the peer or failed; after its last message.
    void connectionLost(const std::shared_ptr<CameraConnection> &cam);

private:
    void acceptPending();
    void accept(QTcpSocket *socket);
    // Room was made in the Receiving share: connections waiting for it read on.
    void resumeContent();
    void updateListening();
    void deliver(const std::weak_ptr<CameraConnection> &cam, const InboundMessage &msg);

    QTcpServer m_server;
    bool m_listening = false; // as last announced
    bool m_filesHeld = false;
    // The live connections; their records own them and may drop them at any time.
    std::vector<QPointer<TcpConnection>> m_connections;
};
