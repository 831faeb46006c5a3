#include "ingest/PendingFolder.h"

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <algorithm>
#include <atomic>

#include "ingest/PosixFile.h"

namespace pending {

namespace {

using posix::Fd;

constexpr char kMagic[] = "HALVANE-PENDING 1\n";
constexpr qsizetype kMagicLength = sizeof kMagic - 1;
// The JSON line is a few hundred bytes; a longer one is not ours.
constexpr qsizetype kMaxHeader = 64 * 1024;
constexpr char kSuffix[] = ".pending";
constexpr char kTempPrefix[] = ".tmp-";

QByteArray header(const Meta &meta, qint64 size)
{
    const QJsonObject json {
        { QStringLiteral("id"), meta.id.toString(QUuid::WithoutBraces) },
        { QStringLiteral("name"), meta.name },
        { QStringLiteral("camera"), meta.cameraName },
        { QStringLiteral("arrived"), meta.arrived.toUTC().toString(Qt::ISODateWithMs) },
        { QStringLiteral("size"), size },
    };
    return kMagic + QJsonDocument(json).toJson(QJsonDocument::Compact) + '\n';
}

// Oldest first by name: the arrival time in milliseconds, zero-padded, then a sequence number
// that keeps photos of the same millisecond in order.
QByteArray fileName(const Meta &meta)
{
    static std::atomic<quint32> sequence { 0 };
    return QStringLiteral("%1-%2-%3")
               .arg(meta.arrived.toMSecsSinceEpoch(), 16, 10, QLatin1Char('0'))
               .arg(sequence++ % 100000000u, 8, 10, QLatin1Char('0'))
               .arg(meta.id.toString(QUuid::WithoutBraces))
               .toUtf8()
        + kSuffix;
}

QByteArray tempName()
{
    return kTempPrefix + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

bool syncDir(int dirFd)
{
    return ::fsync(dirFd) == 0;
}

} // namespace

QString defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/halvane/pending");
}

FolderLock::FolderLock(const QString &dir)
{
    if (!QDir().mkpath(dir)) {
        m_error = errno != 0 ? errno : EACCES;
        return;
    }
    // The photos are the user's: nobody else reads them.
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    const QByteArray lockPath = QFile::encodeName(dir + QStringLiteral("/.lock"));
    m_fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = errno;
        return;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno;
        ::close(m_fd);
        m_fd = -1;
    }
}

FolderLock::~FolderLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

WriteResult write(const QString &dir, const Meta &meta, const QByteArray &data)
{
    WriteResult result;
    const Fd dirFd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0) {
        result.error = capture::failure(errno);
        return result;
    }
    const QByteArray tmp = tempName();
    Fd file(::openat(dirFd.get(), tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        result.error = capture::failure(errno);
        return result;
    }
    const QByteArray head = header(meta, data.size());
    const QByteArray name = fileName(meta);
    int err = 0;
    if (!posix::writeAll(file.get(), head) || !posix::writeAll(file.get(), data) || ::fdatasync(file.get()) != 0)
        err = errno;
    if (const int closeErr = file.reset(); err == 0)
        err = closeErr;
    if (err == 0 && ::renameat2(dirFd.get(), tmp.constData(), dirFd.get(), name.constData(), RENAME_NOREPLACE) != 0)
        err = errno;
    if (err != 0) {
        ::unlinkat(dirFd.get(), tmp.constData(), 0);
        result.error = capture::failure(err);
        return result;
    }
    // Once the rename is on disk the photo is safe; a failing folder flush is not taken back.
    syncDir(dirFd.get());
    Photo photo;
    photo.path = QDir(dir).filePath(QString::fromUtf8(name));
    photo.meta = meta;
    photo.dataOffset = head.size();
    photo.size = data.size();
    result.photo = photo;
    return result;
}

std::optional<Photo> read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.read(kMagicLength) != QByteArray(kMagic))
        return std::nullopt;
    const QByteArray line = file.readLine(kMaxHeader);
    if (!line.endsWith('\n'))
        return std::nullopt;
    const QJsonObject json = QJsonDocument::fromJson(line).object();
    Photo photo;
    photo.path = path;
    photo.meta.id = QUuid::fromString(json.value(QStringLiteral("id")).toString());
    photo.meta.name = json.value(QStringLiteral("name")).toString();
    photo.meta.cameraName = json.value(QStringLiteral("camera")).toString();
    photo.meta.arrived = QDateTime::fromString(json.value(QStringLiteral("arrived")).toString(), Qt::ISODateWithMs);
    photo.dataOffset = kMagicLength + line.size();
    photo.size = json.value(QStringLiteral("size")).toInteger(-1);
    // The size must match exactly: a file that is longer or shorter is not what was written.
    if (photo.meta.id.isNull() || photo.size < 0 || file.size() != photo.dataOffset + photo.size)
        return std::nullopt;
    return photo;
}

QByteArray readData(const Photo &photo)
{
    QFile file(photo.path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != photo.dataOffset + photo.size
        || !file.seek(photo.dataOffset))
        return {};
    QByteArray data = file.read(photo.size);
    // An empty photo never reaches the folder, so empty always means "not read".
    return data.size() == photo.size ? data : QByteArray();
}

Listing scan(const QString &dir)
{
    Listing listing;
    QDir folder(dir);
    const QStringList names = folder.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &name : names) {
        if (name.startsWith(QLatin1String(kTempPrefix))) {
            if (QFile::remove(folder.filePath(name)))
                ++listing.removedTemporaries;
            continue;
        }
        if (!name.endsWith(QLatin1String(kSuffix)) || name.startsWith(QLatin1Char('.')))
            continue;
        if (const std::optional<Photo> photo = read(folder.filePath(name)))
            listing.photos.append(*photo);
        else
            ++listing.unreadable;
    }
    return listing;
}

bool remove(const QString &path)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        return false;
    const Fd dirFd(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dirFd.get() >= 0 && syncDir(dirFd.get());
}

QString storedCopy(const QString &dir, const QString &name, const QByteArray &data)
{
    const QString safe = capture::safeFileName(name);
    for (quint64 n = 0;; ++n) {
        const QString path = QDir(dir).filePath(capture::numberedName(safe, n));
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            return {};
        if (!info.isFile() || info.isSymLink() || info.size() != data.size())
            continue;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.readAll() == data)
            return path;
    }
}

} // namespace pending
