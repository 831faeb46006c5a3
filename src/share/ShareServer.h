#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>

#include <atomic>
#include <memory>

#include "share/AccessGate.h"
#include "share/HttpRequest.h"
#include "share/ShareImages.h"

class QFile;
class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

namespace share {

// What a browser is told of one photo of the run.
struct PhotoEntry {
    QUuid id;
    int number = 0; // order of listing in this run, from 1
    QString name; // as the camera sent it
    QString camera;
    QString shutter, aperture, iso;
    QString storedPath; // empty until the file is safe in the capture folder
};

// The HTTP and WebSocket server of the client view. It lives on a thread of its own (so that
// no viewer ever waits on the window, nor the window on a viewer) and is told of the run's
// photos by ShareService, which makes their images; every slot runs on the server's thread.
//
// Read-only: it answers GET for the page, the photo list and the images of listed photos, and a
// POST of the access code; photos are named by id, never by a path. Bounded: at most
// kMaxConnections sockets, each holding at most one answer at a time (the next request on a
// connection is read once the last answer has left), request heads of 8 KB, and kMaxViewers
// WebSocket viewers whose unsent pushes are capped.
class ShareServer : public QObject
{
    Q_OBJECT

public:
    // A studio's phones and tablets, with room to spare.
    static constexpr int kMaxViewers = 32;
    // Each viewer's page loads images over up to six connections of its own: with kMaxViewers,
    // about four busy at a time. Each holds one answer at most (a preview is some 300 KB).
    static constexpr int kMaxConnections = 160;
    // A connection with nothing to do for this long is closed: a browser keeps idle ones open.
    static constexpr int kIdleMs = 20'000;
    // Pushes waiting to be sent to one viewer: a viewer this far behind has gone, and will
    // reload the list when it comes back.
    static constexpr qint64 kMaxViewerBacklog = 64 * 1024;
    // A keep-alive message so that a page notices a dead connection (it reconnects after three
    // missed) and so do the routers in between.
    static constexpr int kPingMs = 10'000;
    // Originals are sent in pieces of this size, the next once the last has left.
    static constexpr qint64 kChunkBytes = 256 * 1024;

    // The gate is the service's for the whole run (sessions outlive switching off and on); only
    // one server at a time uses it, on its thread.
    ShareServer(std::shared_ptr<ImageShelf> shelf, std::shared_ptr<AccessGate> gate, QByteArray page);
    ~ShareServer() override;

    // Listens on every interface, at `preferredPort` when it is free, else on any port;
    // reports listening() either way (0 when it cannot listen at all).
    void listen(quint16 preferredPort);
    // The run's photos, oldest first, and those whose images exist (`ready`) or cannot be made
    // (`failed`).
    void setPhotos(const QList<PhotoEntry> &photos, const QList<QUuid> &ready, const QList<QUuid> &failed);
    // A photo was listed: every viewer is told at once.
    void addPhoto(const PhotoEntry &entry);
    // Its texts or its stored file changed.
    void updatePhoto(const PhotoEntry &entry);
    // Its images are on the shelf (or cannot be made): the requests waiting for them are answered.
    void imagesDone(const QUuid &id, bool made);
    void setDownloads(bool allowed) { m_downloads = allowed; }
    // For tests: how long a connection may have nothing to do (kIdleMs).
    void setIdleMs(int ms) { m_idleMs = ms; }
    // Closes every connection and stops listening.
    void shutdown();

    // Bytes written to sockets since the start; any thread.
    [[nodiscard]] qint64 bytesSent() const { return m_bytesSent.load(); }

signals:
    void listening(quint16 port);
    // A browser asked for images not made yet.
    void imagesWanted(const QUuid &id);
    void viewersChanged(int count);

private:
    struct Client;
    void accept();
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket, Client &client, const HttpRequest &request, const Route &route,
        const QByteArray &body);
    void sendImage(QTcpSocket *socket, Client &client, const QUuid &id, ImageKind kind);
    void startOriginal(QTcpSocket *socket, Client &client, const PhotoEntry &entry);
    void sendChunk(QTcpSocket *socket, Client &client);
    void reply(QTcpSocket *socket, Client &client, const QByteArray &bytes);
    void upgrade(QTcpSocket *socket, const HttpRequest &request);
    void dropClient(QTcpSocket *socket);
    void broadcast(const QByteArray &message);
    [[nodiscard]] QByteArray listJson() const;
    [[nodiscard]] const PhotoEntry *entry(const QUuid &id) const;

    std::shared_ptr<ImageShelf> m_shelf;
    std::shared_ptr<AccessGate> m_gate;
    QByteArray m_page;
    QTcpServer *m_tcp = nullptr;
    QWebSocketServer *m_sockets = nullptr;
    QHash<QTcpSocket *, std::shared_ptr<Client>> m_clients;
    QList<QWebSocket *> m_viewers;
    QList<PhotoEntry> m_photos;
    QHash<QUuid, qsizetype> m_index;
    QHash<QUuid, bool> m_made; // images made (true) or failed (false)
    QHash<QUuid, QList<QTcpSocket *>> m_waiting;
    bool m_downloads = false;
    int m_idleMs = kIdleMs;
    QTimer *m_ping; // a child, so that it moves to the server's thread with it
    std::atomic<qint64> m_bytesSent { 0 };
};

// The JSON object a browser is given for a photo.
[[nodiscard]] QByteArray entryJson(const PhotoEntry &entry, bool downloads);

} // namespace share
