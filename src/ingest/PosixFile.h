#pragma once

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>

#include <atomic>

// Small POSIX helpers shared by the writers of the capture folder and the pending folder.
namespace posix {

// An owned file descriptor.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    [[nodiscard]] int get() const { return m_fd; }
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

// A write that takes no bytes at all is tried again this many times before it counts as an
// error: some FUSE file systems answer 0 for a moment, and others for ever, which would
// otherwise keep the writer (and the cameras and the exit waiting on it) spinning.
inline constexpr int kMaxEmptyWrites = 16;

// Writes all of `size` bytes with `write` (::write or a stand-in), going on after interruptions
// and short writes; false with errno set on failure (EIO for a write that keeps taking nothing).
template<typename Write>
bool writeAllWith(Write write, int fd, const char *p, qsizetype size)
{
    int empty = 0;
    while (size > 0) {
        const ssize_t n = write(fd, p, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            if (++empty > kMaxEmptyWrites) {
                errno = EIO;
                return false;
            }
            continue;
        }
        empty = 0;
        p += n;
        size -= n;
    }
    return true;
}

inline bool writeAll(int fd, const QByteArray &data)
{
    return writeAllWith(::write, fd, data.constData(), data.size());
}

// Test seam: when set, it is asked before each no-replace rename with the target name, and a
// non-zero errno it returns is what the rename fails with (a file system that refuses a name,
// or one without the no-replace rename). Called on the writing thread.
using RenameFault = int (*)(const char *target);
inline std::atomic<RenameFault> renameFault { nullptr };

// Renames within `dirFd` without ever replacing an item at `to`; -1 with errno on failure.
inline int renameNoReplace(int dirFd, const char *from, const char *to)
{
    if (const RenameFault fault = renameFault.load()) {
        if (const int err = fault(to); err != 0) {
            errno = err;
            return -1;
        }
    }
    return ::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE);
}

// Whether a failed no-replace rename means only that the file system lacks it (NFS, eCryptfs,
// FUSE file systems).
inline bool noReplaceUnsupported(int err)
{
    return err == EINVAL || err == ENOSYS || err == ENOTSUP || err == EOPNOTSUPP;
}

} // namespace posix
