// Rows for the sockets lsof cannot see: attribution, folding, the holder from
// the cgroup or the user's own processes, and the check that a listed pid
// still holds its socket.

#include "KernelFixtures.h"
#include "StubLsof.h"
#include "process/SystemCalls.h"
#include "scanner/CgroupPaths.h"
#include "scanner/KernelRows.h"
#include "scanner/PortScanner.h"
#include "scanner/ProcessReader.h"
#include "scanner/SocketTable.h"
#include "stop/StopRules.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr quint32 otherUid = 4242; // no process of the test runs as this user

KernelSocket socketOf(const QString &protocol, bool ipv6, const QString &address, quint16 port,
                      quint32 uid, quint64 cgroupId = 0, quint64 inode = 1) {
    return KernelSocket{protocol, ipv6, address, port, uid, inode, cgroupId};
}

PortEntry lsofRecord(qint32 pid, const QString &user, const QString &address, qint64 port) {
    return PortEntry(pid, QStringLiteral("perl"), user, QStringLiteral("TCP"),
                     QStringLiteral("IPv4"), address, port, QStringLiteral("LISTEN"));
}

const KernelSocket *inTable(const QList<KernelSocket> &table, quint16 port) {
    for (const KernelSocket &s : table) {
        if (s.port == port && s.protocol == u"TCP")
            return &s;
    }
    return nullptr;
}

// A process of the test's whose main thread has exited while another thread
// keeps its listening socket: lsof sees no descriptor in /proc/PID/fd.
struct OrphanedThreadListener {
    pid_t pid = -1;
    int release[2] = {-1, -1}; // closing the write end ends the process
    quint16 port = 0;

    OrphanedThreadListener() {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0 || (pid = ::fork()) < 0)
            return;
        if (pid == 0) {
            ::close(release[1]);
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t length = sizeof in;
            const auto keep = [](void *fd) -> void * {
                char c;
                while (::read(*static_cast<int *>(fd), &c, 1) < 0) {
                }
                ::_exit(0);
            };
            pthread_t thread;
            if (::bind(s, reinterpret_cast<sockaddr *>(&in), length) != 0 || ::listen(s, 4) != 0 ||
                ::getsockname(s, reinterpret_cast<sockaddr *>(&in), &length) != 0 ||
                pthread_create(&thread, nullptr, keep, &release[0]) != 0 ||
                ::write(ready[1], &in.sin_port, sizeof in.sin_port) != sizeof in.sin_port)
                ::_exit(1);
            ::syscall(SYS_exit, 0); // this thread only
        }
        ::close(ready[1]);
        ::close(release[0]);
        port = ::read(ready[0], &port, sizeof port) == sizeof port ? ntohs(port) : 0;
        ::close(ready[0]);
    }
    ~OrphanedThreadListener() {
        ::close(release[1]); // the thread reads the end and exits the process
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
    }
};

QByteArray statLine(qint32 pid, const QByteArray &comm) {
    return QByteArray::number(pid) + " (" + comm +
           ") S 1 1 1 0 -1 4194560 120 0 0 0 0 0 0 0 20 0 1 0 500 8503296 245 "
           "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
}

// A process of a host made of files.
struct FakeProcess {
    qint32 pid = 0;
    quint32 uid = 0; // the effective uid it acts as
    QStringList commandLine;
    // The socket inodes in its descriptor table; nothing where the table
    // cannot be read (another user's process).
    std::optional<QList<quint64>> sockets;
};
using FakeProcesses = QList<FakeProcess>;

// A cgroup2 tree and a /proc of the test's own, as files: a mountinfo that
// names the tree, a service cgroup, and processes with their status,
// command line and descriptors.
struct FakeHost {
    QTemporaryDir dir;
    QByteArray cgroupRoot, procRoot;
    quint64 rootId = 0, serviceId = 0;

