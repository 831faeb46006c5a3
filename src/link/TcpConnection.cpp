#include "link/TcpConnection.h"
#include "model/Logging.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

#include <algorithm>

#include <QLoggingCategory>

namespace {

// Keepalive: probes start after 10 s without traffic and go out every 5 s; 6 unanswered probes
// end the connection, so a bridge that vanished is marked lost about 40 s after it last spoke.
// The user timeout gives data we sent (commands) the same 40 s to be acknowledged, and with
// keepalive on it also bounds the probing to that time.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 6;
constexpr unsigned kUserTimeoutMs = 40'000;

} // namespace

bool enableKeepAlive(qintptr descriptor)
{
    const int fd = int(descriptor);
    const int on = 1;
    bool ok = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds) == 0 && ok;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds) == 0
        && ok;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount) == 0 && ok;
    ok = setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs) == 0 && ok;
    return ok;
}

TcpConnection::TcpConnection(QTcpSocket *socket)
    : m_socket(socket)
{
    m_socket->setParent(nullptr);
    m_socket->setReadBufferSize(kReadBufferSize);
    if (m_socket->socketDescriptor() >= 0)
        enableKeepAlive(m_socket->socketDescriptor());

    connect(m_socket.get(), &QTcpSocket::readyRead, this, &TcpConnection::readAvailable);
    connect(m_socket.get(), &QTcpSocket::disconnected, this, &TcpConnection::onEnded);
    connect(m_socket.get(), &QTcpSocket::errorOccurred, this, &TcpConnection::onEnded);
}

TcpConnection::~TcpConnection()
{
    m_receiving.set(0);
    if (m_gathering)
        --s_gathering;
    if (s_largeFile == this)
        s_largeFile = nullptr;
    // Closing the socket below must not call back into a half-destroyed owner.
    m_socket->disconnect(this);
    m_socket->abort();
}

void TcpConnection::startReading()
{
    m_reading = true;
    readAvailable();
    if (m_endSeen || m_socket->state() != QAbstractSocket::ConnectedState)
        onEnded();
}

void TcpConnection::send(const QByteArray &bytes)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_socket->write(bytes);
}

void TcpConnection::setFilesHeld(bool held)
{
    if (held == m_filesHeld)
        return;
    m_filesHeld = held;
    // Bytes the loop left in the socket's buffer bring no readyRead of their own.
    if (!held && m_reading && !m_ended)
        continueLater();
}

void TcpConnection::readAvailable()
{
    if (!m_reading)
        return;
    std::vector<InboundMessage> out;
    qint64 budget = kReadPerTurn;
    while (!m_reader.stopped() && (budget > 0 || m_drainAll)) {
        const qint64 available = m_socket->bytesAvailable();
        if (m_filesHeld && !m_drainAll && m_reader.atFileContentStart())
            break; // the photo's bytes stay in the socket until release
        // The most this step may take: the turn's share, and the budget's room for file content.
        qint64 cap = m_drainAll ? kReadPerTurn : budget;
        if (m_reader.inFileContent() && !m_drainAll) {
            cap = std::min(cap, contentAllowance());
            if (cap <= 0) {
                m_contentWaiting = true;
                break; // its bytes stay in the socket until another file is handed on
            }
        }
        if (!out.empty() && !m_drainAll) {
            // One message per turn; the bytes stay in the socket meanwhile. Those in its own
            // buffer bring no readyRead of their own; those in the kernel do.
            if (available > 0)
                continueLater();
            break;
        }
        if (available <= 0) {
            // The socket's buffer is empty: payload bytes come straight from the kernel.
            const qint64 got = readPayloadDirect(cap, out);
            if (got <= 0)
                break;
            budget -= got;
            continue;
        }
        // Never more than the current field misses: the bytes of a field that is never reached
        // (after a stop) stay in the socket.
        const qint64 want = std::min({ available, m_reader.wanted(), kReadBufferSize, cap });
        // Photo bytes go straight into the message being gathered; headers and names through
        // a small scratch buffer.
        if (char *space = m_reader.payloadSpace(want)) {
            const qint64 got = m_socket->read(space, want);
            m_reader.commitPayload(std::max<qint64>(got, 0), out);
            if (got <= 0)
                break;
            m_bytesRead += quint64(got);
            budget -= got;
            continue;
        }
        if (m_chunk.size() < want)
            m_chunk.resize(want);
        const qint64 got = m_socket->read(m_chunk.data(), want);
        if (got <= 0)
            break;
        m_bytesRead += quint64(got);
        budget -= got;
        m_reader.feed(QByteArrayView(m_chunk.constData(), got), out);
    }
    // Bytes left in the socket's buffer when the turn's share ran out bring no readyRead.
    if (budget <= 0 && !m_reader.stopped() && !m_drainAll)
        continueLater();
    syncReceiving();
    if (m_reader.oversized().count > 0 && !m_oversizeLogged)
        logOversized();
    if (m_reader.stopped()) {
        // No frame is handled any more; what arrives is dropped so that the socket keeps
        // reading on to the peer's close.
        m_chunk = QByteArray();
        discardAvailable();
    }
    if (!out.empty())
        emit messages(out);
}

