// The kernel's socket table: netlink and the /proc/net fallback against
// sockets the test opens itself.

#include "scanner/CgroupPaths.h"
#include "scanner/SocketTable.h"

#include <QFile>
#include <QTest>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One socket of the test's own, closed with the test.
struct OwnSocket {
    int fd = -1;
    quint16 port = 0;
    quint64 inode = 0;

    OwnSocket(int family, int type, const char *address, bool listen, bool v6only = true) {
        fd = ::socket(family, type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        sockaddr_storage storage{};
        socklen_t length = 0;
        if (family == AF_INET) {
            auto *in = reinterpret_cast<sockaddr_in *>(&storage);
            in->sin_family = AF_INET;
            ::inet_pton(AF_INET, address, &in->sin_addr);
            length = sizeof *in;
        } else {
            const int only = v6only ? 1 : 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
            in6->sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, address, &in6->sin6_addr);
            length = sizeof *in6;
        }
        if (::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0 ||
            (listen && ::listen(fd, 4) != 0)) {
            ::close(fd);
            fd = -1;
            return;
        }
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in *>(&storage)->sin_port
                                       : reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port);
        struct stat st {};
        ::fstat(fd, &st);
        inode = st.st_ino;
    }
    ~OwnSocket() {
        if (fd >= 0)
            ::close(fd);
    }
    OwnSocket(const OwnSocket &) = delete;
    OwnSocket &operator=(const OwnSocket &) = delete;
};

const KernelSocket *find(const SocketTableResult &table, quint64 inode) {
    for (const KernelSocket &s : table.sockets) {
        if (s.inode == inode)
            return &s;
    }
    return nullptr;
}

SocketTable::Options refusingNetlink() {
    SocketTable::Options options;
    options.openSocket = [](int, int, int) {
        errno = EACCES;
        return -1;
    };
    return options;
}

// What both sources tell of a socket (the fallback has no cgroup).
KernelSocket withoutCgroup(KernelSocket s) {
    s.cgroupId = 0;
    return s;
}

// The cgroup2 directory of this process, where there is one.
QByteArray ownCgroupDirectory(CgroupPaths &paths) {
    QFile file(QStringLiteral("/proc/self/cgroup"));
    if (paths.mountPoint().isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("0::"))
            return paths.mountPoint() + line.mid(3);
    }
    return {};
}

} // namespace

