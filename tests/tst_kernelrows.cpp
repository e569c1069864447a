// Rows for the sockets lsof cannot see: attribution, folding, the holder from
// the cgroup or the user's own processes, and the check that a listed pid
// still holds its socket.

#include "KernelFixtures.h"
#include "StubLsof.h"
#include "process/SystemCalls.h"
#include "scanner/CgroupPaths.h"
#include "scanner/FieldOutputParser.h"
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
    int pidfd = -1;
    int release[2] = {-1, -1};
    quint16 port = 0;

    static void *keep(void *fd) {
        char c;
        while (::read(*static_cast<int *>(fd), &c, 1) < 0) {
        }
        ::_exit(0);
    }

    OrphanedThreadListener() {
        int ready[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in in{};
            in.sin_family = AF_INET;
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof in;
            if (::bind(s, reinterpret_cast<sockaddr *>(&in), length) != 0 || ::listen(s, 4) != 0)
                ::_exit(1);
            ::getsockname(s, reinterpret_cast<sockaddr *>(&in), &length);
            const quint16 bound = ntohs(in.sin_port);
            pthread_t thread;
            if (pthread_create(&thread, nullptr, keep, &release[0]) != 0)
                ::_exit(1);
            if (::write(ready[1], &bound, sizeof bound) != sizeof bound)
                ::_exit(1);
            ::syscall(SYS_exit, 0); // this thread only
        }
        ::close(ready[1]);
        ::close(release[0]);
        if (pid > 0) {
            pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
            if (::read(ready[0], &port, sizeof port) != sizeof port)
                port = 0;
        }
        ::close(ready[0]);
    }
    ~OrphanedThreadListener() {
        if (pid <= 0)
            return;
        ::close(release[1]); // the thread reads the end and exits the process
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(pidfd);
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
    // A socket is lsof's when a record has its protocol, port, address and
    // owner; anything else is a row of its own.
    void attribution_data() {
        QTest::addColumn<PortEntryList>("records");
        QTest::addColumn<KernelSocket>("socket");
        QTest::addColumn<bool>("row");
        const PortEntryList root{lsofRecord(10, "root", "127.0.0.1", 8081)};
        QTest::newRow("same socket")
            << root << socketOf("TCP", false, "127.0.0.1", 8081, 0) << false;
        QTest::newRow("another owner")
            << root << socketOf("TCP", false, "127.0.0.1", 8081, otherUid) << true;
        QTest::newRow("another address") << root << socketOf("TCP", true, "[::1]", 8081, 0) << true;
        QTest::newRow("another protocol")
            << root << socketOf("UDP", false, "127.0.0.1", 8081, 0) << true;
    }
    void attribution() {
        QFETCH(PortEntryList, records);
        QFETCH(KernelSocket, socket);
        QFETCH(bool, row);
        const KernelRows kernel(reader, cgroups, otherUid + 1);
        const PortEntryList rows = kernel.unattributed(records, {socket});
        QCOMPARE(rows.size(), row ? 1 : 0);
        if (!row)
            return;
        QCOMPARE(rows[0].pid, 0);
        QVERIFY(rows[0].fromKernel);
        QCOMPARE(rows[0].uid, qint64(socket.uid));
        QCOMPARE(rows[0].user, loginNameOf(socket.uid));
        QCOMPARE(rows[0].state, socket.protocol == u"TCP" ? QString("LISTEN") : QString());
    }

    // Twins of one holder are one row; two holders of one port stay two rows
    // with ids of their own.
    void folding() {
        const KernelRows kernel(reader, cgroups, otherUid + 1);
        const PortEntryList rows = mergeEntries(
            kernel.unattributed({}, {socketOf("TCP", false, "*", 8081, otherUid, 0, 1),
                                     socketOf("TCP", true, "*", 8081, otherUid, 0, 2),
                                     socketOf("TCP", false, "127.0.0.2", 8081, otherUid + 1, 0, 3),
                                     socketOf("UDP", false, "*", 8081, otherUid, 0, 4)}));
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].ipVersion, "IPv4/IPv6");
        QCOMPARE(rows[0].id(), QStringLiteral("0-TCP-8081@%1:0").arg(otherUid));
        QCOMPARE(rows[1].id(), QStringLiteral("0-TCP-8081@%1:0").arg(otherUid + 1));
        QCOMPARE(rows[2].networkProtocol, "UDP");
        // No holder key equals an lsof row's key with pid 0.
        const PortEntry plain = lsofRecord(0, "root", "*", 8081);
        QVERIFY(plain.key() != rows[0].key());
    }

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

    // A record keeps its identity only while its pid holds the socket.
    void confirmHolders_data() {
        QTest::addColumn<bool>("holder");
        QTest::newRow("the pid holds the socket") << true;
        QTest::newRow("the pid holds another socket") << false;
    }
    void confirmHolders() {
        QFETCH(bool, holder);
        Listener listener, other;
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
    }

    // Whose pid a socket of another user's gets from its cgroup: only one
    // that is certain, and no search through a cgroup whose processes cannot
    // all be known.
    void cgroupSearch_data() {
        QTest::addColumn<QByteArray>("procs");
        QTest::addColumn<QString>("cgroup"); // "service", "root" or "gone"
        QTest::addColumn<FakeProcesses>("processes");
        QTest::addColumn<qint32>("pid");
        const QStringList proxy{"/usr/bin/docker-proxy", "-proto", "tcp", "-host-port", "8080"};
        const QStringList daemon{"/usr/sbin/dockerd", "-H", "fd://"};
        const FakeProcess nginx{101, 0, {"/usr/sbin/nginx"}, std::nullopt};
        QTest::newRow("the only process")
            << QByteArray("101\n") << "service" << FakeProcesses{nginx} << 101;
        QTest::newRow("the only process, listed twice")
            << QByteArray("101\n101\n") << "service" << FakeProcesses{nginx} << 101;
        QTest::newRow("the only process, now another user")
            << QByteArray("101\n") << "service" << FakeProcesses{{101, 33, {"nginx"}, {}}} << 101;
        QTest::newRow("two, neither names the port")
            << QByteArray("101\n102\n") << "service" << FakeProcesses{nginx, {102, 0, daemon, {}}}
            << 0;
        QTest::newRow("two, the owner's proxy names the port")
            << QByteArray("101\n102\n") << "service"
            << FakeProcesses{{101, 0, proxy, {}}, {102, 0, daemon, {}}} << 101;
        QTest::newRow("two name the port")
            << QByteArray("101\n102\n") << "service"
            << FakeProcesses{{101, 0, proxy, {}}, {102, 0, proxy, {}}} << 0;
        QTest::newRow("the one naming the port acts as another user")
            << QByteArray("101\n102\n") << "service"
            << FakeProcesses{{101, 1000, proxy, {}}, {102, 0, daemon, {}}} << 0;
        QTest::newRow("a process this pid namespace cannot see")
            << QByteArray("101\n0\n") << "service" << FakeProcesses{nginx} << 0;
        QByteArray many = "101\n";
        FakeProcesses crowd{{101, 0, proxy, {}}};
        for (qint32 pid = 102; pid < 101 + CgroupPaths::searchLimit; ++pid) {
            many += QByteArray::number(pid) + '\n';
            crowd.append({pid, 0, daemon, {}});
        }
        QTest::newRow("as many as are searched, one names the port")
            << many << "service" << crowd << 101;
        many += QByteArray::number(101 + CgroupPaths::searchLimit) + '\n';
        QTest::newRow("more than are searched, one names the port")
            << many << "service" << crowd << 0;
        QTest::newRow("the root cgroup")
            << QByteArray("101\n") << "root" << FakeProcesses{nginx} << 0;
        QTest::newRow("an empty cgroup") << QByteArray() << "service" << FakeProcesses{} << 0;
        QTest::newRow("a cgroup removed since")
            << QByteArray("101\n") << "gone" << FakeProcesses{nginx} << 0;
        QTest::newRow("the only process, its descriptors hold the socket")
            << QByteArray("101\n") << "service"
            << FakeProcesses{{101, 0, {"nginx"}, QList<quint64>{5, 777}}} << 101;
        QTest::newRow("the only process, its descriptors hold other sockets")
            << QByteArray("101\n") << "service"
            << FakeProcesses{{101, 0, {"nginx"}, QList<quint64>{5, 778}}} << 0;
    }
    void cgroupSearch() {
        QFETCH(QByteArray, procs);
        QFETCH(QString, cgroup);
        QFETCH(FakeProcesses, processes);
        QFETCH(qint32, pid);
        const FakeHost host;
        QVERIFY(host.serviceId && host.rootId);
        host.setProcs(cgroup == u"root", procs);
        for (const FakeProcess &p : processes)
            host.add(p);
        CgroupPaths paths(host.mountInfo());
        const ProcessReader fakeReader(QFile::decodeName(host.procRoot));
        const KernelRows kernel(fakeReader, paths, otherUid);
        const quint64 id = cgroup == u"root"   ? host.rootId
                           : cgroup == u"gone" ? host.serviceId + 1000000
                                               : host.serviceId;
        const PortEntryList rows =
            kernel.unattributed({}, {socketOf("TCP", false, "127.0.0.1", 8080, 0, id, 777)});
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].pid, pid);
        QCOMPARE(rows[0].process.isKnown(), pid != 0);
        if (pid != 0)
            QCOMPARE(rows[0].processName,
                     processes.front().commandLine.value(0).split(u'/').last().left(15));
        QCOMPARE(rows[0].process.unit, cgroup == u"service" ? "demo-web.service" : "");
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

    // A table that cannot be read leaves lsof's rows as they are, with the
    // notice; one that can adds the rows lsof lacks.
    void scanWithTable_data() {
        QTest::addColumn<bool>("readable");
        QTest::newRow("table read") << true;
        QTest::newRow("table failed") << false;
    }
    void scanWithTable() {
        QFETCH(bool, readable);
        const StubLsof lsof("[ \"$run\" = udp ] || printf 'p7\\ncsshd\\nLroot\\nf3\\ntIPv4\\n"
                            "PTCP\\nn*:22\\nTST=LISTEN\\n'\n");
        LsofRuns runs;
        PortScanner scanner(runs, lsof.path());
        scanner.setSocketTableRead([readable] {
            SocketTableResult table;
            if (readable) {
                table.source = SocketTableResult::Source::ProcNet;
                table.sockets = {socketOf("TCP", false, "*", 22, 0, 0, 11),
                                 socketOf("TCP", true, "*", 8081, otherUid, 0, 12),
                                 socketOf("TCP", false, "*", 8081, otherUid, 0, 13)};
            } else {
                table.errorText = "refused";
            }
            return table;
        });
        const QFuture<ScanResult> scan = scanner.scan();
        QTRY_VERIFY_WITH_TIMEOUT(scan.isFinished(), 30000);
        const ScanResult result = scan.result();
        QVERIFY(!result.errorText);
        QCOMPARE(result.notice.has_value(), !readable);
        QCOMPARE(result.entries.size(), readable ? 2 : 1);
        QCOMPARE(result.entries[0].processName, "sshd");
        QCOMPARE(result.entries[0].uid, readable ? 0 : -1);
        if (readable) {
            QCOMPARE(result.entries[1].port, 8081);
            QCOMPARE(result.entries[1].ipVersion, "IPv4/IPv6");
            QCOMPARE(result.entries[1].user, loginNameOf(otherUid));
        }
    }

    void namesPort_data() {
        QTest::addColumn<QStringList>("commandLine");
        QTest::addColumn<bool>("names");
        QTest::newRow("docker-proxy")
            << QString("/usr/bin/docker-proxy -proto tcp -host-ip 127.0.0.1 -host-port 8080 "
                       "-container-ip 172.17.0.2 -container-port 80")
                   .split(' ')
            << true;
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
