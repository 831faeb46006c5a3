#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpSocket>

#include <memory>
#include <vector>

#include "link/FrameReader.h"
#include "model/Connection.h"
#include "model/MemoryBudget.h"

// One accepted bridge connection: sends command frames and runs the read loop that cuts the
// incoming stream into messages. Main thread only.
//
// Reading asks the socket for no more than the field being read still misses. The socket's own
// buffer is bounded (kReadBufferSize): once it is full the socket stops reading from the kernel
// and TCP flow control holds the peer back. Once that buffer is empty, payload bytes the kernel
// already holds are read straight into their message (never more than have arrived), up to
// kReadPerTurn bytes per turn of the event loop.
//
// After the reader stops (bad header, bad name) no further frame is handled, but whatever the
// peer sends is still taken from the socket and dropped, at most kReadBufferSize bytes per turn
// of the event loop. A full buffer would keep the socket from reading on to the peer's close,
// and the record would never be marked lost; dropping the bytes keeps memory flat meanwhile.
// A hello, state or live-view payload over its cap is read and dropped by the reader, and
// reading goes on; the first one is logged (category halvane.link and the system log), once
// per connection.
//
// Each turn of the event loop takes at most one complete message from the socket; the rest wait
// in the socket (and, once its buffer is full, in the peer) until the next turn. Handlers of
// many connections therefore never pile up into one long run of the main thread, and a peer
// that sends faster than its messages are handled is held back by TCP instead of queued here.
//
// Photos can be held (setFilesHeld): the read loop then stops before the first content byte of
// a file frame, and the frame's content and everything after it stay in the socket, whose full
// buffer holds the peer back. Frames before it are handled as usual, and a file whose content
// had started when the hold began is read to its end, so no half photo waits in memory. With
// its buffer full the socket reads nothing more from the kernel, so a peer's close may be seen
// only after release. When the end is seen while held, the photos already complete in the
// socket's buffer are delivered all the same (see onEnded()).
//
// File content being gathered counts in the memory budget's Receiving part, over every
// connection: a connection reads on into a file while the part is within its share, or when
// the rest of the file (as declared) fits under the hard cap; otherwise it waits, and TCP holds
// its peer back, until content elsewhere is handed on (contentReleased, resumeContent). So
// peers that declare huge files and never finish them hold the share and no more, while an
// ordinary photo from another camera still fits under the cap. A file alone on the link when
// the share is reached reads on to its end outside the share, so a photo larger than the share
// still arrives; one such file at a time, so memory stays bounded by the share, the cap and
// one file (FrameReader::kMaxFileContent).
class TcpConnection : public QObject, public Connection
{
    Q_OBJECT

public:
    // Bytes the socket may hold before the read loop takes them. Small: a payload's bytes then
    // mostly go from the kernel straight into their message (one copy), not through this buffer
    // (two); with 1 MiB here, 8 MiB photos came through at 0.8 of a bare socket loop's rate.
    static constexpr qint64 kReadBufferSize = 64 << 10;
    // Bytes one turn of the event loop takes from a connection at most. Payload bytes past the
    // socket's buffer are read from the kernel straight into their message, so a connection is
    // not slowed to one buffer per turn when the turns are long (rendering, many connections);
    // the cap keeps any one connection from holding the window up for long.
    static constexpr qint64 kReadPerTurn = 8 << 20;

    // Takes ownership of a connected socket and turns on TCP keepalive for it.
    explicit TcpConnection(QTcpSocket *socket);
    ~TcpConnection() override;

    // Starts the read loop; bytes that arrived before this are read too.
    void startReading();

    // Fire-and-forget: queued while connected, dropped once the connection is gone.
    void send(const QByteArray &bytes) override;

    // The buffer of a delivered message that nobody holds any more, to be read into again.
    void recycle(QByteArray buffer) { m_reader.recycle(std::move(buffer)); }

    // While held, no file content is taken from the socket; releasing reads on from where the
    // loop stopped.
    void setFilesHeld(bool held);

    // Another connection handed file content on: a read that waited for room tries again.
    void resumeContent();
    // Whether the read loop waits for room in the Receiving share.
    [[nodiscard]] bool waitingForRoom() const { return m_contentWaiting; }

    // Bytes the read loop has taken from the socket so far, including those it dropped.
    [[nodiscard]] quint64 bytesRead() const { return m_bytesRead; }
    // Bytes waiting in the socket's own buffer, not yet taken by the read loop.
    [[nodiscard]] qint64 bufferedBytes() const { return m_socket->bytesAvailable(); }
    [[nodiscard]] bool readingStopped() const { return m_reader.stopped(); }
    [[nodiscard]] FrameReader::Stop stopReason() const { return m_reader.stopReason(); }
    [[nodiscard]] bool ended() const { return m_ended; }
    [[nodiscard]] qintptr socketDescriptor() const { return m_socket->socketDescriptor(); }

signals:
    // Complete messages, in arrival order.
    void messages(std::vector<InboundMessage> &messages);
    // The connection was closed by the peer or failed; emitted once, after the last messages.
    void closed();
    // File content this connection was gathering was handed on or dropped.
    void contentReleased();

private:
    void readAvailable();
    qint64 readPayloadDirect(qint64 budget, std::vector<InboundMessage> &out);
    // How many more file content bytes the budget lets this connection take now.
    [[nodiscard]] qint64 contentAllowance();
    // Brings the Receiving charge up to date with the content gathered.
    void syncReceiving();
    void discardAvailable();
    void logOversized();
    void continueLater();
    void onEnded();

    std::unique_ptr<QTcpSocket> m_socket;
    FrameReader m_reader;
    QByteArray m_chunk;
    quint64 m_bytesRead = 0;
    bool m_reading = false;
    bool m_endSeen = false; // the socket is no longer connected
    bool m_ended = false; // the end was reported
    bool m_continueScheduled = false; // a read for the next turn of the event loop is posted
    bool m_drainAll = false; // the connection has ended: take every remaining message now
    bool m_oversizeLogged = false; // an oversized payload was logged for this connection
    bool m_filesHeld = false; // stop before file content (see setFilesHeld)
    bool m_contentWaiting = false; // stopped in file content for want of room in the budget
    MemoryBudget::Charge m_receiving{MemoryBudget::Part::Receiving}; // the file content being gathered
    bool m_gathering = false; // in a file's content, counted in s_gathering
    static int s_gathering; // connections in a file's content (main thread only)
    static TcpConnection *s_largeFile; // reads its file on outside the share (contentAllowance)
};

// Turns on TCP keepalive for a connected socket descriptor so that a peer that vanishes
// without closing is noticed. Returns false if the system refused any of the options.
bool enableKeepAlive(qintptr descriptor);
