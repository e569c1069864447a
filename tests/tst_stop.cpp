// The stop core, as both front ends use it: which rows are refused and what
// would stop them instead, what keeps a process alive and whether its ports
// are watched, what a scan after the stop reports, and the texts of a
// keeper's stop. Parents come from a /proc tree of the test's own.
#include "FakeSystemCalls.h"
#include "KeeperValues.h"
#include "stop/StopSession.h"
#include "stop/StopText.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

constexpr qint64 me = 1000; // the viewer, unless a row says otherwise

struct Proc {
    qint32 pid;
    QByteArray comm;
    qint32 ppid;
    quint64 start;
    QByteArray cgroup = {}; // its cgroup v2 path, where it has a cgroup file
};

// A /proc tree with a stat file per process: the fields the reader looks at.
struct ProcTree {
    QTemporaryDir root;
    explicit ProcTree(const QList<Proc> &procs) {
        for (const Proc &p : procs) {
            QDir(root.path()).mkpath(QString::number(p.pid));
            QFile cgroup(root.filePath(QString("%1/cgroup").arg(p.pid)));
            if (!p.cgroup.isEmpty() && cgroup.open(QIODevice::WriteOnly))
                cgroup.write("0::" + p.cgroup + '\n');
            QFile stat(root.filePath(QString("%1/stat").arg(p.pid)));
            if (stat.open(QIODevice::WriteOnly))
                stat.write(QByteArray::number(p.pid) + " (" + p.comm + ") S " +
                           QByteArray::number(p.ppid) +
                           " 1 1 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 "
                           "1 0 " +
                           QByteArray::number(p.start) + " 0 0\n");
        }
    }
    StatReader reader() const { return StatReader(QFile::encodeName(root.path())); }
};

PortEntry own(qint32 pid, const QString &name, qint64 port = 8080, quint64 start = 7) {
    PortEntry e(pid, name, "me", "TCP", "IPv4", "127.0.0.1", port, "LISTEN");
    e.process.startTicks = start;
    e.uid = me;
    return e;
}

// A row of the kernel's table: a socket lsof did not list, of uid.
PortEntry kernelRow(qint64 uid, const QString &user, qint32 pid = 0, qint64 port = 8080) {
    PortEntry e(pid, {}, user, "TCP", "IPv4", "*", port, "LISTEN");
    e.fromKernel = true;
    e.uid = uid;
    return e;
}

PortEntry inUnit(PortEntry e, const QString &unit, qint64 userManager = -1) {
    e.process.unit = unit;
    e.process.userUnit = userManager >= 0;
    e.process.userManagerUid = userManager;
    return e;
}

PortEntry kept(PortEntry e, const Keeper &keeper) {
    e.keeper = keeper;
    return e;
}

// The server stopped in the respawn cases: pid 42, a child of bash (7).
const QList<Proc> loop{{42, "server", 7, 7},   {7, "bash", 1, 5}, {43, "newcomer", 7, 9},
                       {44, "newcomer", 8, 9}, {8, "sh", 1, 6},   {42 + 1000, "x", 1, 1}};

struct Situation {
    QList<Proc> procs;
    PortEntry row;
    qint64 viewer = me;
    std::optional<Refusal::Kind> refused;
    QString reason;  // the refusal's, where refused
    QString command; // the refusal's
    QString keeper;  // a target's keeper, for people
    bool watched = false;
};

// A row stopped: its target's keeper, and whether its ports are watched.
Situation stops(const QList<Proc> &procs, const PortEntry &row, const QString &keeper = {},
                bool watched = false) {
    Situation s;
    s.procs = procs;
    s.row = row;
    s.keeper = keeper;
    s.watched = watched;
    return s;
}

// A row refused, as viewer sees it.
Situation refuses(const PortEntry &row, Refusal::Kind kind, const QString &reason,
                  const QString &command = {}, qint64 viewer = me) {
    Situation s;
    s.row = row;
    s.refused = kind;
    s.reason = reason;
    s.command = command;
    s.viewer = viewer;
    return s;
}

} // namespace

