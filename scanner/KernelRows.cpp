#include "scanner/KernelRows.h"

#include "model/DisplayText.h"
#include "process/ProcStat.h"
#include "process/SystemCalls.h"
#include "scanner/CgroupPaths.h"
#include "scanner/KernelPorts.h"
#include "scanner/ProcessReader.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A local end: protocol, port and address.
struct Endpoint {
    QString protocol;
    qint64 port = 0;
    QString address;
    friend bool operator==(const Endpoint &, const Endpoint &) = default;
};

size_t qHash(const Endpoint &key, size_t seed = 0) noexcept {
    return qHashMulti(seed, key.protocol, key.port, key.address);
}

// Login names by uid, each looked up once.
class UserNames {
public:
    const QString &of(quint32 uid) {
        auto it = m_names.find(uid);
        if (it == m_names.end())
            it = m_names.insert(uid, loginNameOf(uid));
        return *it;
    }

private:
    QHash<quint32, QString> m_names;
};

// The sockets of an IP version ("IPv4", "IPv6"); all where the version is
// unknown or none has it (lsof may call an IPv4-mapped socket either).
QList<const KernelSocket *> ofVersion(const QList<const KernelSocket *> &sockets,
                                      const QString &ipVersion) {
    const bool ipv6 = ipVersion == u"IPv6";
    if (!ipv6 && ipVersion != u"IPv4")
        return sockets;
    QList<const KernelSocket *> of;
    for (const KernelSocket *s : sockets) {
        if (s->ipv6 == ipv6)
            of.append(s);
    }
    return of.isEmpty() ? sockets : of;
}

QList<const KernelSocket *> ownedBy(const QList<const KernelSocket *> &sockets, const QString &user,
                                    UserNames &names) {
    QList<const KernelSocket *> owned;
    for (const KernelSocket *s : sockets) {
        if (names.of(s->uid) == user)
            owned.append(s);
    }
    return owned;
}

// Parses "socket:[12345]"; 0 for anything else.
quint64 socketInode(const char *link, ssize_t length) {
    static constexpr char prefix[] = "socket:[";
    constexpr ssize_t prefixLength = sizeof prefix - 1;
    if (length <= prefixLength + 1 || std::memcmp(link, prefix, prefixLength) != 0 ||
        link[length - 1] != ']')
        return 0;
    quint64 inode = 0;
    for (ssize_t i = prefixLength; i < length - 1; ++i) {
        if (link[i] < '0' || link[i] > '9')
            return 0;
        inode = inode * 10 + quint64(link[i] - '0');
    }
    return inode;
}

// false where the table could not be read (another user's, say).
bool addSocketsOf(const QByteArray &fdDir, QSet<quint64> &inodes) {
    DIR *dir = ::opendir(fdDir.constData());
    if (!dir)
        return false;
    const int dirFd = ::dirfd(dir);
    char link[64];
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const ssize_t n = ::readlinkat(dirFd, entry->d_name, link, sizeof link);
        if (const quint64 inode = n > 0 ? socketInode(link, n) : 0)
            inodes.insert(inode);
    }
    ::closedir(dir);
    return true;
}

std::optional<uid_t> ownerOf(const QByteArray &procRoot, qint32 pid) {
    struct stat st {};
    if (::stat((procRoot + '/' + QByteArray::number(pid)).constData(), &st) != 0)
        return std::nullopt;
    return st.st_uid;
}

