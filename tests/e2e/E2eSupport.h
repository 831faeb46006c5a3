#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRegularExpressionMatch>
#include <QString>
#include <QStringList>

#include <memory>

// Helpers for the tests that run inside scripts/netns-run: the daemons and processes they
// drive, and waiting on their output lines.

// True inside the private namespace; tests assert it so that they fail (not pass) elsewhere.
bool insideTestNamespace();

// A child process whose stdout is read as lines as they come.
class LineProcess
{
public:
    explicit LineProcess(QString label);
    ~LineProcess();

    void start(const QString &program, const QStringList &args);
    // Waits until a line (seen earlier or arriving within the timeout) matches `pattern`,
    // searching from line `from`; returns the match (invalid when none came).
    QRegularExpressionMatch waitForLine(const QString &pattern, int timeoutMs = 20000, int from = 0);
    // Number of lines matching `pattern` so far.
    [[nodiscard]] int count(const QString &pattern) const;
    [[nodiscard]] const QStringList &lines() const { return m_lines; }
    void write(const QByteArray &line);
    bool waitForExit(int timeoutMs = 20000);
    void kill();
    [[nodiscard]] QProcess &process() { return m_process; }
    // Everything printed so far, for failure messages.
    [[nodiscard]] QString transcript() const;

private:
    void readAvailable();

    QString m_label;
    QProcess m_process;
    QByteArray m_partial;
    QStringList m_lines;
};

// An avahi-daemon of the test's own, with the namespace's configuration.
class AvahiDaemon
{
public:
    ~AvahiDaemon();
    void start();
    void stop();
    [[nodiscard]] bool running() const;

private:
    std::unique_ptr<QProcess> m_process;
};

// Paths of the executables under test, passed in by ctest.
QString bridgeProgram();
QString testHostProgram();
