// The kernel's socket table: netlink and the /proc/net fallback against
// sockets the test opens itself.

#include "scanner/CgroupPaths.h"
#include "scanner/FreePorts.h"
#include "scanner/SocketCloseWatch.h"
#include "scanner/SocketTable.h"
#include "scanner/SocketWatch.h"

#include <QSignalSpy>
#include <QTest>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// One socket of the test's own, closed with the test; the family follows the address.
struct OwnSocket {
    int fd = -1;
    quint16 port = 0;
    quint64 inode = 0;

    OwnSocket(int type, const char *address, bool listen, bool v6only = true, bool reuse = false) {
        sockaddr_in6 storage{};
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        const bool v6 = std::strchr(address, ':');
        storage.sin6_family = v6 ? AF_INET6 : AF_INET;
        ::inet_pton(storage.sin6_family, address, v6 ? &storage.sin6_addr : (void *)&in->sin_addr);
        socklen_t length = v6 ? sizeof storage : sizeof *in;
        fd = ::socket(storage.sin6_family, type | SOCK_CLOEXEC, 0);
        const int only = v6only ? 1 : 0;
        if (v6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
        const int on = 1;
        if (reuse)
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct stat st {};
        if (::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0 ||
            (listen && ::listen(fd, 4) != 0) ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0 ||
            ::fstat(fd, &st) != 0) {
            ::close(fd);
            fd = -1;
            return;
        }
        port = ntohs(storage.sin6_port); // where sin_port is, too
        inode = st.st_ino;
    }
    ~OwnSocket() {
        if (fd >= 0)
            ::close(fd);
    }
    OwnSocket(const OwnSocket &) = delete;
    OwnSocket &operator=(const OwnSocket &) = delete;

    void close() { ::close(std::exchange(fd, -1)); }
    // A connection to this listener, accepted and closed at both ends.
    bool connectAndClose(const char *address) const {
        const OwnSocket client(SOCK_STREAM, address, false);
        sockaddr_in6 to{};
        socklen_t length = sizeof to;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&to), &length) != 0 ||
            ::connect(client.fd, reinterpret_cast<sockaddr *>(&to), length) != 0)
            return false;
        const int accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        return accepted >= 0 && ::close(accepted) == 0;
    }
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

// A situation for the free-port rule: the sockets the test opens, what the
// seam says of the machine, and the verdict on the port.
struct Situation {
    enum Sockets { NoSocket, Tcp4Any, Tcp6Only, TcpDual, Tcp4Loopback, Udp4Any, TimeWait };
    Sockets sockets = NoSocket;
    int protocols = FreePorts::Tcp;
    bool tableEmpty = false; // only the probe speaks
    quint32 uid = 0;
    QByteArray range = "1 2", reserved = {}, unprivilegedStart = "1024";
    enum Probe { RealProbe, Binds, NoIPv6, NoFamily } probe = RealProbe;
    quint16 port = 0; // without a socket of the test's
    bool askedFor = false;
    QString published = {}; // the protocol a container publishes the port for

    PortVerdict::Reason reason = PortVerdict::Reason::Free;
    QString protocol = {};
};

} // namespace

Q_DECLARE_METATYPE(Situation)

