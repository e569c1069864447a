#pragma once

#include "scanner/ContainerEngine.h"
#include "scanner/SocketTable.h"

#include <QByteArray>
#include <QList>
#include <QMultiHash>
#include <QString>
#include <functional>
#include <optional>

// Whether one port is free to listen on, or why not.
struct PortVerdict {
    enum class Reason {
        Free,
        Held,        // a socket of the caller's (pid and name where found)
        HeldByOther, // a socket of another user's process
        Published,
        Ephemeral,
        Reserved,
        Privileged,
        ProbeFailed,
    };
    quint16 port = 0;
    Reason reason = Reason::Free;
    QString protocol; // the protocol the reason is about; empty for the port as a whole
    qint32 pid = 0;   // Held, where the process was found
    QString name;     // Held: the process's name; Published: the container's
    int error = 0;    // ProbeFailed: the errno of bind()

    bool free() const { return reason == Reason::Free; }
    // A short key for scripts: "free", "held", "held-by-other-user", ...
    QString key() const;
    // "held by PID 4242 (node)", "in the ephemeral range", ... (not escaped);
    // withProtocol adds " (UDP)" and the like where the reason is one
    // protocol's.
    QString text(bool withProtocol = false) const;
};

// The rule for a port that a new listener can take: nobody's socket holds
// it in either family, no container publishes it, the kernel will not hand it
// out to outgoing connections nor keeps it reserved, the caller may bind it,
// and a bind() on each family's wildcard succeeds now. Nothing holds it once
// answered: another program can take it a moment later.
class FreePorts {
public:
    enum Protocol { Tcp = 1, Udp = 2, Both = Tcp | Udp };

    // Everything the rule reads from the machine, replaced whole by tests.
    struct System {
        SocketTableResult table;
        // The text of a file under /proc/sys/net/ipv4/ ("ip_local_port_range",
        // "ip_local_reserved_ports", "ip_unprivileged_port_start"); empty
        // where it cannot be read.
        std::function<QByteArray(const char *name)> readSetting;
        quint32 uid = 0;
        QList<PublishedPort> published;
        // bind() of a socket of family and type with SO_REUSEADDR (and
        // IPV6_V6ONLY for AF_INET6) on the wildcard, closed at once: 0, or
        // the errno.
        std::function<int(int family, int type, quint16 port)> probe;
        // The pid and name of the caller's process that holds the socket
        // inode, where it can be found.
        std::function<std::optional<std::pair<qint32, QString>>(quint64 inode)> holder;

        // This machine's, as the caller sees it.
        static System real(QList<PublishedPort> published = {});
    };

    FreePorts(System system, int protocols);

    // The verdict on one port. askedFor: the port the user named; a range of
    // the ephemeral or the reserved ports that holds it does not count, as
    // the user chose to be there.
    PortVerdict check(quint16 port, std::optional<quint16> askedFor = std::nullopt) const;

    // Verdicts from start upward until count ports are free or 65535 was
    // passed; the ports passed over are among them.
    QList<PortVerdict> search(quint16 start, int count, std::optional<quint16> askedFor) const;

    quint16 unprivilegedStart() const { return m_unprivilegedStart; }
    bool privileged() const { return m_system.uid == 0; }
    // Where the socket table could not be read whole: why.
    const std::optional<QString> &tableError() const { return m_system.table.errorText; }

    static int realProbe(int family, int type, quint16 port);

private:
    // Whether a range holds port, but none that holds askedFor.
    static bool inRanges(const QList<std::pair<quint16, quint16>> &ranges, quint16 port,
                         std::optional<quint16> askedFor);

    System m_system;
    int m_protocols;
    QList<std::pair<quint16, quint16>> m_ephemeral;
    QList<std::pair<quint16, quint16>> m_reserved;
    quint16 m_unprivilegedStart = 1024;
    QMultiHash<quint16, qsizetype> m_held; // port -> index in the table
};
