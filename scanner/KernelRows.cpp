#include "scanner/KernelRows.h"

#include "process/ProcStat.h"
#include "scanner/CgroupPaths.h"
#include "scanner/ProcessReader.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A local end: protocol, port and address, and for attribution the owner.
struct SocketKey {
    QString protocol;
    qint64 port = 0;
    QString address;
    QString owner;
    friend bool operator==(const SocketKey &, const SocketKey &) = default;
};

size_t qHash(const SocketKey &key, size_t seed = 0) noexcept {
    return qHashMulti(seed, key.protocol, key.port, key.address, key.owner);
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

void addSocketsOf(const QByteArray &fdDir, QSet<quint64> &inodes) {
    DIR *dir = ::opendir(fdDir.constData());
    if (!dir)
        return;
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
}

std::optional<uid_t> ownerOf(const QByteArray &procRoot, qint32 pid) {
    struct stat st {};
    if (::stat((procRoot + '/' + QByteArray::number(pid)).constData(), &st) != 0)
        return std::nullopt;
    return st.st_uid;
}

QStringList commandLineOf(const QByteArray &procRoot, qint32 pid) {
    QFile file(QFile::decodeName(procRoot + '/' + QByteArray::number(pid) + "/cmdline"));
    QStringList arguments;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return arguments;
    QByteArray text = file.read(1 << 16);
    if (text.endsWith('\0'))
        text.chop(1);
    for (const QByteArray &argument : text.split('\0'))
        arguments.append(QString::fromUtf8(argument));
    return arguments;
}

QList<qint32> allPids(const QByteArray &procRoot) {
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

} // namespace

KernelRows::KernelRows(const ProcessReader &reader, CgroupPaths &cgroups, QByteArray procRoot,
                       std::optional<quint32> selfUid)
    : m_reader(reader)
    , m_cgroups(cgroups)
    , m_procRoot(std::move(procRoot))
    , m_self(selfUid.value_or(quint32(::getuid()))) {}

QString KernelRows::loginName(quint32 uid) {
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid_t(uid), &entry, buffer, sizeof buffer, &found) == 0 && found &&
        found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

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

void KernelRows::confirmHolders(PortEntryList &records, const QList<KernelSocket> &sockets) const {
    QHash<SocketKey, QList<const KernelSocket *>> byEndpoint;
    for (const KernelSocket &s : sockets)
        byEndpoint[{s.protocol, s.port, s.address, {}}].append(&s);

    QHash<qint32, QSet<quint64>> held; // read once per pid
    QHash<qint32, bool> confirmed;
    for (PortEntry &record : records) {
        const QList<const KernelSocket *> candidates =
            byEndpoint.value({record.networkProtocol, record.port, record.address, {}});
        if (!candidates.isEmpty())
            record.uid = candidates.front()->uid;
        if (!record.process.isKnown())
            continue;
        auto it = held.find(record.pid);
        if (it == held.end())
            it = held.insert(record.pid, socketInodes(m_procRoot, record.pid, false));
        bool holds = std::any_of(candidates.cbegin(), candidates.cend(),
                                 [&](const KernelSocket *s) { return it->contains(s->inode); });
        if (!holds && !candidates.isEmpty()) {
            // A leader that exited leaves its descriptors to the other threads.
            *it += socketInodes(m_procRoot, record.pid, true);
            holds = std::any_of(candidates.cbegin(), candidates.cend(),
                                [&](const KernelSocket *s) { return it->contains(s->inode); });
        }
        if (!holds)
            confirmed[record.pid] = false;
        else if (!confirmed.contains(record.pid))
            confirmed[record.pid] = true;
    }
    // The descriptors were read after the start time: a pid that held the
    // socket and still started then is the process lsof listed.
    for (auto it = confirmed.begin(); it != confirmed.end(); ++it) {
        if (!it.value())
            continue;
        const std::optional<ProcessStat> stat = StatReader(m_procRoot).read(it.key()).stat;
        quint64 recorded = 0;
        for (const PortEntry &record : std::as_const(records)) {
            if (record.pid == it.key()) {
                recorded = record.process.startTicks;
                break;
            }
        }
        it.value() = stat && stat->startTicks == recorded;
    }
    for (PortEntry &record : records) {
        if (record.process.isKnown() && !confirmed.value(record.pid, false))
            record.process = ProcessInfo{};
    }
}

PortEntryList KernelRows::unattributed(const PortEntryList &records,
                                       const QList<KernelSocket> &sockets) const {
    QSet<SocketKey> listed;
    for (const PortEntry &r : records)
        listed.insert({r.networkProtocol, r.port, r.address, r.user});

    QHash<quint32, QString> names;
    const auto nameOf = [&](quint32 uid) -> const QString & {
        auto it = names.find(uid);
        if (it == names.end())
            it = names.insert(uid, loginName(uid));
        return *it;
    };

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
                if (!stat || stat->state != 'Z')
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

    PortEntryList rows;
    for (const KernelSocket &s : sockets) {
        const QString &user = nameOf(s.uid);
        if (listed.contains({s.protocol, s.port, s.address, user}))
            continue;
        PortEntry row(0, QString(), user, s.protocol,
                      s.ipv6 ? QStringLiteral("IPv6") : QStringLiteral("IPv4"), s.address, s.port,
                      s.protocol == u"TCP" ? QStringLiteral("LISTEN") : QString());
        row.fromKernel = true;
        row.uid = s.uid;
        row.cgroupId = s.cgroupId;

        qint32 pid = 0;
        if (s.uid == self)
            pid = ownHolder(s.inode);
        if (pid == 0 && s.cgroupId != 0) {
            const QList<qint32> members = m_cgroups.processesOf(s.cgroupId);
            if (members.size() == 1) {
                pid = members.front();
            } else {
                qint32 naming = 0;
                int count = 0;
                for (qint32 member : members) {
                    if (ownerOf(m_procRoot, member) != s.uid)
                        continue;
                    if (namesPort(commandLineOf(m_procRoot, member), s.port)) {
                        naming = member;
                        ++count;
                    }
                }
                if (count == 1)
                    pid = naming;
            }
        }
        if (pid > 0) {
            if (const std::optional<ProcessStat> stat = StatReader(m_procRoot).read(pid).stat) {
                row.pid = pid;
                row.processName = QString::fromUtf8(stat->comm);
                row.process = m_reader.read(pid, row.processName);
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
            }
        }
        rows.append(std::move(row));
    }
    return rows;
}
