#include "scanner/FreePorts.h"

#include "scanner/KernelRows.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::optional<quint16> portNumber(QByteArrayView text) {
    bool ok = false;
    const uint value = text.trimmed().toUInt(&ok);
    if (!ok || value > 65535)
        return std::nullopt;
    return quint16(value);
}

// "8000-8010,9000" (the reserved list) or "32768\t60999" (the ephemeral
// range, split by whitespace): closed ranges; nothing for what does not parse.
QList<std::pair<quint16, quint16>> parseRanges(QByteArrayView text, bool whitespacePair) {
    QList<std::pair<quint16, quint16>> ranges;
    if (whitespacePair) {
        const QList<QByteArray> fields = text.toByteArray().simplified().split(' ');
        const auto low = portNumber(fields.value(0)), high = portNumber(fields.value(1));
        if (fields.size() == 2 && low && high && *low <= *high)
            ranges.append({*low, *high});
        return ranges;
    }
    for (const QByteArray &item : text.toByteArray().trimmed().split(',')) {
        const qsizetype dash = item.indexOf('-');
        const auto low = portNumber(dash < 0 ? item : item.left(dash));
        const auto high = portNumber(dash < 0 ? item : item.mid(dash + 1));
        if (low && high && *low <= *high)
            ranges.append({*low, *high});
    }
    return ranges;
}

// Each socket inode of the processes whose descriptors can be read, and the
// pid holding it, read once on the first question.
class Holders {
public:
    std::optional<std::pair<qint32, QString>> of(quint64 inode) {
        if (!m_read)
            readAll();
        const auto it = m_pids.constFind(inode);
        if (it == m_pids.cend())
            return std::nullopt;
        QFile comm(QStringLiteral("/proc/%1/comm").arg(*it));
        if (!comm.open(QIODevice::ReadOnly))
            return std::nullopt;
        return std::pair{*it, QString::fromUtf8(comm.readAll().chopped(1))};
    }

private:
    void readAll() {
        m_read = true;
        for (const qint32 pid : KernelRows::allPids("/proc")) {
            for (const quint64 inode : KernelRows::socketInodes("/proc", pid, false))
                m_pids.insert(inode, pid);
        }
    }

    bool m_read = false;
    QHash<quint64, qint32> m_pids;
};

} // namespace

QString PortVerdict::key() const {
    switch (reason) {
    case Reason::Free:
        return QStringLiteral("free");
    case Reason::Held:
        return QStringLiteral("held");
    case Reason::HeldByOther:
        return QStringLiteral("held-by-other-user");
    case Reason::Published:
        return QStringLiteral("published");
    case Reason::Ephemeral:
        return QStringLiteral("ephemeral");
    case Reason::Reserved:
        return QStringLiteral("reserved");
    case Reason::Privileged:
        return QStringLiteral("privileged");
    case Reason::ProbeFailed:
        return QStringLiteral("probe-failed");
    }
    return {};
}

QString PortVerdict::text(bool withProtocol) const {
    const QString suffix =
        !withProtocol || protocol.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(protocol);
    switch (reason) {
    case Reason::Free:
        return QStringLiteral("free");
    case Reason::Held:
        return (pid > 0 ? QStringLiteral("held by PID %1 (%2)").arg(pid).arg(name)
                        : QStringLiteral("held by a process of yours")) +
               suffix;
    case Reason::HeldByOther:
        return QStringLiteral("held by another user's process") + suffix;
    case Reason::Published:
        return QStringLiteral("published by the container %1").arg(name) + suffix;
    case Reason::Ephemeral:
        return QStringLiteral("in the ephemeral range");
    case Reason::Reserved:
        return QStringLiteral("reserved");
    case Reason::Privileged:
        return QStringLiteral("privileged");
    case Reason::ProbeFailed:
        return QStringLiteral("the probe failed: %1")
                   .arg(QString::fromLocal8Bit(std::strerror(error))) +
               suffix;
    }
    return {};
}

int FreePorts::realProbe(int family, int type, quint16 port) {
    const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    const int on = 1;
    int error = 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (family == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0)) {
        error = errno;
    } else if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            error = errno;
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            error = errno;
    }
    ::close(fd);
    return error;
}

