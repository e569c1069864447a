#include "process/Descriptor.h"

#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

UniqueFd::~UniqueFd() {
    if (m_fd >= 0)
        ::close(m_fd);
}

int openPidFd(int pid) {
#ifdef SYS_pidfd_open
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    return fd >= 0 ? fd : -errno;
#else
    Q_UNUSED(pid);
    return -ENOSYS;
#endif
}

namespace {

// poll(2) on fd alone until it reports something or the deadline passes: its
// revents, 0 when the deadline passed, -1 when poll failed (errno set).
int pollUntil(int fd, short events, const QDeadlineTimer &deadline) {
    pollfd pfd{fd, events, 0};
    for (;;) {
        const qint64 left = deadline.remainingTime();
        const int rc = ::poll(&pfd, 1, left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX)));
        if (rc > 0)
            return pfd.revents;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

} // namespace

Readiness waitReadable(int fd, const QDeadlineTimer &deadline) {
    const int revents = pollUntil(fd, POLLIN, deadline);
    if (revents == 0)
        return Readiness::TimedOut;
    if (revents > 0 && (revents & (POLLIN | POLLHUP)))
        return Readiness::Ready;
    if (revents > 0)
        errno = EINVAL;
    return Readiness::Failed;
}

Readiness waitReady(int fd, short events, const QDeadlineTimer &deadline) {
    const int revents = pollUntil(fd, events, deadline);
    if (revents == 0)
        return Readiness::TimedOut;
    if (revents > 0 && (revents & POLLNVAL))
        errno = EBADF;
    return revents > 0 && !(revents & POLLNVAL) ? Readiness::Ready : Readiness::Failed;
}
