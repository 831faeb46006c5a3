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
// The JSON line is a few hundred bytes; a longer one is not ours. Written headers keep to it
// too (write() cuts the names), so every pending photo this writes can be read back.
constexpr qsizetype kMaxHeader = 64 * 1024;
// A camera's name kept in a pending file when the header would be too long otherwise: the
// hello allows names far longer than anyone reads.
constexpr qsizetype kMaxKeptCameraName = 1024;
constexpr char kSuffix[] = ".pending";
constexpr char kTempPrefix[] = ".tmp-";
// The note beside a pending file being copied: the capture folder paths claimed for it, each
// ended by a NUL (a folder's path may hold any other byte).
constexpr char kNoteSuffix[] = ".stored";

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

// The header within kMaxHeader: names too long for it are cut (the photo's name to the name
// it is stored under, which is all a later run needs of it); nothing when even that is over.
std::optional<QByteArray> fittingHeader(const Meta &meta, qint64 size)
{
    // read() takes a line of fewer than kMaxHeader bytes, its newline included.
    const auto fits = [](const QByteArray &head) { return head.size() - kMagicLength < kMaxHeader; };
    if (QByteArray head = header(meta, size); fits(head))
        return head;
    Meta cut = meta;
    cut.name = capture::safeFileName(meta.name);
    cut.cameraName.truncate(kMaxKeptCameraName);
    if (!cut.cameraName.isEmpty() && cut.cameraName.back().isHighSurrogate())
        cut.cameraName.chop(1);
    if (QByteArray head = header(cut, size); fits(head))
        return head;
    return std::nullopt;
}

QString notePath(const QString &pendingPath)
{
    return pendingPath + QLatin1String(kNoteSuffix);
}

// Adds `path` to the note, flushed, before the store claims it.
void addToNote(const QString &note, const QString &path)
{
    const Fd fd(::open(QFile::encodeName(note).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (fd.get() >= 0 && posix::writeAll(fd.get(), path.toUtf8() + '\0'))
        ::fdatasync(fd.get());
}

// The path among those noted that holds exactly `data`; empty when none does.
QString notedCopy(const QString &note, const QByteArray &data)
{
    QFile file(note);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // A note names a handful of paths; a longer one is not ours.
    const QList<QByteArray> paths = file.read(kMaxHeader).split('\0');
    for (const QByteArray &path : paths) {
        const QFileInfo info(QString::fromUtf8(path));
        if (path.isEmpty() || !info.isFile() || info.isSymLink() || info.size() != data.size())
            continue;
        QFile copy(info.filePath());
        if (copy.open(QIODevice::ReadOnly) && copy.readAll() == data)
            return info.filePath();
    }
    return {};
}

bool removeAndFlush(const QString &path)
{
    if (::unlink(QFile::encodeName(path).constData()) != 0)
        return false;
    const Fd dirFd(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dirFd.get() >= 0 && ::fsync(dirFd.get()) == 0;
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
    const std::optional<QByteArray> head = fittingHeader(meta, data.size());
    const QByteArray name = fileName(meta);
    int err = head ? 0 : ENAMETOOLONG;
    if (err == 0
        && (!posix::writeAll(file.get(), *head) || !posix::writeAll(file.get(), data) || ::fdatasync(file.get()) != 0))
        err = errno;
    if (const int closeErr = file.reset(); err == 0)
        err = closeErr;
    if (err == 0 && posix::renameNoReplace(dirFd.get(), tmp.constData(), name.constData()) != 0) {
        err = errno;
        // Pending names are unique (arrival time, sequence, photo id), so where the file system
        // has no no-replace rename a plain one replaces nothing.
        if (posix::noReplaceUnsupported(err))
            err = ::renameat(dirFd.get(), tmp.constData(), dirFd.get(), name.constData()) == 0 ? 0 : errno;
    }
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
    photo.dataOffset = head->size();
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
        if (name.endsWith(QLatin1String(kNoteSuffix)) && !name.startsWith(QLatin1Char('.'))) {
            // The copy it notes finished and the pending file is gone: only the note was left.
            const QString pendingName = name.chopped(int(sizeof kNoteSuffix - 1));
            if (!names.contains(pendingName))
                QFile::remove(folder.filePath(name));
            continue;
        }
        if (!name.endsWith(QLatin1String(kSuffix)) || name.startsWith(QLatin1Char('.')))
            continue;
        const std::optional<Photo> photo = read(folder.filePath(name));
        if (!photo) {
            ++listing.unreadable;
            continue;
        }
        // Stopped between the copy and the removal of its pending file: the note finds the
        // copy, and the removal is finished now.
        const QString note = notePath(photo->path);
        if (QFileInfo::exists(note)) {
            const QString copy = notedCopy(note, readData(*photo));
            if (!copy.isEmpty() && removeAndFlush(photo->path)) {
                removeAndFlush(note);
                listing.alreadyStored.append(copy);
                continue;
            }
            removeAndFlush(note);
        }
        listing.photos.append(*photo);
    }
    return listing;
}

bool remove(const QString &path)
{
    return removeAndFlush(path);
}

MoveResult moveInto(const QString &folder, const Photo &photo, const StepHook &step)
{
    MoveResult result;
    const QByteArray data = readData(photo);
    if (data.isEmpty()) {
        result.stored = capture::failure(EIO);
        result.unreadable = true;
        return result;
    }
    const QString note = notePath(photo.path);
    result.stored = capture::storeFile(folder, photo.meta.name, data, [&](const QString &candidate) {
        addToNote(note, candidate);
        if (step)
            step(Step::Noted);
    });
    if (!result.stored.ok()) {
        ::unlink(QFile::encodeName(note).constData());
        return result;
    }
    if (step)
        step(Step::Stored);
    // The pending file first: while it is there, its note must be too.
    result.removed = removeAndFlush(photo.path);
    if (step)
        step(Step::Removed);
    if (result.removed)
        removeAndFlush(note);
    return result;
}

} // namespace pending