FreePorts::System FreePorts::System::real(QList<PublishedPort> published) {
    System system;
    system.table = SocketTable::read();
    system.readSetting = [](const char *name) {
        QFile file(QStringLiteral("/proc/sys/net/ipv4/") + QLatin1String(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    system.uid = ::getuid();
    system.published = std::move(published);
    system.probe = realProbe;
    system.holder = [holders = std::make_shared<Holders>()](quint64 inode) {
        return holders->of(inode);
    };
    return system;
}

FreePorts::FreePorts(System system, int protocols)
    : m_system(std::move(system))
    , m_protocols(protocols) {
    m_ephemeral = parseRanges(m_system.readSetting("ip_local_port_range"), true);
    if (m_ephemeral.isEmpty())
        m_ephemeral = {{32768, 60999}}; // the kernel's default
    m_reserved = parseRanges(m_system.readSetting("ip_local_reserved_ports"), false);
    if (const auto start = portNumber(m_system.readSetting("ip_unprivileged_port_start")))
        m_unprivilegedStart = *start;
    const QList<KernelSocket> &sockets = m_system.table.sockets;
    for (qsizetype i = 0; i < sockets.size(); ++i) {
        const bool tcp = sockets[i].protocol == u"TCP";
        if (m_protocols & (tcp ? Tcp : Udp))
            m_held.insert(sockets[i].port, i);
    }
}

bool FreePorts::inRanges(const QList<std::pair<quint16, quint16>> &ranges, quint16 port,
                         std::optional<quint16> askedFor) {
    const auto holds = [](const std::pair<quint16, quint16> &r, quint16 p) {
        return r.first <= p && p <= r.second;
    };
    return std::any_of(ranges.cbegin(), ranges.cend(), [&](const auto &r) {
        return holds(r, port) && !(askedFor && holds(r, *askedFor));
    });
}

PortVerdict FreePorts::check(quint16 port, std::optional<quint16> askedFor) const {
    PortVerdict verdict;
    verdict.port = port;
    // A container that publishes the port says most: its proxy, where it has
    // one, is merely the socket's holder.
    for (const PublishedPort &published : m_system.published) {
        if (published.port == port && (m_protocols & (published.protocol == u"UDP" ? Udp : Tcp))) {
            verdict.reason = PortVerdict::Reason::Published;
            verdict.name = published.container;
            verdict.protocol = published.protocol;
            return verdict;
        }
    }
    // The caller's own socket first, named by its process; another user's
    // only where none of the caller's holds the port.
    std::optional<PortVerdict> other;
    for (auto it = m_held.constFind(port); it != m_held.cend() && it.key() == port; ++it) {
        const KernelSocket &socket = m_system.table.sockets[*it];
        verdict.protocol = socket.protocol;
        if (socket.uid != m_system.uid && !privileged()) {
            verdict.reason = PortVerdict::Reason::HeldByOther;
            other = verdict;
            continue;
        }
        verdict.reason = PortVerdict::Reason::Held;
        if (const auto holder = m_system.holder ? m_system.holder(socket.inode) : std::nullopt) {
            verdict.pid = holder->first;
            verdict.name = holder->second;
            return verdict;
        }
        if (socket.uid == m_system.uid)
            return verdict;
        verdict.reason = PortVerdict::Reason::HeldByOther;
        other = verdict;
    }
    if (other)
        return *other;
    verdict.protocol.clear();
    if (port < m_unprivilegedStart && !privileged()) {
        verdict.reason = PortVerdict::Reason::Privileged;
        return verdict;
    }
    if (inRanges(m_ephemeral, port, askedFor)) {
        verdict.reason = PortVerdict::Reason::Ephemeral;
        return verdict;
    }
    if (inRanges(m_reserved, port, askedFor)) {
        verdict.reason = PortVerdict::Reason::Reserved;
        return verdict;
    }
    // A family the machine lacks is no reason to refuse; a port that no
    // family could be bound on is.
    int missing = 0;
    bool bound = false;
    for (const int type : {SOCK_STREAM, SOCK_DGRAM}) {
        if (!(m_protocols & (type == SOCK_STREAM ? Tcp : Udp)))
            continue;
        for (const int family : {AF_INET, AF_INET6}) {
            const int error = m_system.probe(family, type, port);
            if (error == 0) {
                bound = true;
            } else if (error == EAFNOSUPPORT || error == EADDRNOTAVAIL) {
                missing = error;
            } else {
                verdict.reason = PortVerdict::Reason::ProbeFailed;
                verdict.error = error;
                verdict.protocol =
                    type == SOCK_STREAM ? QStringLiteral("TCP") : QStringLiteral("UDP");
                return verdict;
            }
        }
    }
    if (!bound) {
        verdict.reason = PortVerdict::Reason::ProbeFailed;
        verdict.error = missing;
    }
    return verdict;
}

QList<PortVerdict> FreePorts::search(quint16 start, int count,
                                     std::optional<quint16> askedFor) const {
    QList<PortVerdict> verdicts;
    int found = 0;
    for (quint32 port = start; port <= 65535 && found < count; ++port) {
        verdicts.append(check(quint16(port), askedFor));
        found += verdicts.last().free();
    }
    return verdicts;
}
