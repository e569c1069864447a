#include "scanner/NetlinkDump.h"

#include "process/Descriptor.h"

#include <cerrno>
#include <linux/netlink.h>
#include <sys/socket.h>

NetlinkDump netlinkDump(int fd, const void *request, std::size_t size,
                        const QDeadlineTimer &deadline,
                        const std::function<bool(const nlmsghdr &)> &onMessage) {
    const quint32 sequence = static_cast<const nlmsghdr *>(request)->nlmsg_seq;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, request, size, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) < 0)
        return errno == EPERM || errno == EACCES ? NetlinkDump::Refused : NetlinkDump::Failed;

    alignas(nlmsghdr) static thread_local char buffer[32768];
    for (;;) {
        switch (waitReadable(fd, deadline)) {
        case Readiness::Ready:
            break;
        case Readiness::TimedOut:
            return NetlinkDump::TimedOut;
        case Readiness::Failed:
            return NetlinkDump::Failed;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return NetlinkDump::Failed;
        int length = int(n);
        for (auto *h = reinterpret_cast<const nlmsghdr *>(buffer); NLMSG_OK(h, length);
             h = NLMSG_NEXT(h, length)) {
            if (h->nlmsg_seq != sequence)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return NetlinkDump::Done;
            if (h->nlmsg_type == NLMSG_ERROR)
                return NetlinkDump::Refused;
            if (!onMessage(*h))
                return NetlinkDump::Stopped;
        }
    }
}