Q_DECLARE_METATYPE(Situation)
Q_DECLARE_METATYPE(ContainerTies)

class TestStop : public QObject {
    Q_OBJECT

private slots:
    // One row asked to stop: refused with why and what would stop it, or a
    // target with what restarts it (and so whether its ports are watched).
    // The engine's check comes first, then the owner's, then certainty.
    void situations_data() {
        QTest::addColumn<Situation>("s");
        using R = Refusal::Kind;
        const QList<Proc> byInit{{42, "server", 1, 7}, {1, "systemd", 0, 1}};
        const QString others = "Quayline stops only your own processes; port 8080 is held by %1.";
        QTest::newRow("own process, started by pid 1") << stops(byInit, own(42, "server"));
        QTest::newRow("own process, pid 1 is a container's init under another name")
            << stops({{42, "server", 1, 7}, {1, "tini", 0, 1}}, own(42, "server"));
        QTest::newRow("own process, started by the user's service manager")
            << stops({{42, "server", 900, 7}, {900, "systemd", 1, 2}}, own(42, "server"));
        QTest::newRow("own process under a shell loop")
            << stops(loop, own(42, "server"), "PID 7 (bash)", true);
        QTest::newRow("own unit, Restart=always")
            << stops(byInit, kept(own(42, "server"), service("demo.service", "always")),
                     "the service demo.service (Restart=always)", true);
        QTest::newRow("own unit, Restart= could not be read: watched all the same")
            << stops(byInit, kept(own(42, "server"), service("demo.service", "")),
                     "the service demo.service", true);
        QTest::newRow("own unit, Restart=no")
            << stops(byInit, kept(own(42, "server"), service("demo.service", "no")),
                     "the service demo.service (Restart=no)");
        QTest::newRow("own container, policy could not be read") << stops(
            byInit, kept(own(42, "server"), container("web-1")), "the container web-1", true);
        QTest::newRow("another user's system service") << refuses(
            inUnit(kernelRow(999, "postgres"), "postgresql.service"), R::OtherUser,
            others.arg("postgres, postgresql.service"), "systemctl stop postgresql.service");
        QTest::newRow("a unit named with shell syntax is quoted") << refuses(
            inUnit(kernelRow(999, "eve"), "a;id $(id).service"), R::OtherUser,
            others.arg("eve, a;id $(id).service"), "systemctl stop 'a;id $(id).service'");
        QTest::newRow("another user's user unit: never this user's namesake")
            << refuses(inUnit(kernelRow(1002, "bob"), "ssh.service", 1002), R::OtherUser,
                       others.arg("bob, ssh.service"));
        QTest::newRow("another user's whole manager")
            << refuses(inUnit(kernelRow(1002, "bob"), "user@1002.service"), R::OtherUser,
                       others.arg("bob, user@1002.service"));
        QTest::newRow("another user's process: root's stop would refuse it too")
            << refuses(kernelRow(1002, "bob", 4242), R::OtherUser, others.arg("bob"));
        PortEntry podman = kernelRow(1002, "bob");
        podman.process.container = "3f2a9c01d4e5b6a7";
        podman.process.containerTool = "podman";
        podman.containerName = "web 1";
        QTest::newRow("another user's Podman container")
            << refuses(podman, R::OtherUser, others.arg("bob, web 1"), "podman stop 'web 1'");
        PortEntry proxy = own(42, "docker-proxy");
        QTest::newRow("a process of yours named docker-proxy is no engine's")
            << stops(byInit, proxy);
        proxy.user = "root";
        proxy.uid = 0;
        QTest::newRow("docker-proxy, its container named: root's stop is refused too")
            << refuses(kept(proxy, container("web-1", "always")), R::ContainerEngine,
                       "Port 8080 is published by the container web-1 through docker-proxy. "
                       "Signalling docker-proxy would break the port and leave the container "
                       "running.",
                       "quayline-cli stop --container 8080", 0);
        // Rootless engines' proxies run as the user: the user's engine decides.
        PortEntry rootless = own(42, "rootlessport");
        rootless.proxyCheck = PortEntry::ProxyCheck::Publishes;
        QTest::newRow("your rootlessport, your Podman names the container: refused")
            << refuses(kept(rootless, container("web-1")), R::ContainerEngine,
                       "Port 8080 is published by the container web-1 through rootlessport. "
                       "Signalling rootlessport would break the port and leave the container "
                       "running.",
                       "quayline-cli stop --container 8080");
        rootless.proxyCheck = PortEntry::ProxyCheck::PublishesNot;
        QTest::newRow("your process named rootlessport, no container publishes its port")
            << stops(byInit, rootless);
        const QString unconfirmed =
            "Port 8080 is held by PID 42 (%1), which looks like a rootless container's port "
            "proxy, but no container engine of yours answered to confirm it. Signalling it would "
            "break the port and leave the container running; “%2 ps --filter publish=8080” "
            "finds the container, and “%2 stop” stops it.";
        QTest::newRow("your pasta, no engine of yours answered: refused, with how to stop it")
            << refuses(own(42, "pasta"), R::ContainerEngine, unconfirmed.arg("pasta", "podman"),
                       "kill 42");
        QTest::newRow("rootlesskit-docker-proxy as the kernel cuts its name, unconfirmed")
            << refuses(own(42, "rootlesskit-doc"), R::ContainerEngine,
                       unconfirmed.arg("rootlesskit-doc", "docker"), "kill 42");
        PortEntry theirProxy = kernelRow(1002, "bob", 4242);
        theirProxy.processName = "rootlessport";
        QTest::newRow("another user's rootlessport: their container, named as a kind") << refuses(
            theirProxy, R::OtherUser, others.arg("a rootless container of bob (Podman)"));
        QTest::newRow("another user's rootlessport, seen by root") << refuses(
            theirProxy, R::OtherUser, others.arg("a rootless container of bob (Podman)"), {}, 0);
        const QString unnamed =
            "Port 8080 is published by a container through docker.service, which Quayline "
            "cannot name without access to the container engine. Signalling docker.service "
            "would break the port and leave the container running; “docker ps --filter "
            "publish=8080” finds the container, and “docker stop” stops it.";
        const PortEntry engineUnit = inUnit(kernelRow(0, "root"), "docker.service");
        QTest::newRow("the engine's unit, seen outside the docker group: engine first") << refuses(
            engineUnit, R::ContainerEngine, unnamed, "sudo quayline-cli stop --container 8080");
        QTest::newRow("the engine's unit, seen by root") << refuses(
            engineUnit, R::ContainerEngine, unnamed, "docker ps --filter publish=8080", 0);
        // Socket activation: the manager holds the port for its socket unit.
        PortEntry init = own(1, "systemd");
        init.user = "root";
        const QString byPid1 = "Port 8080 is held by PID 1 (systemd), the system's service "
                               "manager, for a socket unit; signalling it would not free the "
                               "port. “systemctl list-sockets” names the unit, and “%1 stop "
                               "UNIT” stops it.";
        QTest::newRow("pid 1 holds it for a socket unit, for root: no sudo")
            << refuses(init, R::ServiceManager, byPid1.arg("systemctl"), {}, 0);
        QTest::newRow("pid 1 holds it for a socket unit, for a user: with sudo")
            << refuses(init, R::ServiceManager, byPid1.arg("sudo systemctl"));
        QTest::newRow("your own service manager holds it for a socket unit")
            << refuses(inUnit(own(900, "systemd"), "user@1000.service"), R::ServiceManager,
                       "Port 8080 is held by PID 900, the service manager of me, for a socket "
                       "unit; signalling it would end that user's services. “systemctl --user "
                       "list-sockets” names the unit, and “systemctl --user stop UNIT” stops it.");
        const QString found = "Port 8080 is held by %1, for the socket unit ssh.socket; "
                              "signalling it would not free the port.";
        QTest::newRow("pid 1 holds it for a socket unit that was found")
            << refuses(kept(init, service("ssh.socket", "")), R::ServiceManager,
                       found.arg("PID 1 (systemd), the system's service manager"),
                       "systemctl stop ssh.socket", 0);
        QTest::newRow("root's socket in pid 1's cgroup, for a user: with sudo")
            << refuses(kept(inUnit(kernelRow(0, "root"), "init.scope"), service("ssh.socket", "")),
                       R::ServiceManager, found.arg("the system's service manager"),
                       "sudo systemctl stop ssh.socket");
        Keeper userSocket = service("dev 1.socket", "");
        userSocket.userUnit = true;
        QTest::newRow("your own service manager, in its init.scope, for a socket unit found")
            << refuses(kept(inUnit(own(900, "systemd"), "init.scope", me), userSocket),
                       R::ServiceManager,
                       "Port 8080 is held by PID 900, the service manager of me, for the socket "
                       "unit dev 1.socket; signalling it would end that user's services.",
                       "systemctl --user stop 'dev 1.socket'");
        const QString unfound = "Port 8080 is held by PID 900, the service manager of bob, for a "
                                "socket unit; signalling it would end that user's services. "
                                "“systemctl --user list-sockets” names the unit, and “systemctl "
                                "--user stop UNIT” stops it.";
        PortEntry bobs = inUnit(own(900, "systemd"), "init.scope", 1002);
        bobs.user = "bob";
        bobs.uid = 1002;
        QTest::newRow("another user's service manager: no stop through yours")
            << refuses(kept(bobs, userSocket), R::ServiceManager, unfound);
        bobs.process.userManagerUid = me;
        QTest::newRow("a process named systemd in a cgroup of another user's making")
            << refuses(kept(bobs, userSocket), R::ServiceManager, unfound);
        // The kernel's own sockets: whoever asks, nothing to signal, no
        // sudo and no stop to offer; where it names an interface, how to see it.
        const QString kernel = "No process holds port 8080/TCP: the kernel does";
        PortEntry tunnel = inUnit(kernelRow(0, "root"), "session-2.scope");
        tunnel.kernelHeld = true;
        QTest::newRow("a tunnel's port, for a user") << refuses(tunnel, R::Kernel, kernel + '.');
        tunnel.kernelUse = "vxlan vx0";
        QTest::newRow("a tunnel's port, for root") << refuses(
            tunnel, R::Kernel,
            kernel + ", for the VXLAN interface vx0 (“ip -d link show vx0” shows it).", {}, 0);
        tunnel.kernelUse = "geneve a;b";
        QTest::newRow("an interface named with shell syntax is quoted") << refuses(
            tunnel, R::Kernel,
            kernel + ", for the Geneve interface a;b (“ip -d link show 'a;b'” shows it).");
        tunnel.kernelUse = "lockd";
        QTest::newRow("lockd's port")
            << refuses(tunnel, R::Kernel, kernel + ", for the NFS lock manager (lockd).");
        tunnel.kernelUse = "nfsd";
        QTest::newRow("nfsd's port")
            << refuses(tunnel, R::Kernel, kernel + ", for the NFS server (nfsd).", {}, 0);
        QTest::newRow("own socket, no certain process")
            << refuses(inUnit(kernelRow(me, "me"), "user@1000.service"), R::Uncertain,
                       "Quayline cannot tell which of your processes holds port 8080.");
        PortEntry ownSocket = kernelRow(me, "me", 42);
        ownSocket.process.uid = me;
        QTest::newRow("own socket of the kernel's table, its process certain")
            << stops(byInit, ownSocket);
        ownSocket.process.uid = 1002;
        QTest::newRow("own socket of the kernel's table, another user's process")
            << refuses(ownSocket, R::OtherUser, others.arg("me"));
    }
    void situations() {
        QFETCH(Situation, s);
        const ProcTree proc(s.procs);
        const StopPlan plan = planPortStop({s.row}, {8080, 9}, s.viewer, proc.reader());
        QCOMPARE(plan.unlisted, QList<qint64>{9});
        QCOMPARE(plan.before, PortEntryList{s.row});
        const StopPlan panel = planRowStop(s.row, {s.row}, s.viewer, proc.reader());
        if (s.refused) {
            const Refusal expected{*s.refused, s.reason, s.command};
            QCOMPARE(plan.refusals, QList<Refusal>{expected});
            QCOMPARE(panel.refusals, QList<Refusal>{expected});
            QVERIFY(plan.targets.isEmpty() && panel.targets.isEmpty());
            return;
        }
        QVERIFY(plan.refusals.isEmpty() && panel.refusals.isEmpty());
        QCOMPARE(plan.targets.size(), 1);
        for (const StopTarget &target : {plan.targets[0], panel.targets[0]}) {
            QCOMPARE(target.pid, s.row.pid);
            QCOMPARE(StopText::keeperWithSetting(target.keeper), s.keeper);
            // Watched: looked at once more after the first look finds nothing.
            StopSession session(s.viewer, std::make_shared<FakeSystemCalls>(), proc.reader());
            const auto now = StopSession::Clock::now();
            session.watch(target, {}, now + std::chrono::seconds(5));
            QVERIFY(session.look({}, now).found.isEmpty());
            QCOMPARE(session.keepsWatching(now), s.watched);
            QCOMPARE(session.isWatching(), s.watched);
        }
    }