class TestSocketTable : public QObject {
    Q_OBJECT

private slots:
    // Each family and protocol, from both sources: the same row, with the
    // address as lsof prints it.
    void ownSockets_data() {
        QTest::addColumn<int>("family");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("bindTo");
        QTest::addColumn<bool>("v6only");
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("address");
        QTest::newRow("TCP IPv4 loopback")
            << AF_INET << int(SOCK_STREAM) << "127.0.0.1" << true << "TCP"
            << "127.0.0.1";
        QTest::newRow("TCP IPv6 loopback") << AF_INET6 << int(SOCK_STREAM) << "::1" << true << "TCP"
                                           << "[::1]";
        QTest::newRow("TCP IPv4 wildcard")
            << AF_INET << int(SOCK_STREAM) << "0.0.0.0" << true << "TCP"
            << "*";
        QTest::newRow("TCP IPv6 wildcard, dual stack")
            << AF_INET6 << int(SOCK_STREAM) << "::" << false << "TCP"
            << "*";
        QTest::newRow("TCP IPv4-mapped IPv6")
            << AF_INET6 << int(SOCK_STREAM) << "::ffff:127.0.0.1" << false << "TCP"
            << "127.0.0.1";
        QTest::newRow("UDP IPv4 loopback")
            << AF_INET << int(SOCK_DGRAM) << "127.0.0.1" << true << "UDP"
            << "127.0.0.1";
        QTest::newRow("UDP IPv6 wildcard") << AF_INET6 << int(SOCK_DGRAM) << "::" << true << "UDP"
                                           << "*";
    }
    void ownSockets() {
        QFETCH(int, family);
        QFETCH(int, type);
        QFETCH(QString, bindTo);
        QFETCH(bool, v6only);
        QFETCH(QString, protocol);
        QFETCH(QString, address);
        const OwnSocket own(family, type, bindTo.toLatin1().constData(), type == SOCK_STREAM,
                            v6only);
        if (own.fd < 0)
            QSKIP(qPrintable(QStringLiteral("cannot bind %1 here").arg(bindTo)));

        const SocketTableResult netlink = SocketTable::read();
        QCOMPARE(netlink.source, SocketTableResult::Source::Netlink);
        QVERIFY2(!netlink.errorText, qPrintable(netlink.errorText.value_or(QString())));
        const KernelSocket *row = find(netlink, own.inode);
        QVERIFY2(row, "the test's own socket is not in the table");
        QCOMPARE(row->protocol, protocol);
        QCOMPARE(row->ipv6, family == AF_INET6);
        QCOMPARE(row->address, address);
        QCOMPARE(row->port, own.port);
        QCOMPARE(row->uid, quint32(::getuid()));

        // Netlink refused: the text tables give the same row.
        const SocketTableResult proc = SocketTable::read(refusingNetlink());
        QCOMPARE(proc.source, SocketTableResult::Source::ProcNet);
        QVERIFY(!proc.errorText);
        const KernelSocket *fallback = find(proc, own.inode);
        QVERIFY2(fallback, "the fallback misses the test's own socket");
        QCOMPARE(*fallback, withoutCgroup(*row));
    }

    // A TCP socket that is bound but does not listen is no listener; a
    // connected UDP socket is listed, as lsof lists it.
    void onlyListenersAndUdp() {
        const OwnSocket bound(AF_INET, SOCK_STREAM, "127.0.0.1", false);
        const OwnSocket udp(AF_INET, SOCK_DGRAM, "127.0.0.1", false);
        QVERIFY(bound.fd >= 0 && udp.fd >= 0);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(9);
        ::inet_pton(AF_INET, "127.0.0.1", &peer.sin_addr);
        QCOMPARE(::connect(udp.fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer), 0);
        for (const SocketTableResult &table :
             {SocketTable::read(), SocketTable::read(refusingNetlink())}) {
            QVERIFY(!find(table, bound.inode));
            QVERIFY(find(table, udp.inode));
        }
    }

    // Netlink gives the cgroup of the socket's owner: the inode of this
    // process's cgroup directory.
    void cgroupId() {
        CgroupPaths paths;
        const QByteArray directory = ownCgroupDirectory(paths);
        if (directory.isEmpty())
            QSKIP("no cgroup2 hierarchy is mounted here");
        struct stat st {};
        QCOMPARE(::stat(directory.constData(), &st), 0);
        const OwnSocket own(AF_INET, SOCK_STREAM, "127.0.0.1", true);
        const SocketTableResult table = SocketTable::read();
        const KernelSocket *row = find(table, own.inode);
        QVERIFY(row);
        QCOMPARE(row->cgroupId, quint64(st.st_ino));
        QCOMPARE(paths.pathOf(row->cgroupId), directory.mid(paths.mountPoint().size()).isEmpty()
                                                  ? QByteArray("/")
                                                  : directory.mid(paths.mountPoint().size()));
    }

    void bounds_data() {
        QTest::addColumn<bool>("netlink");
        QTest::newRow("netlink") << true;
        QTest::newRow("/proc/net") << false;
    }
    // More sockets than the cap: what was read stays, with an error text.
    void bounds() {
        QFETCH(bool, netlink);
        const OwnSocket a(AF_INET, SOCK_DGRAM, "127.0.0.1", false);
        const OwnSocket b(AF_INET, SOCK_DGRAM, "127.0.0.1", false);
        SocketTable::Options options = netlink ? SocketTable::Options{} : refusingNetlink();
        options.cap = 1;
        const SocketTableResult table = SocketTable::read(options);
        QCOMPARE(table.sockets.size(), 1);
        QVERIFY(table.errorText);
        QVERIFY(table.errorText->contains(u"more than 1 sockets"));
    }

