#include "share/ShareServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

#include "model/Logging.h"

namespace share {

struct ShareServer::Client {
    QTimer *idle = nullptr; // a child of the socket: it goes with it, never inside its own timeout
    bool keepAlive = true;
    bool waiting = false; // for images being made
    bool headOnly = false;
    ImageKind waitingKind = ImageKind::Preview;
    std::unique_ptr<QFile> original; // being sent
};

namespace {

const QByteArray kJson = "application/json; charset=utf-8";
const QByteArray kText = "text/plain; charset=utf-8";

QByteArray plain(int status, const QByteArray &text, const QByteArray &extra = {}, bool keepAlive = true)
{
    return response(status, kText, text + '\n', extra, keepAlive);
}

// A file name for the Content-Disposition header: plain ASCII as a fallback, the real name
// percent-encoded beside it.
QByteArray disposition(const QString &name)
{
    QByteArray ascii;
    for (const QChar c : name)
        ascii
            += (c.unicode() >= 0x20 && c.unicode() < 0x7f && c != QLatin1Char('"') && c != QLatin1Char('\\'))
            ? char(c.unicode())
            : '_';
    return "Content-Disposition: attachment; filename=\"" + ascii + "\"; filename*=UTF-8''"
        + QUrl::toPercentEncoding(name) + "\r\n";
}

// The client's address, an IPv4 one in its plain form whether it came over IPv4 or IPv6.
QString clientAddress(const QTcpSocket &socket)
{
    bool isV4 = false;
    const quint32 v4 = socket.peerAddress().toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : socket.peerAddress().toString();
}

} // namespace

QByteArray entryJson(const PhotoEntry &entry, bool downloads)
{
    QJsonObject o { { "id", entry.id.toString(QUuid::WithoutBraces) }, { "n", entry.number },
        { "nombre", entry.name }, { "camara", entry.camera }, { "obturacion", entry.shutter },
        { "diafragma", entry.aperture }, { "iso", entry.iso },
        { "descarga", downloads && !entry.storedPath.isEmpty() } };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

ShareServer::ShareServer(std::shared_ptr<ImageShelf> shelf, std::shared_ptr<AccessGate> gate, QByteArray page)
    : m_shelf(std::move(shelf))
    , m_gate(std::move(gate))
    , m_page(std::move(page))
    , m_ping(new QTimer(this))
{
    m_ping->setInterval(kPingMs);
    connect(m_ping, &QTimer::timeout, this, [this] { broadcast(R"({"t":"ping"})"); });
}

ShareServer::~ShareServer()
{
    shutdown();
}

void ShareServer::listen(quint16 preferredPort)
{
    m_tcp = new QTcpServer(this);
    m_tcp->setMaxPendingConnections(kMaxConnections);
    if (!(preferredPort != 0 && m_tcp->listen(QHostAddress::Any, preferredPort))
        && !m_tcp->listen(QHostAddress::Any, 0)) {
        qCWarning(lcShare) << "cannot listen:" << m_tcp->errorString();
        emit listening(0);
        return;
    }
    m_sockets = new QWebSocketServer(QStringLiteral("Halvane"), QWebSocketServer::NonSecureMode, this);
    m_sockets->setHandshakeTimeout(5000);
    connect(m_tcp, &QTcpServer::newConnection, this, &ShareServer::accept);
    connect(m_sockets, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket *viewer = m_sockets->nextPendingConnection()) {
            if (m_viewers.size() >= kMaxViewers) {
                viewer->close(
                    QWebSocketProtocol::CloseCodeTooMuchData, QStringLiteral("Demasiados espectadores"));
                viewer->deleteLater();
                continue;
            }
            // Viewers only listen: anything they send beyond a few words is a fault.
            viewer->setMaxAllowedIncomingFrameSize(1024);
            viewer->setMaxAllowedIncomingMessageSize(1024);
            m_viewers.append(viewer);
            connect(viewer, &QWebSocket::disconnected, this, [this, viewer] {
                m_viewers.removeOne(viewer);
                viewer->deleteLater();
                emit viewersChanged(int(m_viewers.size()));
            });
            emit viewersChanged(int(m_viewers.size()));
        }
    });
    m_ping->start();
    qCInfo(lcShare) << "client view on port" << m_tcp->serverPort();
    emit listening(m_tcp->serverPort());
}