    // What a scan after the stop of PID 42 on 8080 shows.
    void respawns_data() {
        QTest::addColumn<Keeper>("keeper");          // of the stopped server (annotated)
        QTest::addColumn<PortEntryList>("before");   // other holders of its port before the stop
        QTest::addColumn<PortEntryList>("later");    // what a scan after the stop lists
        QTest::addColumn<QString>("report");         // empty: nothing found
        QTest::addColumn<QString>("reportAtTheEnd"); // for a newcomer without a process yet
        const QString taken = "Port 8080 was taken again by %1 right after PID 42 stopped.";
        const PortEntry newcomer = own(43, "newcomer", 8080, 9);
        QTest::newRow("a loop restarts it")
            << Keeper() << PortEntryList() << PortEntryList{newcomer}
            << taken.arg("PID 43 (newcomer)") + " It was started again by PID 7 (bash)."
            << "";
        QTest::newRow("another parent took the freed port")
            << Keeper() << PortEntryList() << PortEntryList{own(44, "newcomer", 8080, 9)}
            << taken.arg("PID 44 (newcomer)") + " It was started by PID 8 (sh)."
            << "";
        QTest::newRow("the service brings it back")
            << service("demo.service", "always") << PortEntryList()
            << PortEntryList{kept(newcomer, service("demo.service", "always"))}
            << taken.arg("PID 43 (newcomer)") +
                   " It is kept by the service demo.service (Restart=always)."
            << "";
        QTest::newRow("the same pid, a later process")
            << Keeper() << PortEntryList() << PortEntryList{own(42, "server", 8080, 11)}
            << taken.arg("PID 42 (server)") << "";
        QTest::newRow("still the stopped process")
            << Keeper() << PortEntryList() << PortEntryList{own(42, "server")} << ""
            << "";
        PortEntry udp = newcomer;
        udp.networkProtocol = "UDP";
        QTest::newRow("another protocol on the port is no respawn")
            << Keeper() << PortEntryList() << PortEntryList{udp} << ""
            << "";
        const PortEntry twin = own(50, "other", 8080, 3);
        QTest::newRow("a holder from before the stop is not new")
            << Keeper() << PortEntryList{twin} << PortEntryList{twin} << ""
            << "";
        PortEntry theirs = kernelRow(1002, "bob", 4711);
        theirs.processName = "node";
        QTest::newRow("another user took the freed port")
            << Keeper() << PortEntryList() << PortEntryList{theirs}
            << taken.arg("PID 4711 (node), a process of bob,") << "";
        PortEntry handed = kernelRow(me, "me");
        handed.inodes = {500};
        QTest::newRow("its socket was handed to a process the viewer cannot see")
            << Keeper() << PortEntryList() << PortEntryList{handed}
            << "Port 8080 was not freed: another process holds the same socket as PID 42 did."
            << "";
        PortEntry otherHolder = own(50, "other", 8080, 3), sameSocket = kernelRow(1002, "bob");
        otherHolder.inodes = sameSocket.inodes = {501};
        QTest::newRow("another holder's socket from before the stop, now unattributed")
            << Keeper() << PortEntryList{otherHolder} << PortEntryList{sameSocket} << ""
            << "";
        QTest::newRow("only the kernel lists the newcomer yet")
            << Keeper() << PortEntryList()
            << PortEntryList{inUnit(kernelRow(0, "root"), "nginx.service")} << ""
            << taken.arg("a process of root (nginx.service)") +
                   " It is kept by the service nginx.service.";
    }
    void respawns() {
        QFETCH(Keeper, keeper);
        QFETCH(PortEntryList, before);
        QFETCH(PortEntryList, later);
        QFETCH(QString, report);
        QFETCH(QString, reportAtTheEnd);
        const ProcTree proc(loop);
        StopSession session(me, std::make_shared<FakeSystemCalls>(), proc.reader());
        PortEntry server = kept(own(42, "server"), keeper);
        server.inodes = {500};
        const StopPlan plan =
            planRowStop(server, PortEntryList{server} + before, me, proc.reader());
        QCOMPARE(plan.targets.size(), 1);
        const auto now = StopSession::Clock::now(), end = now + std::chrono::seconds(5);
        session.watch(plan.targets[0], plan.before, end);
        const StopSession::Look look = session.look(later, now);
        QCOMPARE(look.found.isEmpty() ? QString() : look.found[0].report(), report);
        QCOMPARE(look.lookAgainSoon, !reportAtTheEnd.isEmpty());
        if (reportAtTheEnd.isEmpty())
            return;
        const StopSession::Look last = session.look(later, end);
        QCOMPARE(last.found.isEmpty() ? QString() : last.found[0].report(), reportAtTheEnd);
        QVERIFY(!session.isWatching());
    }

