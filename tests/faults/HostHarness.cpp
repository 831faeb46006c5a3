#include "HostHarness.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <algorithm>

#include <sys/socket.h>

#include "Frames.h"
#include "link/ServiceAdvertiser.h"

QMap<QString, QString> folderHashes(const QString &dir)
{
    QMap<QString, QString> out;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden)) {
        QFile file(QDir(dir).filePath(name));
        QCryptographicHash hash(QCryptographicHash::Sha256);
        const bool read = file.open(QIODevice::ReadOnly) && hash.addData(&file);
        out.insert(name, read ? QString::fromLatin1(hash.result().toHex()) : QStringLiteral("unreadable"));
    }
    return out;
}

qint64 residentKiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QRegularExpression line(QStringLiteral("^%1:\\s*(\\d+) kB$").arg(QLatin1String(field)),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch m = line.match(status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray());
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

QByteArray randomFileFrame(const QByteArray &name, int contentBytes, QStringList *hashes)
{
    QByteArray content(contentBytes, Qt::Uninitialized);
    for (char &c : content)
        c = char(QRandomGenerator::global()->bounded(256));
    if (hashes)
        hashes->append(QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
    return frames::fileFrame(name, content);
}

LineProcess::LineProcess(QString label, bool quiet) : label(std::move(label))
{
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
        m_partial += process.readAllStandardOutput();
        for (qsizetype nl; (nl = m_partial.indexOf('\n')) >= 0; m_partial.remove(0, nl + 1))
            lines.append(QString::fromUtf8(m_partial.left(nl)));
    });
    if (quiet)
        process.setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(&process, &QProcess::readyReadStandardError, [this] {
        std::fprintf(stderr, "[%s] %s", qPrintable(this->label), process.readAllStandardError().constData());
    });
}

void LineProcess::start(const QString &program, const QStringList &args)
{
    lines.clear();
    process.start(program, args);
}

QRegularExpressionMatch LineProcess::waitForLine(const QString &pattern, int from, int timeoutMs)
{
    const QRegularExpression re(pattern);
    QRegularExpressionMatch found;
    (void)QTest::qWaitFor([&] {
        for (; from < lines.size() && !found.hasMatch(); ++from)
            found = re.match(lines.at(from));
        return found.hasMatch();
    }, timeoutMs);
    return found;
}

QStringList LineProcess::matches(const QString &pattern) const
{
    const QRegularExpression re(pattern);
    QStringList out;
    for (const QString &line : lines)
        if (const QRegularExpressionMatch m = re.match(line); m.hasMatch())
            out.append(m.captured(1));
    return out;
}

void LineProcess::stop(bool gently)
{
    if (gently)
        process.terminate();
    if (!gently || !process.waitForFinished(10000))
        process.kill();
    process.waitForFinished(5000);
}

quint16 Host::start(const QString &settingsPath, const QString &captureFolder, const QString &pendingFolder)
{
    // Under AddressSanitizer freed memory sits in a 256 MiB quarantine by default, which would
    // show as growth in the memory checks; a small one keeps them meaningful there.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":quarantine_size_mb=8");
    process.setProcessEnvironment(env);
    QStringList args{settingsPath, captureFolder};
    if (!pendingFolder.isEmpty())
        args.append(pendingFolder);
    LineProcess::start(qEnvironmentVariable("HALVANE_TESTHOST"), args);
    const auto port = waitForLine(QStringLiteral("^port (\\d+)$"));
    return port.hasMatch() && waitForLine(QStringLiteral("^listening 1$")).hasMatch() ? port.captured(1).toUShort() : 0;
}

QList<Host::Camera> Host::cameras() const
{
    static const QRegularExpression re(QStringLiteral("^camera (\\d+) status=(\\S+) .* name=(.*)$"));
    QList<Camera> out;
    for (const QString &line : lines) {
        if (const QRegularExpressionMatch m = re.match(line); m.hasMatch()) {
            out.resize(std::max(out.size(), qsizetype(m.captured(1).toInt()) + 1));
            out[m.captured(1).toInt()] = {m.captured(2), m.captured(3)};
        }
    }
    return out;
}

