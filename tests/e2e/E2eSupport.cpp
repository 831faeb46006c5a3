#include "E2eSupport.h"

#include <QRegularExpression>
#include <QTest>

#include <cstdio>

bool insideTestNamespace()
{
    return qEnvironmentVariable("HALVANE_NETNS") == QLatin1String("1")
           && !qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS")
           && !qEnvironmentVariableIsEmpty("HALVANE_AVAHI_CONF");
}

LineProcess::LineProcess(QString label)
    : m_label(std::move(label))
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setReadChannel(QProcess::StandardOutput);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readAvailable(); });
    // Diagnostics go straight to the test's own stderr.
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
        const QByteArray err = m_process.readAllStandardError();
        std::fprintf(stderr, "[%s] %s", qPrintable(m_label), err.constData());
    });
}

LineProcess::~LineProcess()
{
    kill();
}

void LineProcess::start(const QString &program, const QStringList &args)
{
    m_process.start(program, args);
}

void LineProcess::readAvailable()
{
    m_partial += m_process.readAllStandardOutput();
    qsizetype nl;
    while ((nl = m_partial.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_partial.left(nl)));
        m_partial.remove(0, nl + 1);
    }
}

QRegularExpressionMatch LineProcess::waitForLine(const QString &pattern, int timeoutMs, int from)
{
    const QRegularExpression re(pattern);
    QRegularExpressionMatch found;
    auto scan = [&] {
        for (qsizetype i = from; i < m_lines.size(); ++i) {
            QRegularExpressionMatch m = re.match(m_lines.at(i));
            if (m.hasMatch()) {
                found = m;
                return true;
            }
        }
        return false;
    };
    (void)QTest::qWaitFor(scan, timeoutMs);
    return found;
}

int LineProcess::count(const QString &pattern) const
{
    const QRegularExpression re(pattern);
    int n = 0;
    for (const QString &line : m_lines)
        n += re.match(line).hasMatch() ? 1 : 0;
    return n;
}

void LineProcess::write(const QByteArray &line)
{
    m_process.write(line + '\n');
}

bool LineProcess::waitForExit(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

void LineProcess::kill()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString LineProcess::transcript() const
{
    return QStringLiteral("--- %1 output:\n%2\n").arg(m_label, m_lines.join(QLatin1Char('\n')));
}

AvahiDaemon::~AvahiDaemon()
{
    stop();
}

void AvahiDaemon::start()
{
    m_process = std::make_unique<QProcess>();
    // The daemon narrates every step; shown only on request (HALVANE_E2E_VERBOSE=1).
    if (qEnvironmentVariable("HALVANE_E2E_VERBOSE") == QLatin1String("1")) {
        m_process->setProcessChannelMode(QProcess::ForwardedChannels);
    } else {
        m_process->setStandardOutputFile(QProcess::nullDevice());
        m_process->setStandardErrorFile(QProcess::nullDevice());
    }
    m_process->start(QStringLiteral("avahi-daemon"),
                     {QStringLiteral("-f"), qEnvironmentVariable("HALVANE_AVAHI_CONF"),
                      QStringLiteral("--no-drop-root"), QStringLiteral("--no-chroot"),
                      QStringLiteral("--no-rlimits"), QStringLiteral("--no-proc-title")});
    m_process->waitForStarted(10000);
}

void AvahiDaemon::stop()
{
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->terminate(); // a clean exit withdraws its records and removes its pid file
        if (!m_process->waitForFinished(10000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    m_process.reset();
}

bool AvahiDaemon::running() const
{
    return m_process && m_process->state() == QProcess::Running;
}

QString bridgeProgram()
{
    return qEnvironmentVariable("HALVANE_BRIDGE");
}

QString testHostProgram()
{
    return qEnvironmentVariable("HALVANE_TESTHOST");
}