class TestSocketTable : public QObject {
    Q_OBJECT

private slots:
    // Whether a port is free to listen on, or why not: real sockets of the
    // test's, and the machine's settings through the rule's seam.
    void freePort_data() {
        using R = PortVerdict::Reason;
        using S = Situation;
        QTest::addColumn<Situation>("c");
        const auto row = [](const char *name, Situation c) { QTest::newRow(name) << c; };
        row("IPv4 wildcard listener",
            {.sockets = S::Tcp4Any, .reason = R::Held, .protocol = "TCP"});
        row("IPv6-only listener", {.sockets = S::Tcp6Only, .reason = R::Held, .protocol = "TCP"});
        row("dual-stack listener", {.sockets = S::TcpDual, .reason = R::Held, .protocol = "TCP"});
        row("127.0.0.1 listener",
            {.sockets = S::Tcp4Loopback, .reason = R::Held, .protocol = "TCP"});
        row("another user's listener",
            {.sockets = S::Tcp4Any, .uid = 4321, .reason = R::HeldByOther, .protocol = "TCP"});
        row("UDP socket, asked for TCP", {.sockets = S::Udp4Any});
        row("UDP socket, asked for both", {.sockets = S::Udp4Any,
                                           .protocols = FreePorts::Both,
                                           .reason = R::Held,
                                           .protocol = "UDP"});
        row("TIME_WAIT of a closed connection", {.sockets = S::TimeWait});
        // What the table missed (another network namespace's view, a cut
        // table), the probe of each family on the wildcard still finds.
        row("probe: IPv4 wildcard listener", {.sockets = S::Tcp4Any,
                                              .tableEmpty = true,
                                              .reason = R::ProbeFailed,
                                              .protocol = "TCP"});
        row("probe: IPv6-only listener", {.sockets = S::Tcp6Only,
                                          .tableEmpty = true,
                                          .reason = R::ProbeFailed,
                                          .protocol = "TCP"});
        row("probe: 127.0.0.1 listener", {.sockets = S::Tcp4Loopback,
                                          .tableEmpty = true,
                                          .reason = R::ProbeFailed,
                                          .protocol = "TCP"});
        row("ephemeral range",
            {.range = "40000 40100", .probe = S::Binds, .port = 40100, .reason = R::Ephemeral});
        row("ephemeral range, asked for",
            {.range = "40000 40100", .probe = S::Binds, .port = 40100, .askedFor = true});
        row("reserved range", {.reserved = "7000,40000-40100",
                               .probe = S::Binds,
                               .port = 40000,
                               .reason = R::Reserved});
        row("reserved single port", {.reserved = "7000,40000-40100",
                                     .probe = S::Binds,
                                     .port = 7000,
                                     .reason = R::Reserved});
        row("reserved, asked for",
            {.reserved = "40000-40100", .probe = S::Binds, .port = 40000, .askedFor = true});
        row("privileged, ordinary user",
            {.uid = 4321, .probe = S::Binds, .port = 1023, .reason = R::Privileged});
        row("privileged, root", {.probe = S::Binds, .port = 1023});
        row("privileged, lowered start",
            {.uid = 4321, .unprivilegedStart = "80", .probe = S::Binds, .port = 80});
        row("published by address translation alone", {.probe = S::Binds,
                                                       .port = 5000,
                                                       .published = "TCP",
                                                       .reason = R::Published,
                                                       .protocol = "TCP"});
        row("published for UDP, asked for TCP",
            {.probe = S::Binds, .port = 5000, .published = "UDP"});
        row("published, its proxy's socket held",
            {.sockets = S::Tcp4Any, .published = "TCP", .reason = R::Published, .protocol = "TCP"});
        row("machine without IPv6", {.probe = S::NoIPv6, .port = 5000});
        row("machine without a family",
            {.probe = S::NoFamily, .port = 5000, .reason = R::ProbeFailed});
    }
    void freePort() {
        QFETCH(Situation, c);
        std::optional<OwnSocket> held;
        switch (c.sockets) {
        case Situation::NoSocket:
            break;
        case Situation::Tcp4Any:
            held.emplace(SOCK_STREAM, "0.0.0.0", true);
            break;
        case Situation::Tcp6Only:
        case Situation::TcpDual:
            held.emplace(SOCK_STREAM, "::", true, c.sockets == Situation::Tcp6Only);
            break;
        case Situation::Tcp4Loopback:
            held.emplace(SOCK_STREAM, "127.0.0.1", true);
            break;
        case Situation::Udp4Any:
            held.emplace(SOCK_DGRAM, "0.0.0.0", false);
            break;
        case Situation::TimeWait:
            // A server that closed its end first, with SO_REUSEADDR as servers
            // set it so that they can start again at once.
            held.emplace(SOCK_STREAM, "127.0.0.1", true, true, true);
            QVERIFY(held->connectAndClose("127.0.0.1"));
            held->close();
            break;
        }
        if (held && held->port == 0)
            QSKIP("cannot bind that socket here");
        const quint16 port = held ? held->port : c.port;

        FreePorts::System system = FreePorts::System::real();
        if (c.tableEmpty)
            system.table.sockets.clear();
        system.uid = c.uid;
        system.readSetting = [&](const char *name) {
            const QByteArrayView file(name);
            return file == "ip_local_port_range"       ? c.range
                   : file == "ip_local_reserved_ports" ? c.reserved
                                                       : c.unprivilegedStart;
        };
        if (c.probe != Situation::RealProbe)
            system.probe = [&](int family, int, quint16) {
                return c.probe == Situation::Binds                         ? 0
                       : c.probe == Situation::NoIPv6 && family == AF_INET ? 0
                                                                           : EAFNOSUPPORT;
            };
        if (!c.published.isEmpty())
            system.published = {{c.published, port, "127.0.0.1", "web-1"}};
        const FreePorts rule(system, c.protocols);
        const PortVerdict verdict =
            rule.check(port, c.askedFor ? std::optional(port) : std::nullopt);
        QCOMPARE(verdict.reason, c.reason);
        QCOMPARE(verdict.protocol, c.protocol);
        if (c.reason == PortVerdict::Reason::Held) {
            QCOMPARE(verdict.pid, qint32(::getpid()));
            QCOMPARE(verdict.text(),
                     QStringLiteral("held by PID %1 (tst_sockettable)").arg(::getpid()));
        }
        if (c.reason == PortVerdict::Reason::Published)
            QCOMPARE(verdict.text(), "published by the container web-1");
        if (c.reason == PortVerdict::Reason::ProbeFailed && c.sockets != Situation::NoSocket)
            QCOMPARE(verdict.error, EADDRINUSE);
    }