    FakeHost() {
        const QByteArray base = QFile::encodeName(dir.path());
        cgroupRoot = base + "/cgroup";
        procRoot = base + "/proc";
        QDir().mkpath(QFile::decodeName(cgroupRoot + "/system.slice/demo-web.service"));
        QDir().mkpath(QFile::decodeName(procRoot));
        write(base + "/mountinfo", "36 35 0:30 / " + cgroupRoot + " rw - cgroup2 cgroup2 rw\n");
        struct stat st {};
        ::stat(cgroupRoot.constData(), &st);
        rootId = st.st_ino;
        ::stat((cgroupRoot + "/system.slice/demo-web.service").constData(), &st);
        serviceId = st.st_ino;
    }
    QByteArray mountInfo() const { return QFile::encodeName(dir.path()) + "/mountinfo"; }
    static void write(const QByteArray &path, const QByteArray &data) {
        QFile file(QFile::decodeName(path));
        if (file.open(QIODevice::WriteOnly))
            file.write(data);
    }
    void setProcs(bool root, const QByteArray &procs) const {
        write(cgroupRoot + (root ? "" : "/system.slice/demo-web.service") + "/cgroup.procs", procs);
    }
    void add(const FakeProcess &p) const {
        const QByteArray at = procRoot + '/' + QByteArray::number(p.pid);
        QDir().mkpath(QFile::decodeName(at));
        write(at + "/stat",
              statLine(p.pid, QFile::encodeName(p.commandLine.value(0)).split('/').last()));
        write(at + "/status", "Name:\tx\nUmask:\t0022\nState:\tS (sleeping)\nUid:\t" +
                                  QByteArray::number(p.uid + 1) + '\t' + QByteArray::number(p.uid) +
                                  "\t0\t0\nGid:\t0\t0\t0\t0\n");
        write(at + "/cmdline", p.commandLine.join(QChar(0)).toUtf8() + '\0');
        write(at + "/cgroup", "0::/system.slice/demo-web.service\n");
        if (!p.sockets)
            return;
        QDir().mkpath(QFile::decodeName(at + "/fd"));
        int fd = 3;
        for (quint64 inode : *p.sockets)
            QFile::link(QStringLiteral("socket:[%1]").arg(inode),
                        QFile::decodeName(at + "/fd/" + QByteArray::number(fd++)));
    }
};

} // namespace

class TestKernelRows : public QObject {
    Q_OBJECT