void ShareServer::shutdown()
{
    m_ping->stop();
    for (QWebSocket *viewer : std::as_const(m_viewers)) {
        viewer->disconnect(this);
        viewer->abort();
        delete viewer;
    }
    m_viewers.clear();
    const QList<QTcpSocket *> sockets = m_clients.keys();
    for (QTcpSocket *socket : sockets)
        dropClient(socket);
    m_waiting.clear();
    if (m_sockets) {
        m_sockets->close();
        delete m_sockets;
        m_sockets = nullptr;
    }
    if (m_tcp) {
        m_tcp->close();
        delete m_tcp; // and the sockets still in their WebSocket handshake
        m_tcp = nullptr;
    }
}

void ShareServer::accept()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        if (m_clients.size() >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // A request head and an access code; the rest waits in the kernel.
        socket->setReadBufferSize(kMaxHeadBytes + kMaxBodyBytes);
        auto client = std::make_shared<Client>();
        client->idle = new QTimer(socket);
        client->idle->setSingleShot(true);
        client->idle->setInterval(m_idleMs);
        connect(client->idle, &QTimer::timeout, this, [this, socket] { dropClient(socket); });
        client->idle->start();
        m_clients.insert(socket, client);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket](qint64 written) {
            m_bytesSent += written;
            const auto it = m_clients.find(socket);
            if (it == m_clients.end() || socket->bytesToWrite() > 0)
                return;
            Client &client = **it;
            client.idle->start();
            if (client.original)
                sendChunk(socket, client);
            else if (!client.keepAlive)
                socket->disconnectFromHost();
            else
                serve(socket);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { dropClient(socket); });
    }
}