    // Each netlink query (TCP and UDP, each family), and from both sources the
    // same row, with the address as lsof prints it.
    void ownSockets_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("bindTo");
        QTest::addColumn<bool>("v6only");
        QTest::addColumn<QString>("address");
        const int tcp = SOCK_STREAM, udp = SOCK_DGRAM;
        QTest::newRow("TCP IPv4 loopback") << tcp << "127.0.0.1" << true << "127.0.0.1";
        QTest::newRow("TCP IPv6 loopback") << tcp << "::1" << true << "[::1]";
        QTest::newRow("TCP IPv4 wildcard") << tcp << "0.0.0.0" << true << "*";
        QTest::newRow("TCP IPv4-mapped IPv6") << tcp << "::ffff:127.0.0.1" << false << "127.0.0.1";
        QTest::newRow("UDP IPv6 wildcard") << udp << "::" << true << "*";
    }
    void ownSockets() {
        QFETCH(int, type);
        QFETCH(QString, bindTo);
        QFETCH(bool, v6only);
        QFETCH(QString, address);
        const OwnSocket own(type, bindTo.toLatin1().constData(), type == SOCK_STREAM, v6only);
        if (own.fd < 0)
            QSKIP(qPrintable(QStringLiteral("cannot bind %1 here").arg(bindTo)));

        const SocketTableResult netlink = SocketTable::read();
        QCOMPARE(netlink.source, SocketTableResult::Source::Netlink);
        QVERIFY2(!netlink.errorText, qPrintable(netlink.errorText.value_or(QString())));
        const KernelSocket *row = find(netlink, own.inode);
        QVERIFY2(row, "the test's own socket is not in the table");
        QCOMPARE(row->protocol, type == SOCK_STREAM ? "TCP" : "UDP");
        QCOMPARE(row->ipv6, bindTo.contains(u':'));
        QCOMPARE(row->address, address);
        QCOMPARE(row->port, own.port);
        QCOMPARE(row->uid, quint32(::getuid()));

        // Netlink refused: the text tables give the same row, without a cgroup or cookie.
        const SocketTableResult proc = SocketTable::read(refusingNetlink());
        QCOMPARE(proc.source, SocketTableResult::Source::ProcNet);
        QVERIFY(!proc.errorText);
        const KernelSocket *fallback = find(proc, own.inode);
        QVERIFY2(fallback, "the fallback misses the test's own socket");
        KernelSocket expected = *row;
        expected.cgroupId = 0;
        expected.cookie = 0;
        QCOMPARE(*fallback, expected);
    }

    // A TCP socket that is bound but does not listen is no listener; a
    // connected UDP socket is listed, as lsof lists it.
    void onlyListenersAndUdp() {
        const OwnSocket bound(SOCK_STREAM, "127.0.0.1", false);
        const OwnSocket udp(SOCK_DGRAM, "127.0.0.1", false);
        QVERIFY(bound.fd >= 0 && udp.fd >= 0);
        sockaddr_in peer{AF_INET, htons(9), {htonl(INADDR_LOOPBACK)}, {}};
        QCOMPARE(::connect(udp.fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer), 0);
        for (const SocketTableResult &table :
             {SocketTable::read(), SocketTable::read(refusingNetlink())}) {
            QVERIFY(!find(table, bound.inode));
            QVERIFY(find(table, udp.inode));
        }
    }

    // More sockets than the cap: what was read stays, with an error text.
    // Neither source: an error text, no rows.
    void bounds_data() {
        QTest::addColumn<bool>("netlink");
        QTest::addColumn<QByteArray>("procRoot");
        QTest::addColumn<int>("read");
        QTest::newRow("netlink over the cap") << true << QByteArray("/proc") << 1;
        QTest::newRow("/proc/net over the cap") << false << QByteArray("/proc") << 1;
        QTest::newRow("nothing readable") << false << QByteArray("/nonexistent") << 0;
    }
    void bounds() {
        QFETCH(bool, netlink);
        QFETCH(QByteArray, procRoot);
        QFETCH(int, read);
        const OwnSocket a(SOCK_DGRAM, "127.0.0.1", false);
        const OwnSocket b(SOCK_DGRAM, "127.0.0.1", false);
        SocketTable::Options options = netlink ? SocketTable::Options{} : refusingNetlink();
        options.cap = 1;
        options.procRoot = procRoot;
        const SocketTableResult table = SocketTable::read(options);
        QCOMPARE(table.sockets.size(), read);
        QCOMPARE(table.source == SocketTableResult::Source::None, read == 0);
        QVERIFY(table.errorText);
        QCOMPARE(table.errorText->contains(u"more than 1 sockets"), read == 1);
    }

    // A stop's watch for a port taken again: a table cut at its cap may lack
    // the newcomer, so the watch asks for a scan instead of waiting on it; a
    // whole table with nothing new keeps it waiting.
    void watchPastTheCap_data() {
        QTest::addColumn<qsizetype>("cap");
        QTest::addColumn<bool>("asksForScan");
        QTest::newRow("more sockets than the cap") << qsizetype(1) << true;
        QTest::newRow("the whole table, nothing new") << SocketTable::Options{}.cap << false;
    }
    void watchPastTheCap() {
        QFETCH(qsizetype, cap);
        QFETCH(bool, asksForScan);
        const OwnSocket a(SOCK_DGRAM, "127.0.0.1", false);
        const OwnSocket b(SOCK_DGRAM, "127.0.0.1", false);
        QVERIFY(a.fd >= 0 && b.fd >= 0);
        SocketWatch watch({a.port}, cap);
        QCOMPARE(
            watch.waitForNewSocket(QDeadlineTimer(asksForScan ? 60000 : 300), [] { return true; }),
            asksForScan);
    }

    // A listed socket's destruction reaches the watch, and nothing else does:
    // not a connection to the listener, not an unlisted socket like it.
    void closedAtOnce_data() {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("bindTo");
        QTest::addColumn<bool>("peer");
        QTest::addColumn<bool>("closedBeforeListed");
        const int tcp = SOCK_STREAM, udp = SOCK_DGRAM;
        QTest::newRow("TCP IPv4 listener") << tcp << "127.0.0.1" << true << false;
        QTest::newRow("TCP IPv6 listener") << tcp << "::1" << true << false;
        QTest::newRow("UDP IPv4 socket") << udp << "127.0.0.1" << false << false;
        QTest::newRow("UDP IPv6 connected socket") << udp << "::1" << true << false;
        QTest::newRow("closed while being listed") << tcp << "127.0.0.1" << false << true;
    }
    void closedAtOnce() {
        QFETCH(int, type);
        QFETCH(QString, bindTo);
        QFETCH(bool, peer);
        QFETCH(bool, closedBeforeListed);
        const QByteArray address = bindTo.toLatin1();
        OwnSocket listed(type, address, type == SOCK_STREAM);
        OwnSocket unlisted(type, address, type == SOCK_STREAM);
        if (listed.fd < 0 || unlisted.fd < 0)
            QSKIP(qPrintable(QStringLiteral("cannot bind %1 here").arg(bindTo)));
        SocketCloseWatch watch;
        QVERIFY(watch.isActive());
        QSignalSpy closed(&watch, &SocketCloseWatch::closed);
        if (closedBeforeListed)
            listed.close();
        watch.setInodes({listed.inode});
        if (peer && type == SOCK_STREAM)
            QVERIFY(listed.connectAndClose(address));
        if (peer && type == SOCK_DGRAM) {
            sockaddr_in6 to{AF_INET6, htons(9), 0, IN6ADDR_LOOPBACK_INIT, 0};
            QCOMPARE(::connect(listed.fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        }
        unlisted.close();
        listed.close();
        QVERIFY(closed.wait(60000));
        QCOMPARE(closed.count(), 1);
        QCOMPARE(closed.first().first().value<QList<quint64>>(), QList<quint64>{listed.inode});
    }

    // Where the kernel refuses the multicast or the socket table, the watch
    // is inactive and callers keep their timer.
    void closeWatchRefused_data() {
        QTest::addColumn<QList<int>>("domains"); // what each open gives; then refusals
        QTest::addColumn<bool>("activeAtFirst");
        QTest::newRow("netlink refused") << QList<int>{} << false;
        QTest::newRow("groups refused") << QList<int>{AF_INET} << false;
        QTest::newRow("table refused") << QList<int>{AF_NETLINK} << true;
    }
    void closeWatchRefused() {
        QFETCH(QList<int>, domains);
        QFETCH(bool, activeAtFirst);
        SocketCloseWatch::Options options;
        options.openSocket = [domains](int, int type, int protocol) mutable {
            if (domains.isEmpty()) {
                errno = EACCES;
                return -1;
            }
            const int domain = domains.takeFirst();
            return ::socket(domain, type, domain == AF_NETLINK ? protocol : 0);
        };
        SocketCloseWatch watch(options);
        QCOMPARE(watch.isActive(), activeAtFirst);
        watch.setInodes({1});
        QVERIFY(!watch.isActive());
    }

    // More destructions than the watch's buffer holds before it reads them:
    // the caller is told to scan again.
    void closeWatchOverrun() {
        SocketCloseWatch::Options options;
        options.openSocket = [](int domain, int type, int protocol) {
            const int fd = ::socket(domain, type, protocol);
            const int smallest = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
            return fd;
        };
        SocketCloseWatch watch(options);
        QSignalSpy overrun(&watch, &SocketCloseWatch::overrun);
        // A listener of the test's own tells when the kernel has sent them all.
        const UniqueFd observer(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        const sockaddr_nl group{AF_NETLINK, 0, 0, 1u << (SKNLGRP_INET_UDP_DESTROY - 1)};
        const timeval bound{60, 0};
        QVERIFY(::bind(observer.get(), reinterpret_cast<const sockaddr *>(&group), sizeof group) ==
                    0 &&
                ::setsockopt(observer.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) == 0);
        QSet<quint16> ports;
        for (int i = 0; i < 32; ++i)
            ports.insert(OwnSocket(SOCK_DGRAM, "127.0.0.1", false).port);
        while (!ports.isEmpty()) {
            struct {
                nlmsghdr header;
                inet_diag_msg message;
            } sent;
            QVERIFY(::recv(observer.get(), &sent, sizeof sent, 0) == sizeof sent);
            ports.remove(ntohs(sent.message.id.idiag_sport));
        }
        QVERIFY(overrun.wait(60000));
    }

    // The kernel's filter, on messages shaped like the kernel's: only a TCP
    // socket with a peer is dropped.
    void closeFilter_data() {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("peerWord"); // which word of the peer's address is set; -1: none
        QTest::addColumn<int>("attribute");
        QTest::addColumn<bool>("kept");
        const int tcp = IPPROTO_TCP, udp = IPPROTO_UDP, protocol = INET_DIAG_PROTOCOL;
        QTest::newRow("TCP connection") << tcp << 0 << protocol << false;
        QTest::newRow("TCP IPv6 connection") << tcp << 3 << protocol << false;
        QTest::newRow("TCP listener") << tcp << -1 << protocol << true;
        QTest::newRow("UDP with a peer") << udp << 0 << protocol << true;
        QTest::newRow("another attribute first") << tcp << 0 << int(INET_DIAG_INFO) << true;
        QTest::newRow("no attribute") << tcp << 0 << -1 << true;
    }
    void closeFilter() {
        QFETCH(int, protocol);
        QFETCH(int, peerWord);
        QFETCH(int, attribute);
        QFETCH(bool, kept);
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
        const UniqueFd sender(pair[0]), receiver(pair[1]);
        QVERIFY(SocketCloseWatch::attachFilter(receiver.get()));
        struct {
            nlmsghdr header;
            inet_diag_msg message;
            rtattr attribute;
            quint8 value[4];
        } message{};
        if (peerWord >= 0)
            message.message.id.idiag_dst[peerWord] = htonl(INADDR_LOOPBACK);
        message.attribute = {RTA_LENGTH(1), quint16(attribute)};
        message.value[0] = quint8(protocol);
        const size_t length = attribute < 0 ? NLMSG_LENGTH(sizeof message.message) : sizeof message;
        message.header.nlmsg_len = quint32(length);
        QCOMPARE(::send(sender.get(), &message, length, 0), ssize_t(length));
        char buffer[sizeof message];
        QCOMPARE(::recv(receiver.get(), buffer, sizeof buffer, MSG_DONTWAIT) == ssize_t(length),
                 kept);
    }

    // The uid is read from its own field (the tests' sockets are root's, like
    // the timeout's 0); connections and malformed lines give nothing.
    void procNetLines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("ipv6");
        QTest::addColumn<int>("uid"); // -1: no socket
        QTest::newRow("another user's listener")
            << QByteArray("   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 "
                          "00000000   107        0 21554 1 0000000000000000 100 0 0 10 0")
            << false << 107;
        // Bound TCP sockets are not in /proc/net; connections are.
        QTest::newRow("TCP connection")
            << QByteArray("   1: 0100007F:1F90 0100007F:C350 01 00000000:00000000 00:00000000 "
                          "00000000  1000        0 21555 1 0000000000000000 20 4 0 10 -1")
            << false << -1;
        QTest::newRow("short address for IPv6")
            << QByteArray("   0: 0100007F:1F90 00000000:0000 0A a b c 107 0 21554") << true << -1;
        QTest::newRow("not hex") << QByteArray("   0: 0100007G:1F90 00000000:0000 0A 00000000:"
                                               "00000000 00:00000000 00000000 107 0 21554")
                                 << false << -1;
    }
    void procNetLines() {
        QFETCH(QByteArray, line);
        QFETCH(bool, ipv6);
        QFETCH(int, uid);
        const std::optional<KernelSocket> socket = SocketTable::parseProcNetLine(line, true, ipv6);
        QCOMPARE(socket ? int(socket->uid) : -1, uid);
        if (socket)
            QCOMPARE(socket->address + u':' + QString::number(socket->port), "127.0.0.1:8080");
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
