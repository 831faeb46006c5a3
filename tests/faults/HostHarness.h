#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

#include "E2eSupport.h"

// What the fault and load suites share: the application core (halvane-testhost) as a child
// process whose event lines are parsed into what it holds, bridges as child processes or as
// raw sockets of the test itself, and checks on the capture folder.

QByteArray sha256(const QByteArray &bytes);
QString sha256Hex(const QByteArray &bytes);
// The file's SHA-256 in hex, or "unreadable: PATH".
QString fileSha256(const QString &path);

// Resident and peak resident memory of a process, in KiB (VmRSS, VmHWM); -1 when unreadable.
qint64 residentKiB(qint64 pid);
qint64 peakResidentKiB(qint64 pid);

// Every entry of a folder, hidden ones included ("." and ".." excluded).
QStringList folderEntries(const QString &dir);
// Hash of every regular file in a folder, keyed by file name.
QMap<QString, QString> folderHashes(const QString &dir);

// Runs a command (mount and the like); true when it exits 0.
bool runCommand(const QString &program, const QStringList &args);

// The application core and what its event lines tell about it.
class Host
{
public:
    struct Photo {
        QString name; // as the bridge sent it
        QString storedPath; // empty while not stored
    };
    struct Camera {
        QString status;
        QString name;
        QList<Photo> photos;
    };

    Host();
    // Starts the host with this capture folder; returns the port once it listens (0 on failure).
    quint16 start(const QString &settingsPath, const QString &captureFolder);

    LineProcess &process() { return m_process; }
    [[nodiscard]] qint64 pid() const;
    [[nodiscard]] bool running() const;

    // Parses the lines that arrived since the last call.
    void update();
    [[nodiscard]] const QList<Camera> &cameras();
    [[nodiscard]] int photoCount();
    [[nodiscard]] int storedCount();
    [[nodiscard]] QStringList storedPaths();
    // Waits until `predicate` (given this host, updated) holds.
    template<typename P>
    bool waitFor(P predicate, int timeoutMs);

    // Asks for and returns the longest main-thread stall so far, in ms (-1 without an answer).
    double longestStallMs();

private:
    LineProcess m_process{QStringLiteral("host")};
    qsizetype m_parsed = 0;
    QList<Camera> m_cameras;
    Camera &camera(int index);
};

template<typename P>
bool Host::waitFor(P predicate, int timeoutMs)
{
    return QTest::qWaitFor([&] {
        update();
        return predicate(*this);
    }, timeoutMs);
}

// A bridge played by the test itself over one TCP connection, for faults that need byte-exact
// control: cut frames, slow writes, streams after a bad header.
class RawPeer
{
public:
    explicit RawPeer(quint16 port);
    [[nodiscard]] bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool waitConnected(int timeoutMs = 10000);
    void send(const QByteArray &bytes);
    // Waits until the kernel has taken every byte written so far.
    bool flush(int timeoutMs = 10000);
    // Ends the connection with a FIN (orderly close) or a RST (abortive close).
    void close(bool reset);
    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
};

// A small file frame with random content; its content's hash goes to `hash`.
QByteArray randomFileFrame(const QByteArray &name, int contentBytes, QString *hash);
