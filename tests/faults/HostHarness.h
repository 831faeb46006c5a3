#pragma once

#include <QMap>
#include <QProcess>
#include <QRegularExpressionMatch>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

// What the end-to-end, fault and load suites share. They run inside scripts/netns-run (private
// network, mount and PID namespaces, their own system bus) and drive the application core
// (halvane-testhost) and bridge simulators (halvane-bridge) as child processes, or play a bridge
// themselves over a raw socket.

// The hash of every regular file in a folder, hidden ones included, by name ("unreadable" for
// one that cannot be read).
QMap<QString, QString> folderHashes(const QString &dir);
// Resident memory of a process in KiB (`field` VmRSS, or VmHWM for its peak); -1 when unreadable.
qint64 residentKiB(qint64 pid, const char *field = "VmRSS");
// A file frame of random content; the content's hash is appended to `hashes`.
QByteArray randomFileFrame(const QByteArray &name, int contentBytes, QStringList *hashes = nullptr);

// A child process whose stdout is kept as lines as they come; its stderr goes to the test's
// unless `quiet`.
class LineProcess
{
public:
    explicit LineProcess(QString label, bool quiet = false);
    ~LineProcess() { stop(); }
    void start(const QString &program, const QStringList &args);
    // The first line from index `from` on that matches `pattern`, waited for up to `timeoutMs`;
    // an invalid match when none came.
    QRegularExpressionMatch waitForLine(const QString &pattern, int from = 0, int timeoutMs = 20000);
    // Group 1 of every line that matched `pattern` so far (so its size counts them).
    [[nodiscard]] QStringList matches(const QString &pattern) const;
    void write(const QByteArray &line) { process.write(line + '\n'); }
    bool waitForExit(int timeoutMs = 20000)
    {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    // Ends it with SIGKILL, or with SIGTERM first when `gently` (a daemon then withdraws what it published).
    void stop(bool gently = false);

    QString label;
    QProcess process;
    QStringList lines;

private:
    QByteArray m_partial;
};

// halvane-testhost, and what its lines tell about the Monitor.
class Host : public LineProcess
{
public:
    struct Camera {
        QString status, name;
    };
    Host() : LineProcess(QStringLiteral("host")) {}
    // Starts it on this capture folder (and pending folder); the port once it listens, 0 when it
    // does not.
    quint16 start(const QString &settingsPath, const QString &captureFolder, const QString &pendingFolder = {});
    [[nodiscard]] QList<Camera> cameras() const; // by index, as last printed
    [[nodiscard]] int photoCount() const { return int(matches(QStringLiteral("^photo ")).size()); }
    // Of the photos whose file is written: before their photo line was printed, or later.
    [[nodiscard]] QStringList storedPaths() const
    {
        return matches("^photo \\d+ (\\S+) ") + matches("^stored \\d+ \\d+ (.+)$");
    }
    // Whether there are `records` camera records and every one has lost its connection.
    [[nodiscard]] bool allLost(qsizetype records) const;
    bool waitFor(const std::function<bool(const Host &)> &done, int timeoutMs = 20000) const
    {
        return QTest::qWaitFor([&] { return done(*this); }, timeoutMs);
    }
};

// A bridge played by the test itself over one connection, for byte-exact faults.
class RawPeer : public QTcpSocket
{
public:
    explicit RawPeer(quint16 port) { connectToHost(QStringLiteral("127.0.0.1"), port); }
    bool waitConnected() { return QTest::qWaitFor([this] { return state() == ConnectedState; }, 10000); }
    // Ends the connection with a RST instead of a FIN, as a killed process with unread data does.
    void closeWithReset();
};

// A temporary folder with a capture folder in it, the host, bridges and an avahi-daemon of the
// test's own; the children's output is shown when a test fails. Outside the namespace every test
// fails rather than skips.
class HostTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the host on `capture` (and a pending folder); its port (also kept in `port`), 0 when
    // it did not start.
    quint16 startHost(const QString &pendingFolder = {});
    // A bridge simulator, connected straight to the host unless `args` name a service to browse for.
    LineProcess &bridge(QStringList args);
    void startAvahi();
    // The line the host prints once its service is registered under this workstation's name.
    static QString registeredLine();
    // Whether the photo `name` that `cam` sent arrives in the capture folder byte for byte.
    bool arrivesWhole(LineProcess &cam, const QString &name);
    // The hashes of the photos a bridge has sent whole.
    static QStringList sentHashes(const LineProcess &b) { return b.matches(QStringLiteral("^sent-photo \\d+ \\d+ (\\S+) ")); }
    // No hidden (temporary) entry in the capture folder; every file is one of `allowed`, once.
    void expectOnlyCompleteFiles(const QStringList &allowed);

    QTemporaryDir dir;
    QString capture;
    Host host;
    quint16 port = 0;
    LineProcess avahi{QStringLiteral("avahi-daemon"), qEnvironmentVariable("HALVANE_E2E_VERBOSE") != QLatin1String("1")};
    std::vector<std::unique_ptr<LineProcess>> bridges;
    QStringList mounts; // unmounted after the test
};