// The effective uid on the "Uid:" line of /proc/PID/status. Unlike the owner
// of /proc/PID, which turns to root for a process that may not dump core (one
// that changed its credentials), it is the uid the process acts as.
std::optional<quint32> effectiveUidOf(const QByteArray &procRoot, qint32 pid) {
    QFile file(QFile::decodeName(procRoot + '/' + QByteArray::number(pid) + "/status"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return std::nullopt;
    const QByteArray status = file.read(16384);
    const qsizetype at = status.startsWith("Uid:") ? 0 : status.indexOf("\nUid:");
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + (at == 0 ? 4 : 5);
    const qsizetype end = status.indexOf('\n', start);
    const QList<QByteArray> uids =
        status.mid(start, end < 0 ? -1 : end - start).simplified().split(' ');
    bool ok = false;
    const quint32 uid = uids.value(1).toUInt(&ok);
    return ok ? std::optional<quint32>(uid) : std::nullopt;
}

} // namespace

KernelRows::KernelRows(const ProcessReader &reader, CgroupPaths &cgroups,
                       std::optional<quint32> selfUid)
    : m_reader(reader)
    , m_cgroups(cgroups)
    , m_procRoot(reader.procRoot())
    , m_self(selfUid.value_or(quint32(::getuid()))) {}

bool KernelRows::namesPort(const QStringList &commandLine, quint16 port) {
    const QString number = QString::number(port);
    for (qsizetype i = 1; i < commandLine.size(); ++i) {
        const QString &argument = commandLine[i];
        if (argument == number)
            return true;
        if (argument.endsWith(number) && argument.size() > number.size()) {
            const QChar before = argument[argument.size() - number.size() - 1];
            if (before == u':' || before == u'=')
                return true;
        }
    }
    return false;
}

QList<qint32> KernelRows::allPids(const QByteArray &procRoot) {
    QList<qint32> pids;
    DIR *dir = ::opendir(procRoot.constData());
    if (!dir)
        return pids;
    while (const dirent *entry = ::readdir(dir)) {
        bool ok = false;
        const qint32 pid = QByteArray(entry->d_name).toInt(&ok);
        if (ok && pid > 0)
            pids.append(pid);
    }
    ::closedir(dir);
    return pids;
}

QSet<quint64> KernelRows::socketInodes(const QByteArray &procRoot, qint32 pid, bool threads) {
    QSet<quint64> inodes;
    const QByteArray base = procRoot + '/' + QByteArray::number(pid);
    addSocketsOf(base + "/fd", inodes);
    if (!threads)
        return inodes;
    DIR *tasks = ::opendir((base + "/task").constData());
    if (!tasks)
        return inodes;
    while (const dirent *entry = ::readdir(tasks)) {
        if (entry->d_name[0] != '.')
            addSocketsOf(base + "/task/" + entry->d_name + "/fd", inodes);
    }
    ::closedir(tasks);
    return inodes;
}

void KernelRows::confirmHolders(PortEntryList &records, const QList<KernelSocket> &sockets,
                                quint64 listedSince, bool whole) const {
    QHash<Endpoint, QList<const KernelSocket *>> byEndpoint;
    byEndpoint.reserve(sockets.size());
    for (const KernelSocket &s : sockets)
        byEndpoint[{s.protocol, s.port, s.address}].append(&s);

    struct Pid {
        bool holds = true;         // every record of the pid so far
        bool looked = false;       // its descriptors were read
        quint64 recordedTicks = 0; // the start time read after lsof returned
        std::optional<QSet<quint64>> held;
        bool threadsRead = false;
    };
    QHash<qint32, Pid> pids;
    // Those of the sockets that the pid's descriptors show; the tables of its
    // threads are read only where the main one shows none (a leader that
    // exited leaves its descriptors to the other threads).
    const auto heldOf = [&](qint32 number, Pid &pid, const QList<const KernelSocket *> &of) {
        if (!pid.held)
            pid.held = socketInodes(m_procRoot, number, false);
        const auto found = [&] {
            QList<const KernelSocket *> in;
            for (const KernelSocket *s : of) {
                if (pid.held->contains(s->inode))
                    in.append(s);
            }
            return in;
        };
        QList<const KernelSocket *> in = found();
        if (in.isEmpty() && !pid.threadsRead) {
            *pid.held += socketInodes(m_procRoot, number, true);
            pid.threadsRead = true;
            in = found();
        }
        return in;
    };
    UserNames names;
    for (PortEntry &record : records) {
        const auto candidates =
            byEndpoint.constFind({record.networkProtocol, record.port, record.address});
        if (candidates != byEndpoint.cend()) {
            // The record's sockets: the one of its endpoint and IP version;
            // among several (SO_REUSEPORT), those its descriptors show, else
            // those of its user. Its user may differ from the socket's owner
            // (a daemon that bound as root and then changed its user), which
            // its descriptors then confirm: the socket lsof saw may have
            // closed, and another user's taken its place.
            QList<const KernelSocket *> own = ofVersion(*candidates, record.ipVersion);
            if (record.process.isKnown() &&
                (own.size() > 1 || names.of(own.front()->uid) != record.user)) {
                const QList<const KernelSocket *> held = heldOf(record.pid, pids[record.pid], own);
                own = held.isEmpty() ? ownedBy(own, record.user, names) : held;
            } else if (own.size() > 1) {
                own = ownedBy(own, record.user, names);
            }
            for (const KernelSocket *s : std::as_const(own))
                record.inodes.append(s->inode);
            record.uid = (own.isEmpty() ? candidates->front() : own.front())->uid;
        }
        if (!record.process.isKnown() || !whole)
            continue;
        Pid &pid = pids[record.pid];
        pid.recordedTicks = record.process.startTicks;
        if (!pid.holds)
            continue;
        if (candidates == byEndpoint.cend()) {
            pid.holds = false;
            continue;
        }
        // Its start time was read after lsof returned: from before lsof's
        // start, it is the process lsof listed. Long-running servers, nearly
        // all of them, need no look at their descriptors.
        if (record.process.startTicks != 0 && record.process.startTicks < listedSince)
            continue;
        pid.looked = true;
        pid.holds = !heldOf(record.pid, pid, *candidates).isEmpty();
    }
    if (!whole)
        return;
    // The descriptors were read after the start time: a pid that held the
    // socket and still started then is the process lsof listed.
    for (auto it = pids.begin(); it != pids.end(); ++it) {
        if (!it->holds || !it->looked)
            continue;
        const std::optional<ProcessStat> stat = StatReader(m_procRoot).read(it.key()).stat;
        it->holds = stat && stat->startTicks == it->recordedTicks;
    }
    for (PortEntry &record : records) {
        if (record.process.isKnown() && !pids.value(record.pid).holds)
            record.process = ProcessInfo{};
    }
}

// What one search for holders has read, each file once: the twins of a
// socket and the other sockets of a service share their cgroup.
struct KernelRows::Search {
    QHash<quint64, std::optional<QList<qint32>>> members; // by cgroup id
    struct Process {
        std::optional<quint32> uid;
        QStringList commandLine;
    };
    QHash<qint32, Process> processes;
};

qint32 KernelRows::cgroupHolder(const KernelSocket &s, Search &search) const {
    // Only root may read the descriptors of another user's processes: for
    // anyone else, no process of another user's socket is certain, and
    // none is looked for.
    if (s.cgroupId == 0 || (m_self != 0 && s.uid != m_self))
        return 0;
    auto members = search.members.find(s.cgroupId);
    if (members == search.members.end())
        members = search.members.insert(s.cgroupId, m_cgroups.processesOf(s.cgroupId));
    if (!*members || (*members)->isEmpty())
        return 0;
    const bool alone = (*members)->size() == 1;
    qint32 holder = 0;
    for (qint32 member : std::as_const(**members)) {
        auto process = search.processes.find(member);
        if (process == search.processes.end()) {
            Search::Process read;
            read.uid = effectiveUidOf(m_procRoot, member);
            if (read.uid && !alone)
                read.commandLine = m_reader.commandLine(member, 1 << 16);
            process = search.processes.insert(member, std::move(read));
        }
        // A process of another user is never the holder of the socket's
        // owner, however alone in the cgroup: the socket may have been
        // handed to it.
        if (process->uid != s.uid || (!alone && !namesPort(process->commandLine, s.port)))
            continue;
        if (holder != 0)
            return 0; // two name it: neither is certain
        holder = member;
    }
    if (holder == 0)
        return 0;
    // The socket may have passed to a process elsewhere (a descriptor sent
    // over a unix socket, a process moved to another cgroup): the holder's
    // descriptors must show it, and where they cannot be read, it is no
    // holder.
    return socketInodes(m_procRoot, holder, false).contains(s.inode) ||
                   socketInodes(m_procRoot, holder, true).contains(s.inode)
               ? holder
               : 0;
}

PortEntryList KernelRows::unattributed(const PortEntryList &records,
                                       const QList<KernelSocket> &sockets,
                                       const QDeadlineTimer &budget, bool *cut) const {
    // The sockets confirmHolders() gave to lsof's records.
    QSet<quint64> listed;
    for (const PortEntry &r : records) {
        for (quint64 inode : r.inodes)
            listed.insert(inode);
    }
    UserNames names;

    // The user's own processes by the sockets they hold, read only when one
    // of the user's sockets is missing from lsof's list. lsof reads every
    // descriptor table of the user's processes, so what it misses is held
    // where the main thread has exited (a zombie leader) and other threads
    // keep the table: only those are read. An inode looked for in vain is
    // not looked for again (it names that socket as long as it lives).
    const quint32 self = m_self;
    std::optional<QHash<quint64, qint32>> ownHolders;
    const auto ownHolder = [&](quint64 inode) -> qint32 {
        static QMutex mutex;
        static QSet<quint64> notFound;
        {
            QMutexLocker lock(&mutex);
            if (notFound.contains(inode))
                return 0;
        }
        if (!ownHolders) {
            ownHolders.emplace();
            for (qint32 pid : allPids(m_procRoot)) {
                if (ownerOf(m_procRoot, pid) != self)
                    continue;
                const std::optional<ProcessStat> stat = StatReader(m_procRoot).read(pid).stat;
                // The owner of /proc/PID turns to root for a process that
                // changed its user: the uid it acts as decides.
                if (!stat || stat->state != 'Z' || effectiveUidOf(m_procRoot, pid) != self)
                    continue;
                for (quint64 held : socketInodes(m_procRoot, pid, true))
                    ownHolders->insert(held, pid);
            }
        }
        const qint32 pid = ownHolders->value(inode, 0);
        if (pid == 0) {
            QMutexLocker lock(&mutex);
            if (notFound.size() > 100000)
                notFound.clear();
            notFound.insert(inode);
        }
        return pid;
    };

    QList<const KernelSocket *> unlisted;
    QSet<quint64> cgroupIds;
    for (const KernelSocket &s : sockets) {
        if (!listed.contains(s.inode)) {
            unlisted.append(&s);
            cgroupIds.insert(s.cgroupId);
        }
    }
    // Every cgroup of these sockets with one walk of the tree at most: one
    // walk for each cgroup removed since its socket was made would cost the
    // product of the two.
    m_cgroups.find(cgroupIds);

    Search search;
    PortEntryList rows;
    for (const KernelSocket *unlistedSocket : std::as_const(unlisted)) {
        const KernelSocket &s = *unlistedSocket;
        const QString &user = names.of(s.uid);
        PortEntry row(0, QString(), user, s.protocol,
                      s.ipv6 ? QStringLiteral("IPv6") : QStringLiteral("IPv4"), s.address, s.port,
                      s.protocol == u"TCP" ? QStringLiteral("LISTEN") : QString());
        row.fromKernel = true;
        row.uid = s.uid;
        row.cgroupId = s.cgroupId;
        row.inodes = {s.inode};

        qint32 pid = 0;
        if (budget.hasExpired()) {
            if (cut)
                *cut = true;
        } else {
            if (s.uid == self)
                pid = ownHolder(s.inode);
            if (pid == 0)
                pid = cgroupHolder(s, search);
        }
        if (pid > 0) {
            if (const std::optional<ProcessStat> stat = StatReader(m_procRoot).read(pid).stat) {
                row.pid = pid;
                row.processName = utf8Text(stat->comm);
                row.process = m_reader.read(pid, row.processName);
                row.process.uid = s.uid; // the holder acts as the socket's owner
            }
        }
        if (row.process.unit.isEmpty() && row.process.container.isEmpty()) {
            const QByteArray path = m_cgroups.pathOf(s.cgroupId);
            if (!path.isEmpty()) {
                const ProcessReader::CgroupPlace place =
                    ProcessReader::parseCgroup(QByteArray("0::" + path + '\n'));
                row.process.unit = place.unit;
                row.process.userUnit = place.userUnit;
                row.process.userManagerUid = place.userManagerUid;
                row.process.container = place.container;
                row.process.containerTool = place.containerTool;
            }
        }
        rows.append(std::move(row));
    }
    markKernelSockets(rows, budget);
    return rows;
}

void KernelRows::markKernelSockets(PortEntryList &rows, const QDeadlineTimer &budget) const {
    QList<PortEntry *> unheld;
    for (PortEntry &row : rows) {
        if (row.pid == 0)
            unheld.append(&row);
    }
    // Most listings have a process for every row: they read nothing more.
    if (unheld.isEmpty() || budget.hasExpired())
        return;
    const auto mark = [](PortEntry &row, const QString &use) {
        row.kernelHeld = true;
        row.kernelUse = use;
        // The cgroup of a kernel socket is that of whoever made it (the
        // shell that ran "ip link add"): no unit or container of the port's.
        row.process = ProcessInfo{};
    };
    // The ports the kernel names are its own for every viewer: no process may
    // bind them while the kernel holds them, and its sockets are root's.
    const QList<KernelPort> named = KernelPorts::read(m_procRoot);
    QList<PortEntry *> unnamed;
    for (PortEntry *row : std::as_const(unheld)) {
        const auto it = std::find_if(named.cbegin(), named.cend(), [&](const KernelPort &p) {
            return p.port == row->port && p.protocol == row->networkProtocol;
        });
        if (row->uid == 0 && it != named.cend())
            mark(*row, it->use);
        else
            unnamed.append(row);
    }
    // Root sees every process's descriptors: a socket in none of them is the
    // kernel's. Anyone else cannot tell it from another user's.
    if (m_self != 0 || unnamed.isEmpty())
        return;
    // An inode found in no descriptor stays so: the kernel hands its own
    // sockets to no process. Each is looked for once while it lives.
    static QMutex mutex;
    static QSet<std::pair<QByteArray, quint64>> kernelInodes; // by proc file system
    QSet<quint64> wanted;
    {
        QMutexLocker lock(&mutex);
        for (PortEntry *row : std::as_const(unnamed)) {
            const quint64 inode = row->inodes.value(0);
            if (inode != 0 && !kernelInodes.contains({m_procRoot, inode}))
                wanted.insert(inode);
        }
    }
    for (qint32 pid : wanted.isEmpty() ? QList<qint32>() : allPids(m_procRoot)) {
        if (budget.hasExpired())
            return; // not every process was looked at: nothing is certain
        // A table that cannot be read, of a process that is still there, may
        // hold any of them.
        const QByteArray base = m_procRoot + '/' + QByteArray::number(pid);
        QSet<quint64> held;
        if (!addSocketsOf(base + "/fd", held) && ::access(base.constData(), F_OK) == 0)
            return;
        // A leader that exited leaves its descriptors to its other threads.
        if (held.isEmpty())
            held = socketInodes(m_procRoot, pid, true);
        wanted -= held;
    }
    QMutexLocker lock(&mutex);
    if (kernelInodes.size() > 100000)
        kernelInodes.clear();
    for (quint64 inode : std::as_const(wanted))
        kernelInodes.insert({m_procRoot, inode});
    for (PortEntry *row : std::as_const(unnamed)) {
        if (row->inodes.value(0) != 0 && kernelInodes.contains({m_procRoot, row->inodes.value(0)}))
            mark(*row, {});
    }
}