qint64 TcpConnection::contentAllowance()
{
    syncReceiving(); // what this turn has read so far counts
    const qint64 rest = m_reader.wanted();
    if (s_largeFile == this)
        return rest;
    const MemoryBudget &budget = MemoryBudget::global();
    // The large file (below) reads on outside the share; the other connections share the rest.
    const qint64 receiving = budget.used(MemoryBudget::Part::Receiving)
        - (s_largeFile ? s_largeFile->m_receiving.bytes() : 0);
    // The whole rest fits under the hard cap: finish the file.
    if (receiving + rest <= budget.receivingHardCap())
        return rest;
    const qint64 share = budget.share(MemoryBudget::Part::Receiving);
    if (receiving < share)
        return share - receiving;
    // Alone on the link at its share: nothing else can make room, so it becomes the one large
    // file and reads on to its end (a photo larger than the share still arrives). Files started
    // later then wait only for each other, never for it.
    if (s_gathering == 1 && m_gathering && !s_largeFile) {
        s_largeFile = this;
        return rest;
    }
    return 0;
}

int TcpConnection::s_gathering = 0;
TcpConnection *TcpConnection::s_largeFile = nullptr;

void TcpConnection::syncReceiving()
{
    const bool gathering = m_reader.inFileContent() && !m_ended;
    if (gathering != m_gathering) {
        m_gathering = gathering;
        s_gathering += gathering ? 1 : -1;
    }
    if (!gathering && s_largeFile == this)
        s_largeFile = nullptr;
    const qint64 gathered = m_reader.fileContentGathered();
    if (gathered == m_receiving.bytes())
        return;
    const bool released = gathered < m_receiving.bytes();
    m_receiving.set(gathered);
    if (released)
        emit contentReleased();
}

void TcpConnection::resumeContent()
{
    if (!m_contentWaiting || m_ended)
        return;
    m_contentWaiting = false;
    continueLater();
}

// Takes payload bytes that wait in the kernel straight into the message being gathered, one copy
// instead of two through the socket's buffer, and only as many as have arrived (so the message
// still grows with arrivals alone). Only while the socket's buffer is empty, so the stream's order
// holds. The end of the stream and errors are left to the socket, which sees them on its next
// read. Returns the bytes taken.
qint64 TcpConnection::readPayloadDirect(qint64 budget, std::vector<InboundMessage> &out)
{
    if (m_drainAll || m_socket->state() != QAbstractSocket::ConnectedState)
        return 0;
    const int fd = int(m_socket->socketDescriptor());
    int waiting = 0;
    if (fd < 0 || ::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)
        return 0;
    const qint64 want = std::min({ qint64(waiting), m_reader.wanted(), budget });
    char *space = want > 0 ? m_reader.payloadSpace(want) : nullptr;
    if (!space)
        return 0;
    ssize_t got;
    do
        got = ::recv(fd, space, size_t(want), MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    m_reader.commitPayload(got > 0 ? qsizetype(got) : 0, out);
    if (got <= 0)
        return 0;
    m_bytesRead += quint64(got);
    return got;
}

// One bounded drop per call: the socket's buffer never holds more than kReadBufferSize, so this
// empties it, and the socket goes on reading from the kernel (and sees the peer's close).
void TcpConnection::discardAvailable()
{
    const qint64 n = m_socket->skip(std::min(m_socket->bytesAvailable(), kReadBufferSize));
    if (n > 0)
        m_bytesRead += quint64(n);
}

void TcpConnection::logOversized()
{
    m_oversizeLogged = true;
    const FrameReader::Oversized &o = m_reader.oversized();
    const QString line = QStringLiteral("camera connection %1:%2: skipped a frame of type %3 with %4 payload "
                                        "bytes, over the limit for its type; later ones on this connection "
                                        "are skipped without a log line")
                             .arg(m_socket->peerAddress().toString())
                             .arg(m_socket->peerPort())
                             .arg(o.firstType)
                             .arg(o.firstLength);
    logWarning(lcLink(), line);
}

void TcpConnection::continueLater()
{
    if (m_continueScheduled)
        return;
    m_continueScheduled = true;
    // readyRead does not fire again for bytes already in the socket's buffer.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_continueScheduled = false;
            readAvailable();
        },
        Qt::QueuedConnection);
}

void TcpConnection::onEnded()
{
    // errorOccurred also fires while the socket is still connected (a peer's close is reported
    // before the final state change); only a socket that is no longer connected has ended.
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        return;
    m_endSeen = true;
    if (!m_reading || m_ended)
        return; // before startReading(), the end is reported once the loop runs
    m_ended = true;
    // Bytes that came before the close are still read, all of them now, so that the end is
    // reported after the last message; then a payload cut short is handed on.
    //
    // This includes photos held back by setFilesHeld(): the socket reports the peer's close
    // only once it has read every byte before it, so what is left is already in its bounded
    // buffer. Handing those photos on costs at most kReadBufferSize more memory; keeping them
    // back would lose complete photos, or keep the record of a camera that is gone until
    // release. A photo cut short by the close is dropped as always.
    m_drainAll = true;
    readAvailable();
    std::vector<InboundMessage> out;
    m_reader.finish(out);
    m_chunk = QByteArray();
    m_contentWaiting = false;
    syncReceiving();
    if (!out.empty())
        emit messages(out);
    emit closed();
}
