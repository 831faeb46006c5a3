#include "HostHarness.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <sys/socket.h>

#include "Frames.h"

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(sha256(bytes).toHex());
}

QString fileSha256(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unreadable: ") + path;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

namespace {

qint64 statusField(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

qint64 residentKiB(qint64 pid)
{
    return statusField(pid, "VmRSS");
}

qint64 peakResidentKiB(qint64 pid)
{
    return statusField(pid, "VmHWM");
}

QStringList folderEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QMap<QString, QString> folderHashes(const QString &dir)
{
    QMap<QString, QString> out;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name))
        out.insert(name, fileSha256(QDir(dir).filePath(name)));
    return out;
}

bool runCommand(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(program, args);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

Host::Host() = default;

quint16 Host::start(const QString &settingsPath, const QString &captureFolder)
{
    // Under AddressSanitizer freed memory sits in a quarantine of 256 MiB by default, which
    // would show as growth in the memory checks; a small one keeps them meaningful there.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("quarantine_size_mb=8"));
    m_process.process().setProcessEnvironment(env);
    m_process.start(testHostProgram(), {settingsPath, captureFolder});
    const auto port = m_process.waitForLine(QStringLiteral("^port (\\d+)$"));
    if (!port.hasMatch() || !m_process.waitForLine(QStringLiteral("^listening 1$")).hasMatch())
        return 0;
    return quint16(port.captured(1).toUInt());
}

qint64 Host::pid() const
{
    return const_cast<LineProcess &>(m_process).process().processId();
}

bool Host::running() const
{
    return const_cast<LineProcess &>(m_process).process().state() == QProcess::Running;
}

Host::Camera &Host::camera(int index)
{
    while (m_cameras.size() <= index)
        m_cameras.append(Camera());
    return m_cameras[index];
}

void Host::update()
{
    static const QRegularExpression cameraLine(QStringLiteral("^camera (\\d+) status=(\\S+) .* name=(.*)$"));
    static const QRegularExpression photoLine(QStringLiteral("^photo (\\d+) (\\S*) (.*)$"));
    static const QRegularExpression storedLine(QStringLiteral("^stored (\\d+) (\\d+) (.+)$"));
    const QStringList &lines = m_process.lines();
    for (; m_parsed < lines.size(); ++m_parsed) {
        const QString &line = lines.at(m_parsed);
        if (auto m = cameraLine.match(line); m.hasMatch()) {
            Camera &cam = camera(m.captured(1).toInt());
            cam.status = m.captured(2);
            cam.name = m.captured(3);
        } else if (auto m = photoLine.match(line); m.hasMatch()) {
            camera(m.captured(1).toInt()).photos.append({m.captured(3), m.captured(2)});
        } else if (auto m = storedLine.match(line); m.hasMatch()) {
            Camera &cam = camera(m.captured(1).toInt());
            const int photo = m.captured(2).toInt();
            if (photo < cam.photos.size())
                cam.photos[photo].storedPath = m.captured(3);
        }
    }
}

const QList<Host::Camera> &Host::cameras()
{
    update();
    return m_cameras;
}

int Host::photoCount()
{
    int n = 0;
    for (const Camera &cam : cameras())
        n += int(cam.photos.size());
    return n;
}

int Host::storedCount()
{
    return int(storedPaths().size());
}

QStringList Host::storedPaths()
{
    QStringList paths;
    for (const Camera &cam : cameras()) {
        for (const Photo &photo : cam.photos) {
            if (!photo.storedPath.isEmpty())
                paths.append(photo.storedPath);
        }
    }
    return paths;
}

double Host::longestStallMs()
{
    const int from = int(m_process.lines().size());
    m_process.write("stats");
    const auto m = m_process.waitForLine(QStringLiteral("^stats maxstall=([0-9.]+) "), 20000, from);
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

RawPeer::RawPeer(quint16 port)
{
    m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
}

bool RawPeer::waitConnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return connected(); }, timeoutMs);
}

void RawPeer::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
}

bool RawPeer::flush(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_socket.bytesToWrite() == 0; }, timeoutMs);
}

void RawPeer::close(bool reset)
{
    if (reset && m_socket.socketDescriptor() >= 0) {
        // Linger 0: close() then sends a RST instead of a FIN, as when a process is killed
        // with unread data or a network stack gives up.
        const struct linger lingerOff = {1, 0};
        ::setsockopt(int(m_socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &lingerOff, sizeof lingerOff);
        m_socket.abort();
    } else {
        m_socket.disconnectFromHost();
    }
}

QByteArray randomFileFrame(const QByteArray &name, int contentBytes, QString *hash)
{
    QByteArray content(contentBytes, Qt::Uninitialized);
    for (char &c : content)
        c = char(QRandomGenerator::global()->bounded(256));
    if (hash)
        *hash = sha256Hex(content);
    return frames::fileFrame(name, content);
}
