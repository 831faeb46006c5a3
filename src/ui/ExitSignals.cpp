#include "ExitSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = { SIGTERM, SIGINT };
int writeEnd = -1;

// Async-signal-safe only: one byte into the socket, and the default action back for the next.
void handle(int sig)
{
    const int saved = errno;
    const char byte = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(writeEnd, &byte, 1);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(sig, &dfl, nullptr);
    errno = saved;
}

} // namespace

ExitSignals::ExitSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0)
        return;
    writeEnd = m_fds[1];
    m_notifier = std::make_unique<QSocketNotifier>(m_fds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &ExitSignals::drain);
    struct sigaction action {};
    action.sa_handler = handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : kSignals)
        ::sigaction(sig, &action, nullptr);
}

ExitSignals::~ExitSignals()
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (const int sig : kSignals)
        ::sigaction(sig, &dfl, nullptr);
    writeEnd = -1;
    m_notifier.reset();
    for (const int fd : m_fds)
        if (fd >= 0)
            ::close(fd);
}

void ExitSignals::drain()
{
    char sig = 0;
    while (::read(m_fds[0], &sig, 1) == 1)
        emit received(int(sig));
}
