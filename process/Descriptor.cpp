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

Readiness waitReadable(int fd, const QDeadlineTimer &deadline) {
    pollfd pfd{fd, POLLIN, 0};
    for (;;) {
        const qint64 left = deadline.remainingTime();
        const int rc = ::poll(&pfd, 1, left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX)));
        if (rc > 0 && (pfd.revents & (POLLIN | POLLHUP)))
            return Readiness::Ready;
        if (rc > 0) {
            errno = EINVAL;
            return Readiness::Failed;
        }
        if (rc == 0)
            return Readiness::TimedOut;
        if (errno != EINTR)
            return Readiness::Failed;
    }
}
