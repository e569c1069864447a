#include "scanner/SocketTable.h"

#include "process/Descriptor.h"
#include "scanner/NetlinkDump.h"

#include <QDeadlineTimer>
#include <QFile>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int tcpListen = 10; // TCP_LISTEN in the kernel's numbering of states

QString timeLimitText(std::chrono::milliseconds limit) {
    return QStringLiteral("The kernel's socket table was not read within %1 seconds.")
        .arg(double(limit.count()) / 1000.0);
}

QString capText(qsizetype cap) {
    return QStringLiteral("The kernel's socket table holds more than %1 sockets; the rest were "
                          "not read.")
        .arg(cap);
}

struct Query {
    const char *protocol;
    quint8 ipProtocol;
    quint8 family;
    quint32 states;
};

constexpr Query queries[] = {
    {"TCP", IPPROTO_TCP, AF_INET, 1u << tcpListen},
    {"TCP", IPPROTO_TCP, AF_INET6, 1u << tcpListen},
    // lsof lists UDP sockets in every state: bound, connected, and so on.
    {"UDP", IPPROTO_UDP, AF_INET, ~0u},
    {"UDP", IPPROTO_UDP, AF_INET6, ~0u},
};

// One dump request and its answer, appended to sockets. Refused means the
// kernel answered the request itself with an error (no sock_diag for this
// family or protocol, or a filter that forbids it); Stopped, that the cap
// was reached.
NetlinkDump dump(int fd, const Query &query, const QDeadlineTimer &deadline, qsizetype cap,
                 QList<KernelSocket> &sockets) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = query.family * 256u + query.ipProtocol;
    message.request.sdiag_family = query.family;
    message.request.sdiag_protocol = query.ipProtocol;
    message.request.idiag_states = query.states;
    // The cgroup id (INET_DIAG_CGROUP_ID) comes with every answer where the
    // kernel keeps it (5.7 on, cgroup v2): it has no bit in idiag_ext to ask by.
    return netlinkDump(fd, &message, sizeof message, deadline, [&](const nlmsghdr &h) {
        if (h.nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            h.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            return true;
        const auto *msg = static_cast<const inet_diag_msg *>(NLMSG_DATA(&h));
        if (sockets.size() >= cap)
            return false;
        KernelSocket socket;
        socket.protocol = QString::fromLatin1(query.protocol);
        socket.ipv6 = msg->idiag_family == AF_INET6;
        socket.address = SocketTable::addressText(
            reinterpret_cast<const unsigned char *>(msg->id.idiag_src), socket.ipv6);
        socket.port = ntohs(msg->id.idiag_sport);
        socket.uid = msg->idiag_uid;
        socket.inode = msg->idiag_inode;
        socket.cookie = SocketTable::cookieOf(*msg);
        int attributesLength = int(h.nlmsg_len - NLMSG_LENGTH(sizeof(inet_diag_msg)));
        for (auto *a = reinterpret_cast<const rtattr *>(msg + 1); RTA_OK(a, attributesLength);
             a = RTA_NEXT(a, attributesLength)) {
            if (a->rta_type == INET_DIAG_CGROUP_ID && RTA_PAYLOAD(a) >= sizeof(quint64))
                std::memcpy(&socket.cgroupId, RTA_DATA(a), sizeof(quint64));
        }
        sockets.append(std::move(socket));
        return true;
    });
}

// What is left of a hex number of /proc/net; nothing unless all of text is hex.
std::optional<quint64> parseHex(QByteArrayView text) {
    if (text.isEmpty() || text.size() > 16)
        return std::nullopt;
    quint64 value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            return std::nullopt;
        value = value * 16 + quint64(digit);
    }
    return value;
}

std::optional<quint64> parseDecimalField(QByteArrayView text) {
    if (text.isEmpty() || text.size() > 19)
        return std::nullopt;
    quint64 value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + quint64(c - '0');
    }
    return value;
}

} // namespace

quint64 SocketTable::cookieOf(const inet_diag_msg &message) {
    return quint64(message.id.idiag_cookie[1]) << 32 | message.id.idiag_cookie[0];
}

QString SocketTable::addressText(const unsigned char *bytes, bool ipv6) {
    char text[INET6_ADDRSTRLEN] = {};
    if (!ipv6) {
        if (std::all_of(bytes, bytes + 4, [](unsigned char b) { return b == 0; }))
            return QStringLiteral("*");
        ::inet_ntop(AF_INET, bytes, text, sizeof text);
        return QString::fromLatin1(text);
    }
    static constexpr unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes, mappedPrefix, 12) == 0)
        return addressText(bytes + 12, false);
    if (std::all_of(bytes, bytes + 16, [](unsigned char b) { return b == 0; }))
        return QStringLiteral("*");
    ::inet_ntop(AF_INET6, bytes, text, sizeof text);
    return u'[' + QString::fromLatin1(text) + u']';
}