    // A watch ends at its window's end, and before it once the parent that
    // would restart the process is gone (a shell that ran it as its one command).
    void watchEnds() {
        const ProcTree proc(loop);
        StopSession session(me, std::make_shared<FakeSystemCalls>(), proc.reader());
        const StopPlan plan = planRowStop(own(42, "server"), {}, me, proc.reader());
        const auto now = StopSession::Clock::now();
        session.watch(plan.targets[0], {}, now + std::chrono::seconds(5));
        QVERIFY(session.keepsWatching(now));
        QVERIFY(!session.keepsWatching(now + std::chrono::seconds(5)));
        QVERIFY(QFile::remove(proc.root.filePath("7/stat")));
        QVERIFY(!session.keepsWatching(now));
    }

    // The keeper of a port for stop --service / --container.
    void chooseKeeper_data() {
        QTest::addColumn<PortEntry>("row");
        QTest::addColumn<int>("want");
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<QString>("other");
        QTest::addColumn<bool>("engine");
        const int unit = int(Keeper::Kind::Service), box = int(Keeper::Kind::Container);
        const PortEntry inContainer = kept(own(42, "server"), container("web-1", "always"));
        QTest::newRow("the container, asked for") << inContainer << box << "web-1"
                                                  << "" << false;
        QTest::newRow("a service asked for, a container keeps it") << inContainer << unit << ""
                                                                   << "web-1" << false;
        PortEntry proxy = inUnit(own(42, "docker-proxy"), "docker.service");
        proxy.uid = 0; // the engine's runs as root
        QTest::newRow("never the engine's unit") << proxy << unit << ""
                                                 << "" << true;
        proxy.keeper = container("web-2");
        QTest::newRow("the engine's proxy, its container") << proxy << box << "web-2"
                                                           << "" << true;
        QTest::newRow("another user's user unit: none")
            << inUnit(kernelRow(1002, "bob"), "app.service", 1002) << unit << ""
            << "" << false;
    }
    void chooseKeeper() {
        QFETCH(PortEntry, row);
        QFETCH(int, want);
        QFETCH(QString, wanted);
        QFETCH(QString, other);
        QFETCH(bool, engine);
        const KeeperChoice choice = ::chooseKeeper({&row}, Keeper::Kind(want), me);
        const auto named = [](const std::optional<Keeper> &k) {
            return !k ? QString() : k->kind == Keeper::Kind::Service ? k->unit : k->containerName;
        };
        QCOMPARE(named(choice.wanted), wanted);
        QCOMPARE(named(choice.other), other);
        QCOMPARE(choice.engineHeld, engine);
    }

