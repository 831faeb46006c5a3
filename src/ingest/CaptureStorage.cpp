#include "ingest/CaptureStorage.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>

#include <utility>

#include "ingest/PhotoText.h"
#include "ingest/PosixFile.h"

namespace capture {

namespace {

// Cuts UTF-8 text to at most `maxBytes`, never inside a multi-byte sequence.
QByteArray cutUtf8(const QByteArray &text, qsizetype maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    qsizetype end = std::max<qsizetype>(maxBytes, 0);
    while (end > 0 && (static_cast<uchar>(text.at(end)) & 0xC0) == 0x80)
        --end;
    return text.left(end);
}

// base + suffix + "." + ext within `maxBytes`. A short extension is kept whole and the base is
// cut; an overlong one is cut together with the base, and the suffix goes last.
QString fitName(const QString &base, const QString &suffix, const QString &ext, int maxBytes = kMaxNameBytes)
{
    const QByteArray b = base.toUtf8();
    const QByteArray s = suffix.toUtf8();
    const QByteArray tail = ext.isEmpty() ? QByteArray() : "." + ext.toUtf8();
    if (b.size() + s.size() + tail.size() <= maxBytes)
        return QString::fromUtf8(b + s + tail);
    if (tail.size() <= kMaxKeptExtensionBytes + 1)
        return QString::fromUtf8(cutUtf8(b, maxBytes - s.size() - tail.size()) + s + tail);
    return QString::fromUtf8(cutUtf8(b + tail, maxBytes - s.size()) + s);
}

bool itemExistsAt(int dirFd, const QByteArray &name)
{
    struct stat st {};
    // Any item counts, a dangling symbolic link included. A name that cannot be looked at is
    // tried anyway: the rename never replaces, so it fails safely if the name is taken.
    return fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

StoreError classify(int err)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return StoreError::FolderMissing;
    case EACCES:
    case EPERM:
    case EROFS:
        return StoreError::NotWritable;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return StoreError::DiskFull;
    case EILSEQ:
    case ENAMETOOLONG:
        return StoreError::NameRefused;
    default:
        return StoreError::Other;
    }
}


using posix::Fd;

constexpr char kTempPrefix[] = ".halvane-";
constexpr char kTempSuffix[] = ".part";
constexpr qsizetype kTempRandomChars = 6;
constexpr qsizetype kTempPrefixLength = sizeof kTempPrefix - 1;
constexpr qsizetype kTempNameLength = kTempPrefixLength + kTempRandomChars + qsizetype(sizeof kTempSuffix - 1);

QByteArray randomTempName()
{
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name = QByteArray(kTempPrefix) + QByteArray(kTempRandomChars, 'X') + kTempSuffix;
    for (qsizetype i = kTempPrefixLength; i < kTempPrefixLength + kTempRandomChars; ++i)
        name[i] = kAlphabet[QRandomGenerator::global()->bounded(int(sizeof kAlphabet - 1))];
    return name;
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Creates a new temporary file in `dirFd` and locks it for as long as the returned descriptor
// (or a duplicate of it) is open. A leftover sweep of another instance may remove the name
// between our create and our lock; the lock is then on a file that is no longer in the folder,
// and a new name is tried.
int createLockedTemp(int dirFd, QByteArray &tmp)
{
    for (int attempt = 0;; ++attempt) {
        tmp = randomTempName();
        const int fd = ::openat(dirFd, tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno != EEXIST || attempt > 100)
                return -1;
            continue;
        }
        // Where advisory locks are not supported the write goes ahead unlocked: a sweep never
        // removes a file it cannot lock itself.
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        struct stat own {};
        struct stat named {};
        if (::fstat(fd, &own) == 0 && ::fstatat(dirFd, tmp.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && sameFile(own, named))
            return fd;
        ::close(fd);
        if (attempt > 100) {
            errno = EEXIST;
            return -1;
        }
    }
}

enum class Claim { Done, Taken, Failed };

// Moves `tmp` to `target` without ever replacing an item at `target`. Prefers the atomic
// no-replace rename; file systems without it get a hard link (which fails on an existing
// name) and, where links are not supported either, an exclusively created placeholder that
// the rename then replaces: only our own empty file can be replaced that way.
Claim claimName(int dirFd, const QByteArray &tmp, const QByteArray &target, int &err)
{
    if (posix::renameNoReplace(dirFd, tmp.constData(), target.constData()) == 0)
        return Claim::Done;
    err = errno;
    if (err == EEXIST)
        return Claim::Taken;
    if (!posix::noReplaceUnsupported(err))
        return Claim::Failed;

    if (::linkat(dirFd, tmp.constData(), dirFd, target.constData(), 0) == 0) {
        ::unlinkat(dirFd, tmp.constData(), 0);
        return Claim::Done;
    }
    err = errno;
    if (err == EEXIST)
        return Claim::Taken;
    if (err != EPERM && err != ENOSYS && err != ENOTSUP && err != EOPNOTSUPP)
        return Claim::Failed;

    const int placeholder = ::openat(dirFd, target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (placeholder < 0) {
        err = errno;
        return err == EEXIST ? Claim::Taken : Claim::Failed;
    }
    ::close(placeholder);
    if (::renameat(dirFd, tmp.constData(), dirFd, target.constData()) == 0)
        return Claim::Done;
    err = errno;
    ::unlinkat(dirFd, target.constData(), 0);
    return Claim::Failed;
}

// Whether a failed claim means the file system refuses this name, not that the folder fails:
// the errors file systems give for characters or lengths they do not take, while the folder
// itself is still there (ENOENT is also what a removed folder gives).
bool nameRefused(int dirFd, int err)
{
    if (err != EINVAL && err != ENOENT && err != EILSEQ && err != ENAMETOOLONG)
        return false;
    struct stat st {};
    return ::fstat(dirFd, &st) == 0 && st.st_nlink > 0;
}

// The longest name the folder's file system takes, in bytes, within kMaxNameBytes.
int nameLimit(int dirFd)
{
    const long limit = ::fpathconf(dirFd, _PC_NAME_MAX);
    return limit > 0 && limit < kMaxNameBytes ? int(limit) : kMaxNameBytes;
}

// Upper bound on names tried in one store, so that a folder that fills with new items as fast
// as we look cannot keep the main thread forever.
constexpr int kMaxClaimAttempts = 100000;

} // namespace

QString safeFileName(const QString &name)
{
    QString safe;
    safe.reserve(name.size());
    const auto replacement = QLatin1Char('_');
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        if (c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate()) {
            safe.append(c);
            safe.append(name.at(++i));
            continue;
        }
        const char16_t u = c.unicode();
        const bool control = u < 0x20 || (u >= 0x7F && u <= 0x9F);
        const bool separator = u == u'/' || u == u'\\';
        safe.append(control || separator || c.isSurrogate() ? replacement : c);
    }
    for (qsizetype i = 0; i < safe.size() && safe.at(i) == QLatin1Char('.'); ++i)
        safe[i] = replacement;
    if (safe.isEmpty())
        safe = QLatin1String(kUnnamed);
    const PhotoText::NameParts parts = PhotoText::splitExtension(safe);
    return fitName(parts.base, QString(), parts.ext);
}

QString numberedName(const QString &safeName, quint64 n, int maxBytes)
{
    if (n == 0 && safeName.toUtf8().size() <= maxBytes)
        return safeName;
    const PhotoText::NameParts parts = PhotoText::splitExtension(safeName);
    return fitName(parts.base, n == 0 ? QString() : QLatin1Char('-') + QString::number(n), parts.ext, maxBytes);
}

QString portableFileName(const QString &safeName, int maxBytes)
{
    static const QString refused = QStringLiteral("\"*:<>?|");
    QString name = safeName;
    for (QChar &c : name)
        if (c.unicode() < 0x20 || refused.contains(c))
            c = QLatin1Char('_');
    // Cut first, then trimmed: a cut may end the name in a dot or a space again.
    const auto trimmed = [](QString text) {
        while (!text.isEmpty() && (text.endsWith(QLatin1Char('.')) || text.endsWith(QLatin1Char(' '))))
            text.chop(1);
        return text.isEmpty() ? QString::fromLatin1(kUnnamed) : text;
    };
    return trimmed(numberedName(trimmed(name), 0, maxBytes));
}

StoreResult failure(int err)
{
    StoreResult r;
    r.error = classify(err);
    r.sysError = err;
    return r;
}

const char *describe(StoreError error)
{
    switch (error) {
    case StoreError::None:
        return "stored";
    case StoreError::NoFolder:
        return "no capture folder chosen";
    case StoreError::FolderMissing:
        return "the capture folder does not exist";
    case StoreError::NotWritable:
        return "the capture folder is not writable";
    case StoreError::DiskFull:
        return "the disk is full";
    case StoreError::NameRefused:
        return "the folder's file system refuses the file name";
    case StoreError::Other:
        break;
    }
    return "the file could not be written";
}

bool isTemporaryName(const QByteArray &name)
{
    if (name.size() != kTempNameLength || !name.startsWith(kTempPrefix) || !name.endsWith(kTempSuffix))
        return false;
    for (qsizetype i = kTempPrefixLength; i < kTempPrefixLength + kTempRandomChars; ++i) {
        const char c = name.at(i);
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

int removeLeftovers(const QString &dir)
{
    const Fd dirFd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0)
        return 0;
    // The names first, then the removals: the directory is not changed while it is read.
    QList<QByteArray> candidates;
    {
        const int listFd = ::fcntl(dirFd.get(), F_DUPFD_CLOEXEC, 0);
        DIR *listing = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (!listing) {
            if (listFd >= 0)
                ::close(listFd);
            return 0;
        }
        while (const dirent *entry = ::readdir(listing)) {
            const QByteArray name(entry->d_name);
            if (isTemporaryName(name))
                candidates.append(name);
        }
        ::closedir(listing);
    }
    int removed = 0;
    for (const QByteArray &name : std::as_const(candidates)) {
        // Only a regular file, looked at without following links; opened without following
        // links and without blocking (a FIFO put there would otherwise hang the open), and
        // checked to be the file looked at.
        struct stat named {};
        if (::fstatat(dirFd.get(), name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode))
            continue;
        const Fd fd(::openat(dirFd.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat opened {};
        if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0 || !sameFile(named, opened))
            continue;
        // A writer (of this or another instance) holds its temporary file locked; a file we
        // cannot lock, for whatever reason, is left alone.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        struct stat still {};
        if (::fstatat(dirFd.get(), name.constData(), &still, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(still, opened)
            && ::unlinkat(dirFd.get(), name.constData(), 0) == 0)
            ++removed;
    }
    return removed;
}

QString firstFreePath(const QString &dir, const QString &name)
{
    const QString safe = safeFileName(name);
    const Fd dirFd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (quint64 n = 0;; ++n) {
        const QString candidate = numberedName(safe, n);
        // A folder that cannot be opened holds nothing that could be overwritten.
        if (dirFd.get() < 0 || !itemExistsAt(dirFd.get(), QFile::encodeName(candidate)))
            return QDir(dir).filePath(candidate);
    }
}

StoreResult storeFile(const QString &dir, const QString &name, const QByteArray &data,
                      const BeforeClaimHook &beforeClaim)
{
    if (dir.isEmpty()) {
        StoreResult r;
        r.error = StoreError::NoFolder;
        return r;
    }
    const Fd dirFd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0)
        return failure(errno);

    QByteArray tmp;
    Fd file(createLockedTemp(dirFd.get(), tmp));
    if (file.get() < 0)
        return failure(errno);
    // The lock lives with the open file, not with one descriptor: this duplicate keeps the
    // temporary file locked until it has its final name, while `file` is closed (and its close
    // checked) as soon as the data are written. Declared after dirFd, so closed before it.
    const Fd lock(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    if (lock.get() < 0) {
        const int err = errno;
        file.reset();
        ::unlinkat(dirFd.get(), tmp.constData(), 0);
        return failure(err);
    }
    const auto discardTemp = [&](int err) {
        file.reset();
        ::unlinkat(dirFd.get(), tmp.constData(), 0);
        return failure(err);
    };

    // Durability: the file's data reach the disk before it gets its final name, so after a
    // power loss the name never shows a short or empty file; the directory is flushed after
    // the rename, so a photo reported as stored is still there after a power loss.
    if (!posix::writeAll(file.get(), data) || ::fdatasync(file.get()) != 0)
        return discardTemp(errno);
    if (const int err = file.reset(); err != 0)
        return discardTemp(err);

    QString safe = safeFileName(name);
    int maxBytes = kMaxNameBytes;
    bool portable = false;
    quint64 n = 0;
    for (int attempt = 0; attempt < kMaxClaimAttempts; ++attempt) {
        while (itemExistsAt(dirFd.get(), QFile::encodeName(numberedName(safe, n, maxBytes))))
            ++n;
        const QString candidate = numberedName(safe, n, maxBytes);
        const QString path = QDir(dir).filePath(candidate);
        if (beforeClaim)
            beforeClaim(path);
        int err = 0;
        switch (claimName(dirFd.get(), tmp, QFile::encodeName(candidate), err)) {
        case Claim::Done: {
            StoreResult r;
            r.path = path;
            // The file is complete at its name; a failing directory flush is reported but the
            // file is not taken back.
            if (::fsync(dirFd.get()) != 0)
                r.sysError = errno;
            return r;
        }
        case Claim::Taken:
            // Someone else took the name between our look and the rename: try the next one.
            ++n;
            continue;
        case Claim::Failed:
            if (!nameRefused(dirFd.get(), err))
                return discardTemp(err);
            if (portable) {
                StoreResult refusedTwice = discardTemp(err);
                refusedTwice.error = StoreError::NameRefused;
                return refusedTwice;
            }
            // The folder works but does not take this name: its portable form, numbered anew.
            portable = true;
            maxBytes = nameLimit(dirFd.get());
            safe = portableFileName(safe, maxBytes);
            n = 0;
            continue;
        }
    }
    return discardTemp(EEXIST);
}

} // namespace capture
