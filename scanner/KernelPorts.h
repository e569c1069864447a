#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

// A port on which the kernel itself holds a socket, and what for. No process
// holds such a socket, so nothing that signals processes can free the port.
struct KernelPort {
    QString protocol; // "TCP" or "UDP", as lsof names them
    quint16 port = 0;
    // What the socket serves: "vxlan vx0" (the interface's kind and name),
    // "lockd" or "nfsd".
    QString use;

    friend bool operator==(const KernelPort &, const KernelPort &) = default;
};

// The ports the kernel names as its own: tunnel interfaces' UDP ports from
// rtnetlink's link dump, which any user may read, and the NFS lock manager's
// and server's ports from the proc file system under procRoot (a test's tree,
// or "/proc"). WireGuard's listen port is not among them: only its generic
// netlink family tells it, and only to root.
namespace KernelPorts {
QList<KernelPort> read(const QByteArray &procRoot,
                       const QDeadlineTimer &deadline = QDeadlineTimer(1000));
// The UDP ports of VXLAN, Geneve and bare UDP interfaces; none where the
// dump cannot be read in time.
QList<KernelPort> tunnels(const QDeadlineTimer &deadline);
// lockd's ports (/proc/sys/fs/nfs/nlm_tcpport, nlm_udpport; 0 where it
// has none) and nfsd's (/proc/fs/nfsd/portlist: "tcp 2049" a line).
QList<KernelPort> nfs(const QByteArray &procRoot);
} // namespace KernelPorts