    // Whether the engine's word ties a container to a port: the holder is
    // pid 42, started at 7, in the container's scope.
    void containerHoldsPort_data() {
        QTest::addColumn<ContainerTies>("ties");
        QTest::addColumn<PortEntry>("holder");
        QTest::addColumn<bool>("holds");
        const ContainerTies first{{}, 50}; // its first process, pid 50
        QTest::newRow("publishes the port")
            << ContainerTies{{{"TCP", 8080}}, 0} << own(42, "x") << true;
        QTest::newRow("publishes it for UDP only")
            << ContainerTies{{{"UDP", 8080}}, 0} << own(42, "x") << false;
        QTest::newRow("publishes another port")
            << ContainerTies{{{"TCP", 9090}}, 0} << own(42, "x") << false;
        QTest::newRow("the holder is its first process")
            << ContainerTies{{}, 42} << own(42, "x") << true;
        QTest::newRow("the holder in its first process's cgroup") << first << own(42, "x") << true;
        QTest::newRow("the holder in a cgroup inside it") << first << own(43, "x") << true;
        QTest::newRow("a folder of that name in a user's tree") << first << own(44, "x") << false;
        QTest::newRow("a sibling named with its name as a prefix")
            << first << own(45, "x") << false;
        QTest::newRow("its first process in no cgroup of its own")
            << ContainerTies{{}, 51} << own(42, "x") << false;
        QTest::newRow("the holder's pid taken by another process since")
            << first << own(42, "x", 8080, 99) << false;
        QTest::newRow("a row without a process") << first << kernelRow(1002, "bob") << false;
    }
    void containerHoldsPort() {
        QFETCH(ContainerTies, ties);
        QFETCH(PortEntry, holder);
        const QByteArray scope = "/system.slice/docker-3f2a9c01d4e5.scope";
        const ProcTree proc(
            {{42, "x", 1, 7, scope},
             {50, "init", 1, 3, scope},
             {51, "init", 1, 3, "/"},
             {43, "x", 1, 7, scope + "/init.scope"},
             {44, "x", 1, 7, "/user.slice/user-1000.slice/user@1000.service" + scope},
             {45, "x", 1, 7, scope + "-x"}});
        QTEST(::containerHoldsPort(ties, {&holder}, proc.reader()), "holds");
    }

