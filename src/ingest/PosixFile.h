#pragma once

#include <cerrno>
#include <unistd.h>

#include <QByteArray>

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

// Writes all of `size` bytes, going on after interruptions and short writes; false with errno
// set on failure.
inline bool writeAll(int fd, const char *p, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        size -= n;
    }
    return true;
}

inline bool writeAll(int fd, const QByteArray &data)
{
    return writeAll(fd, data.constData(), data.size());
}

} // namespace posix