bool Host::allLost(qsizetype records) const
{
    const QList<Camera> all = cameras();
    return all.size() == records
           && std::all_of(all.cbegin(), all.cend(), [](const Camera &c) { return c.status == QLatin1String("noSignal"); });
}

void RawPeer::closeWithReset()
{
    const struct linger lingerOff = {1, 0}; // close() then sends a RST
    ::setsockopt(int(socketDescriptor()), SOL_SOCKET, SO_LINGER, &lingerOff, sizeof lingerOff);
    abort();
}

void HostTest::SetUp()
{
    ASSERT_TRUE(qEnvironmentVariable("HALVANE_NETNS") == QLatin1String("1")) << "run through scripts/netns-run";
    for (const char *name : {"DBUS_SYSTEM_BUS_ADDRESS", "HALVANE_AVAHI_CONF", "HALVANE_TESTHOST", "HALVANE_BRIDGE"})
        ASSERT_FALSE(qEnvironmentVariableIsEmpty(name)) << name << " is not set: run through scripts/netns-run";
    ASSERT_TRUE(dir.isValid());
    capture = dir.filePath(QStringLiteral("capture"));
    ASSERT_TRUE(QDir().mkpath(capture));
}

void HostTest::TearDown()
{
    const auto show = [](const LineProcess &p) {
        std::fprintf(stderr, "--- %s output:\n%s\n", qPrintable(p.label), qPrintable(p.lines.join('\n').right(20000)));
    };
    if (HasFailure()) {
        show(host);
        std::for_each(bridges.cbegin(), bridges.cend(), [&](const auto &b) { show(*b); });
    }
    bridges.clear();
    host.stop();
    avahi.stop(true);
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it)
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), *it});
}

quint16 HostTest::startHost(const QString &pendingFolder)
{
    port = host.start(dir.filePath(QStringLiteral("settings.ini")), capture, pendingFolder);
    EXPECT_NE(port, 0) << "the host did not start";
    return port;
}

LineProcess &HostTest::bridge(QStringList args)
{
    if (!args.contains(QStringLiteral("--service-name")))
        args = QStringList{"--host", "127.0.0.1", "--port", QString::number(port)} + args;
    bridges.push_back(std::make_unique<LineProcess>(QStringLiteral("bridge %1").arg(bridges.size() + 1)));
    bridges.back()->start(qEnvironmentVariable("HALVANE_BRIDGE"), args);
    return *bridges.back();
}

void HostTest::startAvahi()
{
    avahi.start("avahi-daemon", {"-f", qEnvironmentVariable("HALVANE_AVAHI_CONF"), "--no-drop-root", "--no-chroot",
                                 "--no-rlimits", "--no-proc-title"});
    EXPECT_TRUE(avahi.process.waitForStarted(10000)) << "avahi-daemon did not start";
}

QString HostTest::registeredLine()
{
    return "^registered " + QRegularExpression::escape(ServiceAdvertiser::workstationServiceName()) + "$";
}

bool HostTest::arrivesWhole(LineProcess &cam, const QString &name)
{
    const QString sent = "^sent-photo 1 \\d+ (\\S+) " + QRegularExpression::escape(name) + "$";
    const QString hash = cam.waitForLine(sent).captured(1);
    const auto arrived = [&](const Host &) { return folderHashes(capture).value(name) == hash; };
    return !hash.isEmpty() && host.waitFor(arrived);
}

void HostTest::expectOnlyCompleteFiles(const QStringList &allowed)
{
    for (const QString &entry : QDir(capture).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        EXPECT_FALSE(entry.startsWith(QLatin1Char('.'))) << "left behind: " << entry.toStdString();
    const QStringList stored = folderHashes(capture).values();
    for (const QString &hash : stored) {
        EXPECT_TRUE(allowed.contains(hash)) << "a partial or unknown file";
        EXPECT_EQ(stored.count(hash), 1) << "stored more than once";
    }
}