    // How each ending of a keeper's stop is said; only two are a stop.
    void keeperOutcome_data() {
        QTest::addColumn<Keeper>("keeper");
        QTest::addColumn<KeeperStopResult>("result");
        QTest::addColumn<QString>("text");
        using K = KeeperStopResult::Kind;
        const Keeper unit = service("demo.service", "always"), box = container("web-1");
        QTest::newRow("stopped") << unit << KeeperStopResult{K::Stopped, {}}
                                 << "Stopped the service demo.service.";
        QTest::newRow("a socket unit stopped")
            << service("ssh.socket", "") << KeeperStopResult{K::Stopped, {}}
            << "Stopped the socket unit ssh.socket.";
        QTest::newRow("already stopped") << box << KeeperStopResult{K::AlreadyStopped, {}}
                                         << "The container web-1 was already stopped.";
        QTest::newRow("gone") << box << KeeperStopResult{K::Gone, "No such container: web-1"}
                              << "The container web-1 no longer exists.";
        QTest::newRow("refused, the manager's words")
            << unit << KeeperStopResult{K::Refused, "Interactive authentication required."}
            << "Not allowed to stop the service demo.service: Interactive authentication "
               "required.";
        QTest::newRow("prompt dismissed")
            << unit << KeeperStopResult{K::Cancelled, {}}
            << "Did not stop the service demo.service: the password prompt was dismissed.";
        QTest::newRow("no engine")
            << box << KeeperStopResult{K::Unavailable, "no engine socket could be opened"}
            << "Could not stop the container web-1: there is no container engine to ask (no "
               "engine socket could be opened).";
        QTest::newRow("no answer in time")
            << unit << KeeperStopResult{K::TimedOut, {}}
            << "No answer in time to the stop of the service demo.service; it may still be "
               "stopping.";
        QTest::newRow("failed") << unit << KeeperStopResult{K::Failed, "Unit demo.service failed."}
                                << "Could not stop the service demo.service: Unit demo.service "
                                   "failed.";
    }
    void keeperOutcome() {
        QFETCH(Keeper, keeper);
        QFETCH(KeeperStopResult, result);
        QFETCH(QString, text);
        QCOMPARE(StopText::keeperOutcome(keeper, result), text);
    }

