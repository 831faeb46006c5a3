#include "ingest/CaptureStorage.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

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

// base + suffix + "." + ext within kMaxNameBytes. A short extension is kept whole and the
// base is cut; an overlong one is cut together with the base, and the suffix goes last.
QString fitName(const QString &base, const QString &suffix, const QString &ext)
{
    const QByteArray b = base.toUtf8();
    const QByteArray s = suffix.toUtf8();
    const QByteArray tail = ext.isEmpty() ? QByteArray() : "." + ext.toUtf8();
    if (b.size() + s.size() + tail.size() <= kMaxNameBytes)
        return QString::fromUtf8(b + s + tail);
    if (tail.size() <= kMaxKeptExtensionBytes + 1)
        return QString::fromUtf8(cutUtf8(b, kMaxNameBytes - s.size() - tail.size()) + s + tail);
    return QString::fromUtf8(cutUtf8(b + tail, kMaxNameBytes - s.size()) + s);
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
    default:
        return StoreError::Other;
    }
}

StoreResult failure(int err)
{
    StoreResult r;
    r.error = classify(err);
    r.sysError = err;
    return r;
}

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    [[nodiscard]] int get() const { return m_fd; }
    void adopt(int fd)
    {
        reset();
        m_fd = fd;
    }
    // Closes the descriptor; returns the errno of a failing close, 0 otherwise.
    int reset()
    {
        int err = 0;
        if (m_fd >= 0 && ::close(m_fd) != 0)
            err = errno;
        m_fd = -1;
        return err;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

QByteArray randomTempName()
{
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name = ".halvane-XXXXXX.part";
    for (qsizetype i = 9; i < 15; ++i)
        name[i] = kAlphabet[QRandomGenerator::global()->bounded(int(sizeof kAlphabet - 1))];
    return name;
}

enum class Claim { Done, Taken, Failed };

// Moves `tmp` to `target` without ever replacing an item at `target`. Prefers the atomic
// no-replace rename; file systems without it get a hard link (which fails on an existing
// name) and, where links are not supported either, an exclusively created placeholder that
// the rename then replaces: only our own empty file can be replaced that way.
Claim claimName(int dirFd, const QByteArray &tmp, const QByteArray &target, int &err)
{
    if (::renameat2(dirFd, tmp.constData(), dirFd, target.constData(), RENAME_NOREPLACE) == 0)
        return Claim::Done;
    err = errno;
    if (err == EEXIST)
        return Claim::Taken;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP)
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

// Upper bound on names tried in one store, so that a folder that fills with new items as fast
// as we look cannot keep the main thread forever.
constexpr int kMaxClaimAttempts = 100000;

} // namespace

NameParts splitExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0 || dot == name.size() - 1)
        return {name, QString()};
    return {name.left(dot), name.mid(dot + 1)};
}

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
    const NameParts parts = splitExtension(safe);
    return fitName(parts.base, QString(), parts.ext);
}

QString numberedName(const QString &safeName, quint64 n)
{
    if (n == 0)
        return safeName;
    const NameParts parts = splitExtension(safeName);
    return fitName(parts.base, QLatin1Char('-') + QString::number(n), parts.ext);
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
    case StoreError::Other:
        break;
    }
    return "the file could not be written";
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
    Fd file;
    for (int attempt = 0; file.get() < 0; ++attempt) {
        tmp = randomTempName();
        file.adopt(::openat(dirFd.get(), tmp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (file.get() < 0 && (errno != EEXIST || attempt > 100))
            return failure(errno);
    }
    const auto discardTemp = [&](int err) {
        file.reset();
        ::unlinkat(dirFd.get(), tmp.constData(), 0);
        return failure(err);
    };

    // Durability: the file's data reach the disk before it gets its final name, so after a
    // power loss the name never shows a short or empty file; the directory is flushed after
    // the rename, so a photo reported as stored is still there after a power loss.
    if (!writeAll(file.get(), data) || ::fdatasync(file.get()) != 0)
        return discardTemp(errno);
    if (const int err = file.reset(); err != 0)
        return discardTemp(err);

    const QString safe = safeFileName(name);
    quint64 n = 0;
    for (int attempt = 0; attempt < kMaxClaimAttempts; ++attempt, ++n) {
        while (itemExistsAt(dirFd.get(), QFile::encodeName(numberedName(safe, n))))
            ++n;
        const QString candidate = numberedName(safe, n);
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
            continue;
        case Claim::Failed:
            return discardTemp(err);
        }
    }
    return discardTemp(EEXIST);
}

} // namespace capture