    ProcessReader reader;
    CgroupPaths cgroups;

private slots:
    // The user's own process that holds a socket lsof missed: found by its
    // descriptors, also when only a thread other than the main one is left.
    void ownHolderAfterMainThreadExited() {
        OrphanedThreadListener orphan;
        QVERIFY(orphan.pid > 0 && orphan.port > 0);
        // lsof would find nothing in the leader's table, once the leader has
        // gone (its exit may still be under way when the thread reports).
        QTRY_VERIFY(!KernelRows::socketInodes("/proc", orphan.pid, false).size());
        const SocketTableResult table = SocketTable::read();
        const KernelSocket *socket = inTable(table.sockets, orphan.port);
        QVERIFY(socket);
        QVERIFY(KernelRows::socketInodes("/proc", orphan.pid, true).contains(socket->inode));
        const KernelRows kernel(reader, cgroups);
        const PortEntryList rows = kernel.unattributed({}, {*socket});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].pid, qint32(orphan.pid));
        QVERIFY(rows[0].process.isKnown());
        QVERIFY(!refusalFor(rows[0], qint64(::getuid())));
    }

    // A record keeps its identity only while its pid holds the socket, and
    // claims its socket: among SO_REUSEPORT sockets of one owner, the one
    // its descriptors show.
    void confirmHolders_data() {
        QTest::addColumn<bool>("holder");
        QTest::addColumn<bool>("reusePort"); // a second listener shares the port
        QTest::newRow("the pid holds the socket") << true << false;
        QTest::newRow("the pid holds another socket") << false << false;
        QTest::newRow("the pid holds one of two sockets of the port") << true << true;
    }
    void confirmHolders() {
        QFETCH(bool, holder);
        QFETCH(bool, reusePort);
        Listener listener(0, false, {}, reusePort),
            other(reusePort ? listener.port : 0, false, {}, reusePort);
        QVERIFY(listener.port && other.port);
        const qint32 pid = qint32((holder ? listener : other).process.processId());
        PortEntryList records{lsofRecord(pid, loginNameOf(::getuid()), "127.0.0.1", listener.port)};
        QVERIFY(!reader.fill(records));
        QVERIFY(records[0].process.isKnown());
        const SocketTableResult table = SocketTable::read();
        const KernelRows kernel(reader, cgroups);
        kernel.confirmHolders(records, table.sockets);
        QCOMPARE(records[0].process.isKnown(), holder);
        QCOMPARE(records[0].uid, qint64(::getuid()));
        QCOMPARE(records[0].inodes.size(), 1);
        QCOMPARE(KernelRows::socketInodes("/proc", pid, false).contains(records[0].inodes[0]),
                 holder);
    }

    // Whose pid a socket of root's gets from its cgroup, as root sees it:
    // only one that acts as root and whose descriptors show the socket, and
    // no search through a cgroup whose processes cannot all be known, nor
    // for a viewer who may not read the descriptors. (tst_cli_kernel stages
    // sockets handed to another user's process for real.)
    void cgroupSearch_data() {
        QTest::addColumn<QByteArray>("procs");
        QTest::addColumn<QString>("cgroup"); // "service", "root" or "gone"
        QTest::addColumn<FakeProcesses>("processes");
        QTest::addColumn<qint32>("pid");
        QTest::addColumn<quint32>("viewer");
        const QStringList proxy{"/usr/bin/docker-proxy", "-proto", "tcp", "-host-port", "8080"};
        const QStringList daemon{"/usr/sbin/dockerd", "-H", "fd://"};
        const QList<quint64> holds{5, 777};
        const FakeProcess nginx{101, 0, {"/usr/sbin/nginx"}, holds};
        const FakeProcess holdingProxy{101, 0, proxy, holds};
        QTest::newRow("the only process, listed twice")
            << QByteArray("101\n101\n") << "service" << FakeProcesses{nginx} << 101 << 0u;
        QTest::newRow("the only process holds it, acting as another user")
            << QByteArray("101\n") << "service" << FakeProcesses{{101, 33, {"nginx"}, holds}} << 0
            << 0u;
        QTest::newRow("the only process, its descriptors not readable")
            << QByteArray("101\n") << "service" << FakeProcesses{{101, 0, {"nginx"}, std::nullopt}}
            << 0 << 0u;
        QTest::newRow("the only process, its descriptors hold other sockets")
            << QByteArray("101\n") << "service"
            << FakeProcesses{{101, 0, {"nginx"}, QList<quint64>{5, 778}}} << 0 << 0u;
        QTest::newRow("an ordinary viewer: another user's descriptors are not looked at")
            << QByteArray("101\n") << "service" << FakeProcesses{nginx} << 0 << otherUid;
        QTest::newRow("two, the owner's proxy names the port")
            << QByteArray("101\n102\n") << "service"
            << FakeProcesses{holdingProxy, {102, 0, daemon, {}}} << 101 << 0u;
        QTest::newRow("two name the port")
            << QByteArray("101\n102\n") << "service"
            << FakeProcesses{holdingProxy, {102, 0, proxy, holds}} << 0 << 0u;
        QTest::newRow("the one naming the port acts as another user")
            << QByteArray("101\n102\n") << "service"
            << FakeProcesses{{101, 1000, proxy, holds}, {102, 0, daemon, {}}} << 0 << 0u;
        QTest::newRow("a process this pid namespace cannot see")
            << QByteArray("101\n0\n") << "service" << FakeProcesses{nginx} << 0 << 0u;
        QByteArray many = "101\n";
        FakeProcesses crowd{holdingProxy};
        for (qint32 pid = 102; pid < 101 + CgroupPaths::searchLimit; ++pid) {
            many += QByteArray::number(pid) + '\n';
            crowd.append({pid, 0, daemon, {}});
        }
        QTest::newRow("as many as are searched, one names the port")
            << many << "service" << crowd << 101 << 0u;
        many += QByteArray::number(101 + CgroupPaths::searchLimit) + '\n';
        QTest::newRow("more than are searched, one names the port")
            << many << "service" << crowd << 0 << 0u;
        QTest::newRow("the root cgroup")
            << QByteArray("101\n") << "root" << FakeProcesses{nginx} << 0 << 0u;
        QTest::newRow("an empty cgroup") << QByteArray() << "service" << FakeProcesses{} << 0 << 0u;
        QTest::newRow("a cgroup removed since")
            << QByteArray("101\n") << "gone" << FakeProcesses{nginx} << 0 << 0u;
    }
    void cgroupSearch() {
        QFETCH(QByteArray, procs);
        QFETCH(QString, cgroup);
        QFETCH(FakeProcesses, processes);
        QFETCH(qint32, pid);
        QFETCH(quint32, viewer);
        const FakeHost host;
        QVERIFY(host.serviceId && host.rootId);
        host.setProcs(cgroup == u"root", procs);
        for (const FakeProcess &p : processes)
            host.add(p);
        // Held somewhere, if not by a process the search may name: no
        // socket of the kernel's (kernelSockets has those).
        host.add({99999, 0, {"elsewhere"}, QList<quint64>{777}});
        CgroupPaths paths(host.mountInfo());
        const ProcessReader fakeReader(QFile::decodeName(host.procRoot));
        const KernelRows kernel(fakeReader, paths, viewer);
        const quint64 id = cgroup == u"root"   ? host.rootId
                           : cgroup == u"gone" ? host.serviceId + 1000000
                                               : host.serviceId;
        const PortEntryList rows =
            kernel.unattributed({}, {socketOf("TCP", false, "127.0.0.1", 8080, 0, id, 777)});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].pid, pid);
        QCOMPARE(rows[0].process.isKnown(), pid != 0);
        QCOMPARE(rows[0].process.uid, pid != 0 ? 0 : -1);
        if (pid != 0)
            QCOMPARE(rows[0].processName,
                     processes.front().commandLine.value(0).split(u'/').last().left(15));
        QCOMPARE(rows[0].process.unit, cgroup == u"service" ? "demo-web.service" : "");
    }

    // Which rows without a process are the kernel's, and what for: a port the
    // kernel names (lockd's, nfsd's; tunnels come from the real links, in
    // tst_cli_kernel) on a socket of root's, for anyone; for root, also a
    // socket in no process's descriptors. Otherwise it stays root's.
    void kernelSockets_data() {
        QTest::addColumn<quint32>("viewer");
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<quint16>("port");
        QTest::addColumn<quint32>("owner");
        QTest::addColumn<QByteArray>("lockdUdp");
        QTest::addColumn<QByteArray>("nfsdPorts");
        QTest::addColumn<QString>("held"); // "none", "process", "unreadable"
        QTest::addColumn<QString>("use");  // "-": not the kernel's
        const QByteArray nfsd = "rdma 20049\ntcp 2049\nudp 2049\n";
        QTest::newRow("lockd's port, for an ordinary viewer")
            << otherUid << "UDP" << quint16(4045) << 0u << QByteArray("4045\n") << nfsd << "none"
            << "lockd";
        QTest::newRow("nfsd's port, from its port list")
            << 0u << "TCP" << quint16(2049) << 0u << QByteArray() << nfsd << "none"
            << "nfsd";
        QTest::newRow("a port the kernel names, on another user's socket")
            << 1000u << "UDP" << quint16(4045) << otherUid << QByteArray("4045\n") << nfsd << "none"
            << "-";
        QTest::newRow("lockd without a port of its own")
            << otherUid << "UDP" << quint16(4045) << 0u << QByteArray("0\n") << QByteArray()
            << "none"
            << "-";
        QTest::newRow("root: a socket in no process's descriptors")
            << 0u << "TCP" << quint16(8080) << 0u << QByteArray() << nfsd << "none"
            << "";
        QTest::newRow("root: a process of a crowded cgroup holds it")
            << 0u << "TCP" << quint16(8080) << 0u << QByteArray() << nfsd << "process"
            << "-";
        QTest::newRow("root: a descriptor table that could not be read")
            << 0u << "TCP" << quint16(8080) << 0u << QByteArray() << nfsd << "unreadable"
            << "-";
        QTest::newRow("an ordinary viewer: root's socket stays root's")
            << otherUid << "TCP" << quint16(8080) << 0u << QByteArray() << nfsd << "none"
            << "-";
    }
    void kernelSockets() {
        QFETCH(quint32, viewer);
        QFETCH(QString, protocol);
        QFETCH(quint16, port);
        QFETCH(quint32, owner);
        QFETCH(QByteArray, lockdUdp);
        QFETCH(QByteArray, nfsdPorts);
        QFETCH(QString, held);
        QFETCH(QString, use);
        // An inode of each row's own: one found in no descriptor is
        // remembered as the kernel's for as long as the program runs.
        static quint64 inode = 90000;
        ++inode;
        const FakeHost host;
        host.setProcs(false, "101\n102\n");
        if (held != u"none")
            host.add({101,
                      0,
                      {"nginx"},
                      held == u"process" ? std::optional(QList<quint64>{inode}) : std::nullopt});
        host.add({102, 0, {"nginx"}, QList<quint64>{}});
        QDir().mkpath(QFile::decodeName(host.procRoot + "/sys/fs/nfs"));
        QDir().mkpath(QFile::decodeName(host.procRoot + "/fs/nfsd"));
        host.write(host.procRoot + "/sys/fs/nfs/nlm_udpport", lockdUdp);
        host.write(host.procRoot + "/fs/nfsd/portlist", nfsdPorts);
        CgroupPaths paths(host.mountInfo());
        const ProcessReader fakeReader(QFile::decodeName(host.procRoot));
        const KernelRows kernel(fakeReader, paths, viewer);
        const PortEntryList rows = kernel.unattributed(
            {}, {socketOf(protocol, false, "*", port, owner, host.serviceId, inode)});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].pid, 0);
        QCOMPARE(rows[0].kernelHeld ? rows[0].kernelUse : QString("-"), use);
        // The cgroup of a kernel socket is its maker's, no unit of the port's.
        QCOMPARE(rows[0].process.unit, use == u"-" ? "demo-web.service" : "");
    }

    // Sockets whose cgroups were removed since they were made cost one walk
    // of the tree for all of them, and no more at later scans.
    void removedCgroupsWalkOnce() {
        const FakeHost host;
        for (int i = 0; i < 50; ++i)
            QDir().mkpath(
                QFile::decodeName(host.cgroupRoot + "/user.slice/s" + QByteArray::number(i)));
        CgroupPaths paths(host.mountInfo());
        const ProcessReader fakeReader(QFile::decodeName(host.procRoot));
        const KernelRows kernel(fakeReader, paths, otherUid);
        QList<KernelSocket> sockets{socketOf("TCP", false, "127.0.0.1", 8080, 0, host.serviceId)};
        for (int i = 1; i <= 20; ++i)
            sockets.append(
                socketOf("TCP", false, "127.0.0.1", 8080 + i, 0, host.serviceId + 1000000 + i));
        for (int scan = 0; scan < 2; ++scan) {
            const PortEntryList rows = kernel.unattributed({}, sockets);
            QCOMPARE(rows.size(), sockets.size());
            QCOMPARE(rows[0].process.unit, "demo-web.service");
            QCOMPARE(paths.walks(), 1);
        }
    }

    // Once the search's time is spent, the sockets left get rows with owner
    // and unit but no process, and the caller learns that it was cut.
    void searchBudget_data() {
        QTest::addColumn<bool>("spent");
        QTest::newRow("time left") << false;
        QTest::newRow("time spent") << true;
    }
    void searchBudget() {
        QFETCH(bool, spent);
        const FakeHost host;
        host.setProcs(false, "101\n");
        host.add({101, 0, {"nginx"}, QList<quint64>{777}});
        CgroupPaths paths(host.mountInfo());
        const ProcessReader fakeReader(QFile::decodeName(host.procRoot));
        const KernelRows kernel(fakeReader, paths, 0); // root, who may read the descriptors
        bool cut = false;
        const PortEntryList rows = kernel.unattributed(
            {}, {socketOf("TCP", false, "127.0.0.1", 8080, 0, host.serviceId, 777)},
            spent ? QDeadlineTimer(0) : QDeadlineTimer(QDeadlineTimer::Forever), &cut);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].pid, spent ? 0 : 101);
        QCOMPARE(rows[0].process.unit, "demo-web.service");
        QCOMPARE(cut, spent);
    }

    // A scan with a stand-in lsof and a table of the test's. A socket is
    // lsof's when a record has its protocol, port and address, whoever owns
    // it (a daemon that bound as root, then became www-data), or among
    // several there, where no descriptors can be read, its owner's name; any
    // other is a row of its own, twins of one holder folded, two holders of
    // one port two rows with ids of their own. A table that cannot be read
    // leaves lsof's rows as they are, with the notice.
    void scanWithTable_data() {
        QTest::addColumn<QString>("table");    // "failed", "read" or "cut short"
        QTest::addColumn<QStringList>("rows"); // id|user|uid|ipVersion|address|state|fromKernel
        const QString other = loginNameOf(otherUid), third = loginNameOf(otherUid + 1);
        QTest::newRow("table failed")
            << "failed"
            << QStringList{"7-TCP-22|root|-1||*|LISTEN|", "0-TCP-8081|nobody|-1||*|LISTEN|",
                           "9-TCP-8082|www-data|-1|IPv4|127.0.0.3|LISTEN|"};
        const QStringList read{
            "7-TCP-22|root|0||*|LISTEN|",
            "0-TCP-22@4242:0|" + other + "|4242|IPv4|*|LISTEN|k",
            "0-TCP-22@0:0|root|0|IPv6|[::1]|LISTEN|k",
            "0-UDP-22@0:0|root|0|IPv4|*||k",
            "0-TCP-8081|nobody|4242||*|LISTEN|", // the uid of the socket at its place
            "0-TCP-8081@4242:0|" + other + "|4242|IPv4/IPv6|*|LISTEN|k",
            "0-TCP-8081@4243:0|" + third + "|4243|IPv4|127.0.0.2|LISTEN|k",
            "9-TCP-8082|www-data|0|IPv4|127.0.0.3|LISTEN|",
        };
        QTest::newRow("table read") << "read" << read;
        // What was read is joined all the same, with the notice.
        QTest::newRow("table cut short") << "cut short" << read;
    }
    void scanWithTable() {
        QFETCH(QString, table);
        QFETCH(QStringList, rows);
        // sshd, a process whose pid lsof could not tell (0), as a kernel row
        // has, and a daemon that bound as root.
        const StubLsof lsof(
            "[ \"$run\" = udp ] || printf 'p7\\ncsshd\\nLroot\\nf3\\nPTCP\\nn*:22\\n"
            "TST=LISTEN\\np\\ncx\\nLnobody\\nf3\\nPTCP\\nn*:8081\\nTST=LISTEN\\n"
            "p9\\ncnginx\\nLwww-data\\nf3\\ntIPv4\\nPTCP\\nn127.0.0.3:8082\\nTST=LISTEN\\n'\n");
        LsofRuns runs;
        PortScanner scanner(runs, lsof.path());
        scanner.setSocketTableRead([table] {
            SocketTableResult read;
            if (table != u"read")
                read.errorText = "refused";
            if (table == u"failed")
                return read;
            read.source = SocketTableResult::Source::ProcNet;
            read.sockets = {socketOf("TCP", false, "*", 22, 0, 0, 11),
                            socketOf("TCP", false, "*", 22, otherUid, 0, 12),
                            socketOf("TCP", true, "[::1]", 22, 0, 0, 13),
                            socketOf("UDP", false, "*", 22, 0, 0, 14),
                            socketOf("TCP", true, "*", 8081, otherUid, 0, 15),
                            socketOf("TCP", false, "*", 8081, otherUid, 0, 16),
                            socketOf("TCP", false, "127.0.0.2", 8081, otherUid + 1, 0, 17),
                            socketOf("TCP", false, "127.0.0.3", 8082, 0, 0, 18)};
            return read;
        });
        const QFuture<ScanResult> scan = scanner.scan();
        QTRY_VERIFY_WITH_TIMEOUT(scan.isFinished(), 30000);
        const ScanResult result = scan.result();
        QVERIFY(!result.errorText);
        QCOMPARE(result.notice.has_value(), table != u"read");
        QStringList found;
        for (const PortEntry &e : result.entries)
            found << QStringList{e.id(),    e.user,  QString::number(e.uid), e.ipVersion,
                                 e.address, e.state, e.fromKernel ? "k" : ""}
                         .join(u'|');
        QCOMPARE(found, rows);
    }

    // (The port as an argument of its own is docker-proxy's, in cgroupSearch.)
    void namesPort_data() {
        QTest::addColumn<QStringList>("commandLine");
        QTest::addColumn<bool>("names");
        QTest::newRow("--port=8080") << QStringList{"node", "--port=8080"} << true;
        QTest::newRow("host:port") << QStringList{"socat", "TCP-LISTEN:8080"} << true;
        QTest::newRow("longer number") << QStringList{"server", "18080"} << false;
        QTest::newRow("program name only") << QStringList{"8080"} << false;
        QTest::newRow("other port") << QStringList{"server", "--port", "8081"} << false;
    }
    void namesPort() {
        QFETCH(QStringList, commandLine);
        QFETCH(bool, names);
        QCOMPARE(KernelRows::namesPort(commandLine, 8080), names);
    }
};

QTEST_GUILESS_MAIN(TestKernelRows)
#include "tst_kernelrows.moc"
