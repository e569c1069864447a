#pragma once

#include "model/PortEntry.h"
#include "scanner/SocketTable.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QSet>
#include <optional>

class CgroupPaths;
class ProcessReader;

// Joins the kernel's socket table to lsof's records. A socket counts as
// lsof's when confirmHolders() gave it to a record; lsof cannot see the
// sockets of other users' processes, and those become rows of their own.
class KernelRows {
public:
    // selfUid: whose processes are searched for a socket lsof missed (the
    // caller's own, unless a test stands in for another user).
    // The proc file system is the reader's.
    KernelRows(const ProcessReader &reader, CgroupPaths &cgroups,
               std::optional<quint32> selfUid = std::nullopt);

    // Each record gets the inodes of its sockets and the uid of their owner
    // (which is not its user where a daemon bound as root and then changed
    // its user): the socket of its protocol, port, address and IP version,
    // and among several (SO_REUSEPORT) those its descriptors show, or else
    // those of its user.
    //
    // With a whole table (whole), a record whose process was read keeps its
    // identity only while the kernel still lists a socket of the record's
    // protocol, port and address and the process on its pid is the one lsof
    // saw: a pid that passed to another process since lsof listed it has no
    // identity, so nothing signals the newcomer. A process that started
    // before listedSince (lsof's start, in clock ticks after boot; 0 when
    // unknown) and is still there held its pid all through lsof's read, so
    // it is that one. Any other must hold the socket (in /proc/PID/fd or a
    // thread's fd table) and still have started at the time recorded.
    void confirmHolders(PortEntryList &records, const QList<KernelSocket> &sockets,
                        quint64 listedSince = 0, bool whole = true) const;

    // A row for every socket that no record accounts for, not yet folded.
    // Its pid (and name) only where certain: a process that acts as the
    // socket's owner and whose descriptors show the socket, so never where
    // they cannot be read (another user's, unless the viewer is root). That
    // is the user's own process that holds it, or the one process of the
    // socket's cgroup, or the one there that acts as the owner and whose
    // command line names the port (docker-proxy's does). The unit or
    // container comes from the cgroup. A socket of the kernel's own is
    // marked so (kernelHeld), without unit or container.
    // Its search for holders stops once budget has expired: the rows left
    // carry their owner and cgroup without a process, and cut (when given)
    // is set, so that a machine full of sockets or processes cannot hold the
    // listing up without bound.
    PortEntryList unattributed(const PortEntryList &records, const QList<KernelSocket> &sockets,
                               const QDeadlineTimer &budget = QDeadlineTimer::Forever,
                               bool *cut = nullptr) const;

    // Whether a command line names the port: an argument that is the number,
    // or ends in ":<port>" or "=<port>".
    static bool namesPort(const QStringList &commandLine, quint16 port);
    // The socket inodes in pid's descriptor table; with threads, those of
    // every thread's table as well.
    static QSet<quint64> socketInodes(const QByteArray &procRoot, qint32 pid, bool threads);
    // Every process's pid under procRoot ("/proc").
    static QList<qint32> allPids(const QByteArray &procRoot);

private:
    struct Search;
    // The process of the socket's cgroup that certainly holds it, or 0: the
    // only process of the cgroup, or the only one there that names its port,
    // acting as the socket's owner, its descriptors holding the socket. A
    // cgroup whose processes cannot all be known (the root, a large one) is
    // not searched, nor one of another user's socket but by root.
    qint32 cgroupHolder(const KernelSocket &socket, Search &search) const;
    // Marks the rows without a process whose socket is the kernel's own: one
    // on a port the kernel names (a tunnel's, lockd's, nfsd's), and for root,
    // who sees every process's descriptors, one that no process holds.
    void markKernelSockets(PortEntryList &rows, const QDeadlineTimer &budget) const;

    const ProcessReader &m_reader;
    CgroupPaths &m_cgroups;
    QByteArray m_procRoot;
    quint32 m_self;
};
