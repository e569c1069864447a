#include "scanner/KernelPorts.h"

#include "process/Descriptor.h"
#include "scanner/NetlinkDump.h"

#include <QFile>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace {

// The attribute of each tunnel kind that carries its UDP port, in network
// byte order.
struct TunnelKind {
    const char *kind;
    unsigned short portAttribute;
};
constexpr TunnelKind tunnelKinds[] = {
    {"vxlan", IFLA_VXLAN_PORT},
    {"geneve", IFLA_GENEVE_PORT},
    {"bareudp", IFLA_BAREUDP_PORT},
};

const rtattr *findAttribute(const rtattr *first, int length, unsigned short type) {
    for (const rtattr *a = first; RTA_OK(a, length); a = RTA_NEXT(a, length)) {
        if ((a->rta_type & NLA_TYPE_MASK) == type)
            return a;
    }
    return nullptr;
}

QByteArray attributeText(const rtattr *a) {
    const auto *data = static_cast<const char *>(RTA_DATA(a));
    return QByteArray(data, qsizetype(::strnlen(data, RTA_PAYLOAD(a))));
}

// The tunnel port of one RTM_NEWLINK message, appended to ports.
void addTunnel(const nlmsghdr *h, QList<KernelPort> &ports) {
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return;
    const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    const auto *attributes = reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(info) +
                                                              NLMSG_ALIGN(sizeof(ifinfomsg)));
    const int length = int(h->nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg)));
    const rtattr *name = findAttribute(attributes, length, IFLA_IFNAME);
    const rtattr *linkInfo = findAttribute(attributes, length, IFLA_LINKINFO);
    if (!name || !linkInfo)
        return;
    const auto *nested = static_cast<const rtattr *>(RTA_DATA(linkInfo));
    const int nestedLength = int(RTA_PAYLOAD(linkInfo));
    const rtattr *kind = findAttribute(nested, nestedLength, IFLA_INFO_KIND);
    const rtattr *data = findAttribute(nested, nestedLength, IFLA_INFO_DATA);
    if (!kind || !data)
        return;
    const QByteArray kindText = attributeText(kind);
    for (const TunnelKind &tunnel : tunnelKinds) {
        if (kindText != tunnel.kind)
            continue;
        const rtattr *port = findAttribute(static_cast<const rtattr *>(RTA_DATA(data)),
                                           int(RTA_PAYLOAD(data)), tunnel.portAttribute);
        if (!port || RTA_PAYLOAD(port) < sizeof(quint16))
            return;
        quint16 networkOrder = 0;
        std::memcpy(&networkOrder, RTA_DATA(port), sizeof networkOrder);
        ports.append({QStringLiteral("UDP"), ntohs(networkOrder),
                      kindText + u' ' + QString::fromUtf8(attributeText(name))});
        return;
    }
}

// The first line of a small proc file, as a number; 0 where there is none.
quint16 portIn(const QByteArray &path) {
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return 0;
    bool ok = false;
    const uint port = file.readLine(16).trimmed().toUInt(&ok);
    return ok && port <= 65535 ? quint16(port) : 0;
}

} // namespace

QList<KernelPort> KernelPorts::tunnels(const QDeadlineTimer &deadline) {
    QList<KernelPort> ports;
    const UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!fd.isValid())
        return ports;
    struct {
        nlmsghdr header;
        ifinfomsg info;
        rtattr maskHeader;
        quint32 mask;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.info.ifi_family = AF_UNSPEC;
    // Without each link's statistics, most of the dump's bytes.
    request.maskHeader.rta_type = IFLA_EXT_MASK;
    request.maskHeader.rta_len = RTA_LENGTH(sizeof(quint32));
    request.mask = RTEXT_FILTER_SKIP_STATS;
    // Half a dump could miss the very tunnel asked about: all or nothing.
    const NetlinkDump result =
        netlinkDump(fd.get(), &request, sizeof request, deadline, [&ports](const nlmsghdr &h) {
            if (h.nlmsg_type == RTM_NEWLINK)
                addTunnel(&h, ports);
            return true;
        });
    return result == NetlinkDump::Done ? ports : QList<KernelPort>();
}

QList<KernelPort> KernelPorts::nfs(const QByteArray &procRoot) {
    QList<KernelPort> ports;
    const QString lockd = QStringLiteral("lockd");
    if (const quint16 port = portIn(procRoot + "/sys/fs/nfs/nlm_tcpport"))
        ports.append({QStringLiteral("TCP"), port, lockd});
    if (const quint16 port = portIn(procRoot + "/sys/fs/nfs/nlm_udpport"))
        ports.append({QStringLiteral("UDP"), port, lockd});
    // Readable by root alone on most systems; elsewhere nfsd's ports stay unnamed.
    QFile portList(QFile::decodeName(procRoot + "/fs/nfsd/portlist"));
    if (!portList.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return ports;
    for (const QByteArray &line : portList.read(4096).split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        bool ok = false;
        const uint port = fields.value(1).toUInt(&ok);
        const QByteArray transport = fields.value(0).toLower();
        if (fields.size() != 2 || !ok || port == 0 || port > 65535 ||
            (transport != "tcp" && transport != "udp"))
            continue; // rdma and the like hold no socket of the kernel's table
        ports.append(
            {QString::fromLatin1(transport.toUpper()), quint16(port), QStringLiteral("nfsd")});
    }
    return ports;
}

QList<KernelPort> KernelPorts::read(const QByteArray &procRoot, const QDeadlineTimer &deadline) {
    return tunnels(deadline) + nfs(procRoot);
}
