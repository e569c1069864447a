#include "scanner/SocketCloseWatch.h"

#include <QSocketNotifier>
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <linux/filter.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

namespace {

constexpr quint32 groupBit(int group) {
    return 1u << (group - 1);
}

// Where the filter looks in a destruction message: the kernel puts the
// protocol attribute first, right after the fixed part.
constexpr quint32 peerAddressAt = NLMSG_HDRLEN + offsetof(inet_diag_msg, id.idiag_dst);
constexpr quint32 attributeAt = NLMSG_LENGTH(sizeof(inet_diag_msg));
constexpr quint32 attributeTypeAt = attributeAt + offsetof(rtattr, rta_type);
constexpr quint32 protocolAt = attributeAt + RTA_LENGTH(0);

} // namespace

bool SocketCloseWatch::attachFilter(int fd) {
    // Jump targets, set to their offsets below.
    constexpr quint8 keep = 0xfe, drop = 0xff;
    // A load of two bytes reads them in network order; the attribute's type
    // is in the host's.
    const quint32 protocolType = ntohs(INET_DIAG_PROTOCOL);
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, protocolAt + 1, 0, keep),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, attributeTypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, protocolType, 0, keep),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, protocolAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_TCP, 0, keep),
    };
    // A listener never had a peer's address; a connection keeps it, even
    // when its own end reset it (which clears the peer's port).
    for (quint32 word = 0; word < 4; ++word) {
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, peerAddressAt + word * 4));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, drop));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0xffffffff));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    const size_t keepAt = code.size() - 2;
    for (size_t i = 0; i < code.size(); ++i) {
        if (code[i].jf == keep || code[i].jf == drop)
            code[i].jf = quint8((code[i].jf == keep ? keepAt : keepAt + 1) - i - 1);
    }
    const sock_fprog program{quint16(code.size()), code.data()};
    return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

SocketCloseWatch::SocketCloseWatch(QObject *parent)
    : SocketCloseWatch(Options{}, parent) {}

SocketCloseWatch::SocketCloseWatch(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_fd(SocketTable::openNetlink(m_options.openSocket)) {
    if (!m_fd.isValid())
        return;
    // Filtered before joining, so that nothing unfiltered is ever queued.
    if (options.kernelFilter)
        attachFilter(m_fd.get());
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = groupBit(SKNLGRP_INET_TCP_DESTROY) | groupBit(SKNLGRP_INET_UDP_DESTROY) |
                       groupBit(SKNLGRP_INET6_TCP_DESTROY) | groupBit(SKNLGRP_INET6_UDP_DESTROY);
    if (::bind(m_fd.get(), reinterpret_cast<sockaddr *>(&groups), sizeof groups) != 0) {
        m_fd = UniqueFd();
        return;
    }
    m_notifier = new QSocketNotifier(m_fd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SocketCloseWatch::readAll);
}

SocketCloseWatch::~SocketCloseWatch() {
    delete m_notifier; // before its descriptor closes
}

void SocketCloseWatch::stop() {
    delete m_notifier;
    m_notifier = nullptr;
    m_fd = UniqueFd();
    m_inodeOfCookie.clear();
}

void SocketCloseWatch::setInodes(QSet<quint64> inodes) {
    if (!isActive())
        return;
    SocketTable::Options options;
    options.openSocket = m_options.openSocket;
    const SocketTableResult table = SocketTable::readNetlink(options);
    if (table.source != SocketTableResult::Source::Netlink || table.errorText) {
        stop();
        return;
    }
    m_inodeOfCookie.clear();
    for (const KernelSocket &socket : table.sockets) {
        if (inodes.remove(socket.inode))
            m_inodeOfCookie.insert(socket.cookie, socket.inode);
    }
    if (!inodes.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [this, gone = inodes.values()] { emit closed(gone); }, Qt::QueuedConnection);
    }
}

// Everything queued, in batches of messages cut after their fixed part (all
// that is read of them), so that a burst costs a few calls.
void SocketCloseWatch::readAll() {
    constexpr int batch = 64;
    struct Slot {
        alignas(nlmsghdr) char bytes[NLMSG_LENGTH(sizeof(inet_diag_msg))];
    };
    Slot buffers[batch];
    iovec vectors[batch];
    mmsghdr messages[batch] = {};
    for (int i = 0; i < batch; ++i) {
        vectors[i] = {buffers[i].bytes, sizeof buffers[i].bytes};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    QList<quint64> gone;
    bool overran = false;
    for (;;) {
        const int n = ::recvmmsg(m_fd.get(), messages, batch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == ENOBUFS) {
                overran = true;
                continue;
            }
            break; // EAGAIN: all read
        }
        m_messagesRead += quint64(n);
        for (int i = 0; i < n; ++i) {
            const auto *header = reinterpret_cast<const nlmsghdr *>(buffers[i].bytes);
            if (messages[i].msg_len < sizeof buffers[i].bytes ||
                header->nlmsg_type != SOCK_DIAG_BY_FAMILY)
                continue;
            const auto *message = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
            const auto listed = m_inodeOfCookie.constFind(SocketTable::cookieOf(*message));
            if (listed == m_inodeOfCookie.cend())
                continue;
            gone.append(*listed);
            m_inodeOfCookie.erase(listed);
        }
        if (n < batch)
            break;
    }
    if (overran)
        emit overrun();
    if (!gone.isEmpty())
        emit closed(gone);
}