void ShareServer::dropClient(QTcpSocket *socket)
{
    const auto client = m_clients.take(socket);
    if (!client)
        return;
    for (auto &list : m_waiting)
        list.removeOne(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

// Reads and answers the next request on a connection, unless it is still busy with the last.
void ShareServer::serve(QTcpSocket *socket)
{
    const auto it = m_clients.find(socket);
    if (it == m_clients.end())
        return;
    Client &client = **it;
    if (client.waiting || client.original || socket->bytesToWrite() > 0)
        return;
    client.idle->start();
    // Peeked, not read: a WebSocket upgrade is handed over with its request unread.
    const QByteArray data = socket->peek(kMaxHeadBytes + kMaxBodyBytes);
    HttpRequest request;
    switch (parseHead(data, request)) {
    case HeadStatus::Incomplete:
        return;
    case HeadStatus::Malformed:
        client.keepAlive = false;
        return reply(socket, client, plain(400, "Petición no válida", {}, false));
    case HeadStatus::TooLarge:
        client.keepAlive = false;
        return reply(socket, client, plain(431, "Petición demasiado grande", {}, false));
    case HeadStatus::Complete:
        break;
    }
    if (request.contentLength > kMaxBodyBytes) {
        client.keepAlive = false;
        return reply(socket, client, plain(413, "Petición demasiado grande", {}, false));
    }
    if (data.size() < request.headBytes + request.contentLength)
        return; // the body is on its way
    const Route where = route(request.method, request.target);
    if (where.kind == Route::Socket && request.upgrade == "websocket")
        return upgrade(socket, request);
    socket->read(request.headBytes);
    const QByteArray body = socket->read(request.contentLength);
    client.keepAlive = request.keepAlive;
    client.headOnly = request.method == "HEAD";
    answer(socket, client, request, where, body);
}

void ShareServer::reply(QTcpSocket *socket, Client &client, const QByteArray &bytes)
{
    if (client.headOnly) {
        socket->write(bytes.left(bytes.indexOf("\r\n\r\n") + 4));
        client.headOnly = false;
    } else {
        socket->write(bytes);
    }
}

void ShareServer::answer(QTcpSocket *socket, Client &client, const HttpRequest &request, const Route &where,
    const QByteArray &body)
{
    const bool admitted = m_gate->admits(AccessGate::tokenFromCookies(request.cookie));
    switch (where.kind) {
    case Route::NotFound:
        return reply(socket, client, plain(404, "No encontrado", {}, client.keepAlive));
    case Route::Page:
        return reply(socket, client, response(200, "text/html; charset=utf-8", m_page, {}, client.keepAlive));
    case Route::Login: {
        const auto attempt = m_gate->attempt(clientAddress(*socket), body, QDeadlineTimer::current().deadline());
        switch (attempt.outcome) {
        case AccessGate::Outcome::Granted:
            // For the rest of the run; the page never reads it (HttpOnly), no other site sends it.
            return reply(socket, client,
                response(204, {}, {},
                    "Set-Cookie: " + QByteArray(AccessGate::kCookieName) + '=' + attempt.token
                        + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=86400\r\n",
                    client.keepAlive));
        case AccessGate::Outcome::Wrong:
            qCInfo(lcShare) << "wrong access code from" << clientAddress(*socket);
            return reply(socket, client, plain(403, "Código incorrecto", {}, client.keepAlive));
        case AccessGate::Outcome::Limited:
            return reply(socket, client,
                plain(429, "Demasiados intentos",
                    "Retry-After: " + QByteArray::number((attempt.retryAfterMs + 999) / 1000) + "\r\n",
                    client.keepAlive));
        }
        return;
    }
    default:
        break;
    }
    if (!admitted)
        return reply(socket, client, plain(401, "Falta el código de acceso", {}, client.keepAlive));
    if (where.kind == Route::List)
        return reply(socket, client, response(200, kJson, listJson(), {}, client.keepAlive));
    const PhotoEntry *photo = entry(where.photo);
    if (!photo)
        return reply(socket, client, plain(404, "No encontrado", {}, client.keepAlive));
    if (where.kind == Route::Original) {
        if (!m_downloads || photo->storedPath.isEmpty())
            return reply(socket, client, plain(404, "No encontrado", {}, client.keepAlive));
        return startOriginal(socket, client, *photo);
    }
    sendImage(
        socket, client, where.photo, where.kind == Route::Thumb ? ImageKind::Thumb : ImageKind::Preview);
}

void ShareServer::sendImage(QTcpSocket *socket, Client &client, const QUuid &id, ImageKind kind)
{
    const auto made = m_made.constFind(id);
    if (made == m_made.cend()) {
        // Not made yet: the answer waits until it is, however long the images take (the
        // connection is not idle, it is waiting on us).
        client.idle->stop();
        client.waiting = true;
        client.waitingKind = kind;
        QList<QTcpSocket *> &waiting = m_waiting[id];
        if (waiting.isEmpty())
            emit imagesWanted(id);
        waiting.append(socket);
        return;
    }
    const std::optional<QByteArray> jpeg = *made ? m_shelf->get(id, kind) : std::nullopt;
    if (!jpeg && *made) {
        // Its files made room for newer photos' (or went some other way): made again.
        m_made.erase(made);
        return sendImage(socket, client, id, kind);
    }
    if (!jpeg)
        return reply(socket, client, plain(404, "Sin imagen", {}, client.keepAlive));
    reply(socket, client, response(200, "image/jpeg", *jpeg, {}, client.keepAlive));
}

void ShareServer::imagesDone(const QUuid &id, bool made)
{
    m_made.insert(id, made);
    const QList<QTcpSocket *> waiting = m_waiting.take(id);
    for (QTcpSocket *socket : waiting) {
        const auto it = m_clients.find(socket);
        if (it == m_clients.end())
            continue;
        Client &client = **it;
        client.waiting = false;
        sendImage(socket, client, id, client.waitingKind);
    }
}

void ShareServer::startOriginal(QTcpSocket *socket, Client &client, const PhotoEntry &entry)
{
    auto file = std::make_unique<QFile>(entry.storedPath);
    if (!file->open(QIODevice::ReadOnly))
        return reply(socket, client, plain(404, "No encontrado", {}, client.keepAlive));
    QByteArray head = response(200, "application/octet-stream", {},
        disposition(QFileInfo(entry.storedPath).fileName()), client.keepAlive);
    head.replace("Content-Length: 0\r\n", "Content-Length: " + QByteArray::number(file->size()) + "\r\n");
    const bool headOnly = client.headOnly;
    client.headOnly = false;
    socket->write(head);
    if (!headOnly)
        client.original = std::move(file);
}

void ShareServer::sendChunk(QTcpSocket *socket, Client &client)
{
    const QByteArray chunk = client.original->read(kChunkBytes);
    if (chunk.isEmpty()) {
        client.original.reset();
        if (!client.keepAlive)
            socket->disconnectFromHost();
        else
            serve(socket);
        return;
    }
    socket->write(chunk);
}

void ShareServer::upgrade(QTcpSocket *socket, const HttpRequest &request)
{
    Client &client = *m_clients.value(socket);
    // A page of this server only: another site's script would not have the cookie either
    // (SameSite), but a socket opened from elsewhere is refused before that is even asked.
    const bool sameOrigin = request.origin.isEmpty() || request.origin == "http://" + request.host;
    const bool admitted = m_gate->admits(AccessGate::tokenFromCookies(request.cookie));
    if (!sameOrigin || !admitted || m_viewers.size() >= kMaxViewers) {
        socket->read(request.headBytes);
        client.keepAlive = false;
        const int status = !sameOrigin ? 403 : !admitted ? 401 : 503;
        return reply(socket, client,
            plain(status, status == 503 ? "Demasiados espectadores" : "No permitido", {}, false));
    }
    // The WebSocket server takes the socket over, with its request still unread.
    delete client.idle;
    m_clients.remove(socket);
    socket->disconnect(this);
    socket->setReadBufferSize(0);
    m_sockets->handleConnection(socket);
}

void ShareServer::broadcast(const QByteArray &message)
{
    const QString text = QString::fromUtf8(message);
    for (QWebSocket *viewer : std::as_const(m_viewers)) {
        if (viewer->bytesToWrite() > kMaxViewerBacklog) {
            viewer->abort();
            continue;
        }
        m_bytesSent += viewer->sendTextMessage(text);
    }
}

const PhotoEntry *ShareServer::entry(const QUuid &id) const
{
    const auto it = m_index.constFind(id);
    return it == m_index.cend() ? nullptr : &m_photos.at(*it);
}

QByteArray ShareServer::listJson() const
{
    QByteArray out = "{\"fotos\":[";
    // Newest first, as the page shows them.
    for (qsizetype i = m_photos.size() - 1; i >= 0; --i)
        out += entryJson(m_photos.at(i), m_downloads) + (i > 0 ? "," : "");
    return out + "]}";
}

void ShareServer::setPhotos(
    const QList<PhotoEntry> &photos, const QList<QUuid> &ready, const QList<QUuid> &failed)
{
    m_photos = photos;
    m_index.clear();
    for (qsizetype i = 0; i < m_photos.size(); ++i)
        m_index.insert(m_photos.at(i).id, i);
    for (const QUuid &id : ready)
        m_made.insert(id, true);
    for (const QUuid &id : failed)
        m_made.insert(id, false);
}

void ShareServer::addPhoto(const PhotoEntry &entry)
{
    m_index.insert(entry.id, m_photos.size());
    m_photos.append(entry);
    broadcast(R"({"t":"foto","foto":)" + entryJson(entry, m_downloads) + '}');
}

void ShareServer::updatePhoto(const PhotoEntry &entry)
{
    const auto it = m_index.constFind(entry.id);
    if (it == m_index.cend())
        return;
    m_photos[*it] = entry;
    broadcast(R"({"t":"datos","foto":)" + entryJson(entry, m_downloads) + '}');
}

} // namespace share