std::optional<KernelSocket> SocketTable::parseProcNetLine(QByteArrayView line, bool tcp,
                                                          bool ipv6) {
    // "  sl  local_address rem_address   st tx_queue:rx_queue tr:tm->when retrnsmt   uid  timeout
    // inode ..."
    QByteArrayView fields[10];
    int count = 0;
    qsizetype i = 0;
    while (count < 10) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        const qsizetype start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\n')
            ++i;
        fields[count++] = line.sliced(start, i - start);
    }
    if (count < 10 || !fields[0].endsWith(':'))
        return std::nullopt;
    const QByteArrayView local = fields[1];
    const qsizetype colon = local.indexOf(':');
    const qsizetype hexLength = ipv6 ? 32 : 8;
    if (colon != hexLength)
        return std::nullopt;
    const std::optional<quint64> port = parseHex(local.sliced(colon + 1));
    const std::optional<quint64> state = parseHex(fields[3]);
    const std::optional<quint64> uid = parseDecimalField(fields[7]);
    const std::optional<quint64> inode = parseDecimalField(fields[9]);
    if (!port || *port > 0xffff || !state || !uid || *uid > 0xffffffffu || !inode)
        return std::nullopt;
    if (tcp && *state != tcpListen)
        return std::nullopt;
    // The kernel prints each 32-bit word of the address as a number in host
    // byte order, so the word's bytes in memory are the address's bytes.
    unsigned char bytes[16];
    for (qsizetype w = 0; w < hexLength / 8; ++w) {
        const std::optional<quint64> word = parseHex(local.sliced(w * 8, 8));
        if (!word)
            return std::nullopt;
        const quint32 value = quint32(*word);
        std::memcpy(bytes + w * 4, &value, 4);
    }
    KernelSocket socket;
    socket.protocol = tcp ? QStringLiteral("TCP") : QStringLiteral("UDP");
    socket.ipv6 = ipv6;
    socket.address = addressText(bytes, ipv6);
    socket.port = quint16(*port);
    socket.uid = quint32(*uid);
    socket.inode = *inode;
    return socket;
}

int SocketTable::openNetlink(const OpenSocket &open) {
    return open ? open(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)
                : ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
}

SocketTableResult SocketTable::readNetlink(const Options &options) {
    SocketTableResult result;
    const QDeadlineTimer deadline(options.timeLimit);
    const UniqueFd fd(openNetlink(options.openSocket));
    if (fd.get() < 0) {
        result.errorText = QStringLiteral("Could not open the kernel's socket diagnostics: %1.")
                               .arg(qt_error_string(errno));
        return result;
    }
    for (const Query &query : queries) {
        switch (dump(fd.get(), query, deadline, options.cap, result.sockets)) {
        case NetlinkDump::Done:
            continue;
        case NetlinkDump::Refused:
        case NetlinkDump::Failed:
            // Half a table from netlink is no better than the whole from /proc/net.
            result.sockets.clear();
            result.errorText =
                QStringLiteral("The kernel's socket diagnostics refused the request.");
            return result;
        case NetlinkDump::TimedOut:
            result.source = SocketTableResult::Source::Netlink;
            result.errorText = timeLimitText(options.timeLimit);
            return result;
        case NetlinkDump::Stopped: // the cap reached
            result.source = SocketTableResult::Source::Netlink;
            result.errorText = capText(options.cap);
            return result;
        }
    }
    result.source = SocketTableResult::Source::Netlink;
    return result;
}

SocketTableResult SocketTable::readProcNet(const Options &options) {
    SocketTableResult result;
    const QDeadlineTimer deadline(options.timeLimit);
    struct Table {
        const char *name;
        bool tcp, ipv6;
    };
    static constexpr Table tables[] = {
        {"tcp", true, false}, {"tcp6", true, true}, {"udp", false, false}, {"udp6", false, true}};
    bool anyRead = false;
    for (const Table &table : tables) {
        QFile file(QFile::decodeName(options.procRoot + "/net/" + table.name));
        // A kernel without IPv6 has no tcp6 or udp6: that is no failure.
        if (!file.open(QIODevice::ReadOnly))
            continue;
        anyRead = true;
        char line[512];
        for (;;) {
            const qint64 n = file.readLine(line, sizeof line);
            if (n <= 0)
                break;
            if (deadline.hasExpired()) {
                result.source = SocketTableResult::Source::ProcNet;
                result.errorText = timeLimitText(options.timeLimit);
                return result;
            }
            std::optional<KernelSocket> socket =
                parseProcNetLine(QByteArrayView(line, n), table.tcp, table.ipv6);
            if (!socket)
                continue;
            if (result.sockets.size() >= options.cap) {
                result.source = SocketTableResult::Source::ProcNet;
                result.errorText = capText(options.cap);
                return result;
            }
            result.sockets.append(std::move(*socket));
        }
    }
    if (!anyRead) {
        result.errorText = QStringLiteral("Could not read the kernel's socket table.");
        return result;
    }
    result.source = SocketTableResult::Source::ProcNet;
    return result;
}

SocketTableResult SocketTable::read(const Options &options) {
    SocketTableResult result = readNetlink(options);
    if (result.source == SocketTableResult::Source::None)
        return readProcNet(options);
    return result;
}