    // Neither source: an error text, no rows, no crash.
    void nothingReadable() {
        SocketTable::Options options = refusingNetlink();
        options.procRoot = "/nonexistent";
        const SocketTableResult table = SocketTable::read(options);
        QCOMPARE(table.source, SocketTableResult::Source::None);
        QVERIFY(table.sockets.isEmpty());
        QVERIFY(table.errorText);
    }

    void procNetLines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<QString>("address"); // empty: no socket
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("uid");
        QTest::newRow("header") << QByteArray("  sl  local_address rem_address   st tx_queue "
                                              "rx_queue tr tm->when retrnsmt   uid  timeout inode")
                                << true << false << QString() << 0 << 0;
        QTest::newRow("IPv4 listener")
            << QByteArray("   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 "
                          "00000000   107        0 21554 1 0000000000000000 100 0 0 10 0")
            << true << false << "127.0.0.1" << 8080 << 107;
        QTest::newRow("TCP not listening")
            << QByteArray("   1: 0100007F:1F90 0100007F:C350 01 00000000:00000000 00:00000000 "
                          "00000000  1000        0 21555 1 0000000000000000 20 4 0 10 -1")
            << true << false << QString() << 0 << 0;
        QTest::newRow("short address") << QByteArray("   0: 0100007F:1F90 00000000:0000 0A a b c "
                                                     "107 0 21554")
                                       << true << true << QString() << 0 << 0;
        QTest::newRow("not hex") << QByteArray("   0: 0100007G:1F90 00000000:0000 0A 00000000:"
                                               "00000000 00:00000000 00000000 107 0 21554")
                                 << true << false << QString() << 0 << 0;
    }
    void procNetLines() {
        QFETCH(QByteArray, line);
        QFETCH(bool, tcp);
        QFETCH(bool, ipv6);
        QFETCH(QString, address);
        QFETCH(int, port);
        QFETCH(int, uid);
        const std::optional<KernelSocket> socket = SocketTable::parseProcNetLine(line, tcp, ipv6);
        QCOMPARE(socket.has_value(), !address.isEmpty());
        if (!socket)
            return;
        QCOMPARE(socket->address, address);
        QCOMPARE(int(socket->port), port);
        QCOMPARE(int(socket->uid), uid);
    }

    void mountInfo_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("mountPoint");
        QTest::newRow("unified") << QByteArray("36 35 0:30 / /sys/fs/cgroup rw,nosuid shared:9 - "
                                               "cgroup2 cgroup2 rw,nsdelegate\n")
                                 << QByteArray("/sys/fs/cgroup");
        QTest::newRow("hybrid")
            << QByteArray("30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
                          "31 30 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
                          "40 30 0:37 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n")
            << QByteArray("/sys/fs/cgroup/unified");
        QTest::newRow("v1 only") << QByteArray("31 30 0:28 / /sys/fs/cgroup/cpu rw - cgroup "
                                               "cgroup rw,cpu\n")
                                 << QByteArray();
        QTest::newRow("a container's view of a subtree is skipped")
            << QByteArray("50 40 0:37 /docker/abc /sys/fs/cgroup ro - cgroup2 cgroup2 rw\n")
            << QByteArray();
        QTest::newRow("escaped space") << QByteArray("36 35 0:30 / /mnt/c\\040g rw - cgroup2 "
                                                     "cgroup2 rw\n")
                                       << QByteArray("/mnt/c g");
    }
    void mountInfo() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, mountPoint);
        QCOMPARE(CgroupPaths::parseMountInfo(text), mountPoint);
    }
};

QTEST_GUILESS_MAIN(TestSocketTable)
#include "tst_sockettable.moc"