    // The stages through the system-call seam: SIGTERM, then SIGKILL to the
    // same process only; a refusal changes nothing; a later process on the
    // pid starts again at SIGTERM.
    void stages() {
        QList<QPair<qint32, int>> sent;
        int answer = 0;
        quint64 running = 7;
        auto system = std::make_shared<FakeSystemCalls>();
        system->login = [] { return QStringLiteral("me"); };
        system->kill = [&](qint32 pid, int signal) { return sent.append({pid, signal}), answer; };
        system->processStat = [&](qint32) {
            return ProcessStat{.comm = "server", .state = 'S', .startTicks = running};
        };
        StopSession session(me, system);
        StopTarget target;
        target.pid = 42;
        target.startTicks = 7;
        target.user = "me";
        const auto stage = [&] { return session.stages().next(42, target.startTicks); };
        QVERIFY(!session.press(target));
        QCOMPARE(stage(), StopStages::Stage::Force);
        answer = EPERM;
        QCOMPARE(session.press(target)->kind(), KillError::Kind::PermissionDenied);
        QCOMPARE(stage(), StopStages::Stage::Force);
        answer = 0;
        QVERIFY(!session.press(target));
        QCOMPARE(stage(), StopStages::Stage::Kill);
        QCOMPARE(sent, (QList<QPair<qint32, int>>{{42, SIGTERM}, {42, SIGKILL}, {42, SIGKILL}}));
        target.user = "root";
        QCOMPARE(session.press(target)->kind(), KillError::Kind::NotOwned);
        target.user = "me";
        QVERIFY(!session.press(target));
        running = target.startTicks = 9; // the pid passed on: SIGTERM again
        QCOMPARE(stage(), StopStages::Stage::Kill);
        QVERIFY(session.keepListed({}));
    }

    // The real /proc: the shell this test starts is its child's parent.
    void realParent() {
        QProcess shell;
        // The shell ends its sleep itself once its input closes.
        shell.start("/bin/sh", {"-c", "sleep 30 & echo $!; read x; kill $!"});
        QVERIFY(shell.waitForReadyRead(10000));
        const qint32 child = shell.readLine().trimmed().toInt();
        const StatReading stat = StatReader().read(child);
        QVERIFY(stat.stat);
        const Keeper keeper = parentKeeper(child, stat.stat->startTicks, StatReader());
        QCOMPARE(StopText::keeperWithSetting(keeper),
                 QString("PID %1 (sh)").arg(shell.processId()));
        QCOMPARE(parentKeeper(child, stat.stat->startTicks + 1, StatReader()).kind,
                 Keeper::Kind::None);
        shell.closeWriteChannel();
        QVERIFY(shell.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestStop)
#include "tst_stop.moc"
