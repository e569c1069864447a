// Finding and stopping what keeps a port's holder alive: the service manager
// client against a manager of the test's own on a private bus, the container
// engine client against sockets of the test's own (absent, refusing, silent,
// or answering as an engine does), and the rows' keepers.

#include "EngineSocket.h"
#include "FakeServiceManager.h"
#include "keeper/ContainerStop.h"
#include "keeper/Keepers.h"
#include "keeper/ServiceManager.h"
#include "scanner/ContainerEngine.h"
#include "scanner/ProcessReader.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>
#include <unistd.h>

Q_DECLARE_METATYPE(FakeServiceManager::Unit)

using namespace std::chrono_literals;
using Kind = KeeperStopResult::Kind;
using Authorization = FakeServiceManager::Unit::Authorization;

namespace {

// Every answer of the fake manager comes within milliseconds, but on a loaded
// machine a round trip through the bus can take a good part of a second.
constexpr ServiceManager::Limits testLimits{2000ms, 2000ms, 2000ms};

} // namespace

class TestKeepers : public QObject {
    Q_OBJECT

    // Ended in cleanupTestCase: the bus connections go while Qt's D-Bus thread still runs.
    std::unique_ptr<FakeServiceManager> m_systemFake = std::make_unique<FakeServiceManager>();
    std::unique_ptr<FakeServiceManager> m_userFake = std::make_unique<FakeServiceManager>();
    FakeServiceManager &m_system = *m_systemFake;
    FakeServiceManager &m_user = *m_userFake;
    QTemporaryDir m_dir;

    std::shared_ptr<ServiceManager> manager(FakeServiceManager &fake, bool interactive,
                                            const QString &name) {
        return std::make_shared<ServiceManager>(fake.client(name), interactive, testLimits);
    }

private slots:
    void initTestCase() {
        for (FakeServiceManager *fake : {&m_system, &m_user}) {
            if (const QString skip = fake->start(); !skip.isEmpty())
                QSKIP(qPrintable(skip));
        }
        QVERIFY(m_dir.isValid());
    }

    void cleanupTestCase() {
        m_systemFake.reset();
        m_userFake.reset();
    }

    void init() {
        m_system.clear();
        m_user.clear();
        m_system.setPresent(true);
    }

    // The stop of a unit, non-interactive (wellKnownBuses checks the prompt),
    // from the test's thread or a worker's.
    void stopUnit_data() {
        QTest::addColumn<FakeServiceManager::Unit>("unit");
        QTest::addColumn<bool>("inWorker");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("asksToStop");
        const auto row = [](const char *tag, const FakeServiceManager::Unit &unit, Kind expected,
                            const QString &message = {}, bool asksToStop = true,
                            bool inWorker = false) {
            QTest::newRow(tag) << unit << inWorker << int(expected) << message << asksToStop;
        };
        const QString web = "demo-web.service";
        row("stopped", {web}, Kind::Stopped);
        row("stopped from a worker thread", {web}, Kind::Stopped, {}, true, true);
        row("job ends before StopUnit's answer", {.name = web, .jobEndsBeforeReply = true},
            Kind::Stopped);
        row("already inactive", {.name = web, .activeState = "inactive"}, Kind::AlreadyStopped, {},
            false);
        row("failed earlier", {.name = web, .activeState = "failed"}, Kind::AlreadyStopped, {},
            false);
        row("waiting to be restarted", {.name = web, .activeState = "activating"}, Kind::Stopped);
        row("refused", {.name = web, .authorization = Authorization::Denied}, Kind::Refused,
            "Access denied");
        row("job failed", {.name = web, .jobResult = "failed"}, Kind::Failed,
            "The stop of demo-web.service ended with the result “failed”.");
        row("job never ends", {.name = web, .jobNeverEnds = true}, Kind::TimedOut,
            "did not end within 2 seconds");
        row("no such unit", {"other.service"}, Kind::Gone, "Unit demo-web.service not loaded.",
            false);
    }
    void stopUnit() {
        QFETCH(FakeServiceManager::Unit, unit);
        QFETCH(bool, inWorker);
        QFETCH(int, expected);
        QFETCH(QString, message);
        QFETCH(bool, asksToStop);
        m_system.setUnit(unit);
        ServiceManager client(m_system.client(QTest::currentDataTag()), false, testLimits);
        const KeeperStopResult result =
            inWorker ? QtConcurrent::run([&] { return client.stop("demo-web.service"); }).result()
                     : client.stop("demo-web.service");
        QCOMPARE(result.kind, Kind(expected));
        QVERIFY2(result.message.contains(message), qPrintable(result.message));
        const QStringList calls = m_system.calls();
        QCOMPARE(calls.contains("StopUnit demo-web.service replace noninteractive"), asksToStop);
        // The subscription is given back, whatever the outcome. Unsubscribe goes
        // out without a wait for its answer: waited for here, it cannot reach
        // the manager after the next row has cleared the calls.
        QCOMPARE(calls.filter("Subscribe").size(), asksToStop ? 1 : 0);
        QTRY_COMPARE(m_system.calls().filter("Unsubscribe").size(), asksToStop ? 1 : 0);
    }

    // The real managers' clients find their buses where a program's
    // environment says (what a command-line test points at its own bus),
    // and only the system's stop lets polkit ask for a password.
    void wellKnownBuses() {
        FakeServiceManager::Unit system{"demo-web.service"};
        system.authorization = Authorization::NeedsAgent;
        m_system.setUnit(system);
        FakeServiceManager::Unit own{"dev-server.service"};
        own.restart = "on-failure";
        own.authorization = Authorization::NeedsAgent;
        m_user.setUnit(own);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_system.address().toUtf8());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_user.address().toUtf8());
        ServiceManager systemManager(ServiceManager::Bus::System, testLimits);
        ServiceManager userManager(ServiceManager::Bus::Session, testLimits);
        QCOMPARE(userManager.restartSetting("dev-server.service"), "on-failure");
        QCOMPARE(systemManager.stop("demo-web.service").kind, Kind::Stopped);
        QCOMPARE(userManager.stop("dev-server.service").kind, Kind::Refused);
        QVERIFY(m_system.calls().contains("StopUnit demo-web.service replace interactive"));
        QVERIFY(m_user.calls().contains("StopUnit dev-server.service replace noninteractive"));
    }

    // No answer from the manager, or no manager at all.
    void unreachable_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<int>("expected");
        QTest::newRow("manager never answers") << "silent" << int(Kind::TimedOut);
        QTest::newRow("no manager on the bus") << "absent" << int(Kind::Unavailable);
        QTest::newRow("no bus") << "no bus" << int(Kind::Unavailable);
    }
    void unreachable() {
        QFETCH(QString, situation);
        QFETCH(int, expected);
        m_system.setUnit({"demo-web.service"});
        m_system.setSilent(situation == "silent");
        m_system.setPresent(situation != "absent");
        const QDBusConnection connection =
            situation == "no bus" ? QDBusConnection::connectToBus(
                                        "unix:path=" + m_dir.filePath("no-bus-here"), "nobus")
                                  : m_system.client(QTest::currentDataTag());
        ServiceManager client(connection, true, testLimits);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(client.stop("demo-web.service").kind, Kind(expected));
        QCOMPARE(client.restartSetting("demo-web.service"), std::nullopt);
        QVERIFY(!client.listeningSockets());
        // Within the time limits (three calls of 2 s), not D-Bus's default 25 seconds each.
        QVERIFY2(clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
    }

    void errorNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("expected");
        QTest::newRow("polkit cancelled the check")
            << "org.freedesktop.PolicyKit1.Error.Cancelled" << int(Kind::Cancelled);
        QTest::newRow("no reply") << "org.freedesktop.DBus.Error.NoReply" << int(Kind::TimedOut);
        QTest::newRow("unit went meanwhile")
            << "org.freedesktop.DBus.Error.UnknownObject" << int(Kind::Gone);
        QTest::newRow("transaction conflict")
            << "org.freedesktop.systemd1.TransactionIsDestructive" << int(Kind::Failed);
    }
    void errorNames() {
        QFETCH(QString, name);
        QFETCH(int, expected);
        QCOMPARE(ServiceManager::kindOfError(name), Kind(expected));
    }

    // No Restart= for a scope, nor for a unit the manager does not know.
    void noRestartSetting() {
        m_system.setUnit({"session-2.scope"});
        ServiceManager client(m_system.client("no-restart"), false, testLimits);
        QCOMPARE(client.restartSetting("session-2.scope"), std::nullopt);
        QCOMPARE(client.restartSetting("gone.service"), std::nullopt);
    }

    // Which rows get which keeper, and which rows cost no question at all:
    // a service asks its manager for its Restart=, a port a service manager
    // holds asks that manager for its socket units.
    void annotate_data() {
        QTest::addColumn<qint32>("pid"); // 0: a socket of root's from the kernel's table
        QTest::addColumn<QString>("processName");
        QTest::addColumn<QString>("cgroup");
        QTest::addColumn<QString>("endpoint"); // "TCP * 8080"
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("restart");
        QTest::addColumn<bool>("userUnit");
        QTest::addColumn<QString>("containerId");
        QTest::addColumn<QString>("asked"); // "system", "user" or ""

        const auto row = [](const char *tag, const char *processName, const QString &cgroup,
                            Keeper::Kind kind = Keeper::Kind::None, const QString &unit = {},
                            const QString &restart = {}, bool userUnit = false,
                            const QString &containerId = {}) {
            const bool service = kind == Keeper::Kind::Service;
            QTest::newRow(tag) << 4242 << QString(processName) << cgroup << "TCP * 8080"
                               << int(kind) << unit << restart << userUnit << containerId
                               << (!service   ? ""
                                   : userUnit ? "user"
                                              : "system");
        };
        // A port the system's manager (pid 1, or root's socket in its cgroup)
        // or a user's holds, and the socket unit found for it.
        const auto managerRow = [](const char *tag, qint32 pid, const QString &cgroup,
                                   const char *endpoint, const QString &unit, const char *asked) {
            QTest::newRow(tag) << pid << "systemd" << cgroup << endpoint
                               << int(unit.isEmpty() ? Keeper::Kind::None : Keeper::Kind::Service)
                               << unit << QString() << (!unit.isEmpty() && asked == QString("user"))
                               << QString() << asked;
        };
        const QString uid = QString::number(::getuid());
        const QString user = "/user.slice/user-" + uid + ".slice/user@" + uid + ".service";
        const QString id = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
        row("system service", "perl", "/system.slice/demo-web.service", Keeper::Kind::Service,
            "demo-web.service", "always");
        row("user's own service", "node", user + "/app.slice/dev-server.service",
            Keeper::Kind::Service, "dev-server.service", "on-failure", true);
        row("another user's service", "node",
            "/user.slice/user-4242.slice/user@4242.service/app.slice/dev-server.service");
        row("terminal session", "python3", "/user.slice/user-" + uid + ".slice/session-2.scope");
        row("engine's unit, no container publishes the port", "dockerd",
            "/system.slice/docker.service");
        row("containerd's unit", "containerd", "/system.slice/containerd.service");
        row("container", "httpd", "/system.slice/docker-" + id + ".scope", Keeper::Kind::Container,
            {}, {}, false, id);
        managerRow("pid 1, a stream socket on IPv6's wildcard", 1, "/init.scope", "TCP * 22",
                   "ssh.socket", "system");
        managerRow("pid 1, a datagram socket", 1, "/init.scope", "UDP 127.0.0.53 53",
                   "resolve.socket", "system");
        managerRow("pid 1, a stream socket on the same address", 1, "/init.scope",
                   "TCP 127.0.0.53 53", "resolve-tcp.socket", "system");
        managerRow("pid 1, its address among paths and netlink", 1, "/init.scope",
                   "TCP 127.0.0.1 8080", "demo.socket", "system");
        managerRow("pid 1, another address of a unit's port", 1, "/init.scope",
                   "TCP 127.0.0.2 8080", {}, "system");
        managerRow("pid 1, no unit on that port", 1, "/init.scope", "TCP * 8081", {}, "system");
        managerRow("pid 1, the port of a stopped socket unit", 1, "/init.scope", "TCP * 9090", {},
                   "system");
        managerRow("root's socket in pid 1's cgroup", 0, "/init.scope", "TCP * 22", "ssh.socket",
                   "system");
        managerRow("user's own service manager", 4242, user + "/init.scope", "TCP [::1] 3000",
                   "dev.socket", "user");
        managerRow("user's own service manager, no unit on that port", 4242, user, "TCP * 8080", {},
                   "user");
        managerRow("another user's service manager", 4242,
                   "/user.slice/user-4242.slice/user@4242.service/init.scope", "TCP [::1] 3000", {},
                   "");
    }
    void annotate() {
        QFETCH(qint32, pid);
        QFETCH(QString, processName);
        QFETCH(QString, cgroup);
        QFETCH(QString, endpoint);
        QFETCH(int, kind);
        QFETCH(QString, unit);
        QFETCH(QString, restart);
        QFETCH(bool, userUnit);
        QFETCH(QString, containerId);
        QFETCH(QString, asked);
        FakeServiceManager::Unit system{"demo-web.service"};
        system.restart = "always";
        m_system.setUnit(system);
        m_system.setUnit({"docker.service"});
        m_system.setUnit({"containerd.service"});
        m_system.setUnit({.name = "ssh.socket", .listen = {{"Stream", "[::]:22"}}});
        m_system.setUnit({.name = "resolve.socket", .listen = {{"Datagram", "127.0.0.53:53"}}});
        m_system.setUnit({.name = "resolve-tcp.socket", .listen = {{"Stream", "127.0.0.53:53"}}});
        m_system.setUnit({.name = "demo.socket",
                          .listen = {{"Netlink", "kobject-uevent 1"},
                                     {"FIFO", "/run/demo.fifo"},
                                     {"Stream", "/run/demo.sock"},
                                     {"Stream", "vsock:2:8080"},
                                     {"Stream", "127.0.0.1:8080"}}});
        m_system.setUnit({.name = "stopped.socket",
                          .activeState = "inactive",
                          .listen = {{"Stream", "[::]:9090"}}});
        FakeServiceManager::Unit own{"dev-server.service"};
        own.restart = "on-failure";
        m_user.setUnit(own);
        m_user.setUnit({.name = "dev.socket", .listen = {{"Stream", "[::1]:3000"}}});

        const QStringList at = endpoint.split(' ');
        PortEntry row(pid, processName, "root", at[0], "IPv4", at[1], at[2].toLongLong(), "LISTEN");
        row.fromKernel = pid == 0;
        row.uid = pid == 0 ? 0 : qint64(::getuid());
        const ProcessReader::CgroupPlace place =
            ProcessReader::parseCgroup(("0::" + cgroup + "\n").toUtf8());
        row.process.unit = place.unit;
        row.process.userUnit = place.userUnit;
        row.process.userManagerUid = place.userManagerUid;
        row.process.container = place.container;
        Keepers keepers(manager(m_user, false, "user-" + QString(QTest::currentDataTag())),
                        manager(m_system, true, "system-" + QString(QTest::currentDataTag())),
                        std::make_shared<ContainerEngine>(
                            QStringList{m_dir.filePath("no-engine.sock")}, 200ms));
        PortEntryList rows{row};
        keepers.annotate(rows);
        const Keeper &keeper = rows[0].keeper;
        QCOMPARE(keeper.kind, Keeper::Kind(kind));
        QCOMPARE(keeper.unit, unit);
        QCOMPARE(keeper.restart, restart);
        QCOMPARE(keeper.userUnit, userUnit);
        QCOMPARE(keeper.containerId, containerId);
        QCOMPARE(m_user.calls().isEmpty(), asked != "user");
        QCOMPARE(m_system.calls().isEmpty(), asked != "system");
    }

    // A refresh every few seconds asks a unit's Restart= once, including
    // when the answer was that there is none, and the manager's socket units
    // once for all the ports it holds.
    void restartIsKept() {
        FakeServiceManager::Unit service{"demo-web.service"};
        service.restart = "always";
        m_system.setUnit(service);
        m_system.setUnit({.name = "ssh.socket", .listen = {{"Stream", "[::]:22"}}});
        Keepers keepers(manager(m_user, false, "kept-user"), manager(m_system, true, "kept-system"),
                        std::make_shared<ContainerEngine>(QStringList{}, 200ms));
        PortEntryList rows{PortEntry(11, "perl", "root", "TCP", "IPv4", "*", 80, "LISTEN"),
                           PortEntry(2, "perl", "root", "TCP", "IPv4", "*", 81, "LISTEN"),
                           PortEntry(3, "nginx", "root", "TCP", "IPv4", "*", 82, "LISTEN"),
                           PortEntry(1, "systemd", "root", "TCP", "IPv6", "*", 22, "LISTEN"),
                           PortEntry(1, "systemd", "root", "UDP", "IPv6", "*", 22, "")};
        rows[0].process.unit = rows[1].process.unit = "demo-web.service";
        rows[2].process.unit = "unknown.service";
        for (int refresh = 0; refresh < 3; ++refresh)
            keepers.annotate(rows);
        QCOMPARE(rows[1].keeper.restart, "always");
        QCOMPARE(rows[3].keeper.unit, "ssh.socket");
        QCOMPARE(m_system.calls().filter("GetUnit demo-web.service").size(), 1);
        QCOMPARE(m_system.calls().filter("GetUnit unknown.service").size(), 1);
        QCOMPARE(m_system.calls().filter("ListUnitsByPatterns").size(), 1);
        QCOMPARE(m_system.calls().filter("Listen").size(), 1);

        // A stop through the keepers reads the setting and the sockets anew afterwards.
        QCOMPARE(keepers.stop(rows[0].keeper).kind, Kind::Stopped);
        keepers.annotate(rows);
        QCOMPARE(m_system.calls().filter("GetUnit demo-web.service").size(), 3);
        QCOMPARE(m_system.calls().filter("ListUnitsByPatterns").size(), 2);

        // A user unit's stop goes to the user's own manager, never the system's.
        m_user.setUnit(service);
        Keeper userUnit = rows[0].keeper;
        userUnit.userUnit = true;
        QCOMPARE(keepers.stop(userUnit).kind, Kind::Stopped);
        QCOMPARE(m_user.calls().filter("StopUnit").size(), 1);
        QCOMPARE(m_system.calls().filter("StopUnit").size(), 1);
    }

    // The engine's unit is never stopped for a container's port, whoever asks.
    void engineUnitIsNeverStopped() {
        m_system.setUnit({"docker.service"});
        Keepers keepers(manager(m_user, false, "engine-user"),
                        manager(m_system, true, "engine-system"),
                        std::make_shared<ContainerEngine>(QStringList{}, 200ms));
        Keeper keeper;
        keeper.kind = Keeper::Kind::Service;
        keeper.unit = "docker.service";
        QCOMPARE(keepers.stop(keeper).kind, Kind::Failed);
        keeper.kind = Keeper::Kind::Parent;
        QCOMPARE(keepers.stop(keeper).kind, Kind::Failed);
        QVERIFY(m_system.calls().filter("StopUnit").isEmpty());
    }

    // The engine client against sockets that are not an engine, or that
    // answer as one does.
    void containerStop_data() {
        QTest::addColumn<int>("mode"); // -1: no socket
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("container");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("message");

        using Mode = EngineSocket::Mode;
        const auto row = [](const char *tag, int mode, const QByteArray &answer, Kind expected,
                            const QString &message, const QString &container = "web-1") {
            QTest::newRow(tag) << mode << answer << container << int(expected) << message;
        };
        const int answering = int(Mode::Answering);
        row("socket absent", -1, {}, Kind::Unavailable, "No container engine was found");
        row("socket refuses", int(Mode::Refusing), {}, Kind::Unavailable,
            "No container engine is running");
        row("engine never answers", int(Mode::Silent), {}, Kind::TimedOut,
            "did not answer within 0.3 seconds");
        row("204 stopped", answering, httpAnswer(204), Kind::Stopped, "");
        row("304 already stopped", answering, httpAnswer(304), Kind::AlreadyStopped, "");
        row("404 gone", answering, httpAnswer(404, R"({"message":"No such container: web-1"})"),
            Kind::Gone, "No such container: web-1");
        row("500 with the engine's message", answering,
            httpAnswer(500, R"({"message":"cannot stop container: permission denied"})"),
            Kind::Failed, "cannot stop container: permission denied");
        row("not HTTP", answering, "hello\r\n\r\n", Kind::Failed, "no usable answer");
        row("a path, not a container", answering, httpAnswer(204), Kind::Gone,
            "is not a container id or name", "../../images/x");
        row("a query in the name", answering, httpAnswer(204), Kind::Gone, "", "web-1?force=1");
    }
    void containerStop() {
        QFETCH(int, mode);
        QFETCH(QByteArray, answer);
        QFETCH(QString, container);
        QFETCH(int, expected);
        QFETCH(QString, message);
        const QString path = m_dir.filePath("engine.sock");
        QFile::remove(path);
        std::optional<EngineSocket> socket;
        if (mode >= 0)
            socket.emplace(path, EngineSocket::Mode(mode), answer);
        ContainerEngine engine({path}, 300ms);
        const KeeperStopResult result = stopContainer(engine, container, 0s, 300ms);
        QCOMPARE(result.kind, Kind(expected));
        QVERIFY2(result.message.contains(message), qPrintable(result.message));
        if (mode == int(EngineSocket::Mode::Answering)) {
            const QList<QByteArray> requests = socket->requests();
            if (expected == int(Kind::Gone) && !message.startsWith("No such")) {
                QVERIFY(requests.isEmpty()); // nothing reached the engine
            } else {
                QCOMPARE(requests.size(), 1);
                QVERIFY2(requests[0].startsWith("POST /v1.41/containers/web-1/stop?t=0 HTTP/1."),
                         requests[0].constData());
            }
        }
    }

    // Which rows the engine's list of published ports names: a socket of
    // root's whose process the viewer cannot see (the proxy of an engine that
    // no unit holds) on the very address, port and protocol, and the
    // engine's own proxy; never a process that can be seen to be another's.
    // "pid uid name protocol address port" -> the container named, or "".
    void publishedPortsNameRows_data() {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("container");
        QTest::newRow("root's socket, no process seen, published address")
            << "0 0 - TCP 127.0.0.1 8080"
            << "web-1";
        QTest::newRow("root's socket, no process seen, UDP on every address of both families")
            << "0 0 - UDP * 5353"
            << "web-1";
        QTest::newRow("root's socket on the port, another address") << "0 0 - TCP * 8080"
                                                                    << "";
        QTest::newRow("root's socket on the port, other protocol") << "0 0 - UDP 127.0.0.1 8080"
                                                                   << "";
        QTest::newRow("the engine's proxy") << "77 0 docker-proxy TCP 127.0.0.1 8080"
                                            << "web-1";
        QTest::newRow("a process of root's that can be seen") << "77 0 nginx TCP 127.0.0.1 8080"
                                                              << "";
        QTest::newRow("another user's socket, no process seen") << "0 1000 - TCP 127.0.0.1 8080"
                                                                << "";
    }
    void publishedPortsNameRows() {
        QFETCH(QString, row);
        QFETCH(QString, container);
        const QString path = m_dir.filePath("published.sock");
        QFile::remove(path);
        // Docker lists a port published on every address once per family.
        EngineSocket socket(
            path, EngineSocket::Mode::Answering,
            httpAnswer(200, R"([{"Id":"0123456789abcdef","Names":["/web-1"],"Image":"shop",)"
                            R"("Ports":[{"IP":"127.0.0.1","PrivatePort":80,"PublicPort":8080,)"
                            R"("Type":"tcp"},{"IP":"0.0.0.0","PrivatePort":53,"PublicPort":5353,)"
                            R"("Type":"udp"},{"IP":"::","PrivatePort":53,"PublicPort":5353,)"
                            R"("Type":"udp"},{"PrivatePort":9000,"Type":"tcp"}]}])"));
        const QStringList f = row.split(u' ');
        PortEntry entry(f[0].toInt(), f[2] == u"-" ? QString() : f[2], "root", f[3], "IPv4", f[4],
                        f[5].toLongLong(), f[3] == u"TCP" ? "LISTEN" : "");
        entry.uid = f[1].toLongLong();
        entry.fromKernel = entry.pid == 0;
        ContainerEngine engine({path}, 2000ms);
        PortEntryList rows{entry};
        engine.annotate(rows);
        QCOMPARE(rows[0].containerName, container);
        QCOMPARE(rows[0].process.container, container.isEmpty() ? "" : "0123456789ab");
        // And what the free-port rule gets: one port per protocol, port and address.
        const QList<PublishedPort> published = ContainerEngine::publishedPorts(*engine.list());
        QCOMPARE(published.size(), 2);
        QCOMPARE(published[1].address, "*");
        QCOMPARE(published[1].container, "web-1");
    }

    // A container's restart policy from its inspection, kept per container.
    void inspect_data() {
        QTest::addColumn<QByteArray>("given"); // RestartPolicy's Name
        QTest::addColumn<QString>("policy");
        QTest::newRow("always") << QByteArray("always") << "always";
        QTest::newRow("made without --restart") << QByteArray() << "no";
    }
    void inspect() {
        QFETCH(QByteArray, given);
        QFETCH(QString, policy);
        const QString path = m_dir.filePath("inspect.sock");
        QFile::remove(path);
        EngineSocket socket(path, EngineSocket::Mode::Answering,
                            httpAnswer(200, R"({"Id":"abc123","Name":"/web-1","HostConfig":)"
                                            R"({"RestartPolicy":{"Name":")" +
                                                given + R"(","MaximumRetryCount":0}}})"));
        ContainerEngine engine({path}, 300ms);
        for (int refresh = 0; refresh < 3; ++refresh) {
            const std::optional<ContainerEngine::Details> details = engine.inspect("abc123");
            QVERIFY(details);
            QCOMPARE(details->id, "abc123");
            QCOMPARE(details->name, "web-1");
            QCOMPARE(details->restartPolicy, policy);
        }
        QCOMPARE(socket.requests().size(), 1);
        QVERIFY(socket.requests()[0].startsWith("GET /v1.41/containers/abc123/json HTTP/1."));
    }

    // An engine's names are cut to a few hundred characters, marked as cut
    // (never half of a character), however long its answer makes them; an
    // id longer than any engine's names no container.
    void engineNamesBounded() {
        const QByteArray huge = QByteArray(1 << 20, 'n');
        const QByteArray emoji = QByteArray(254, 'e') + "\xf0\x9f\x90\xb3xx"; // 🐳 at the cut
        const QList<ContainerEngine::Container> listed = ContainerEngine::parseList(
            R"([{"Id":"abc","Names":["/)" + huge + R"("],"Image":")" + emoji +
            R"(","Labels":{"com.docker.compose.project":")" + huge +
            R"("}},)"
            R"({"Id":")" +
            QByteArray(200, 'f') + R"(","Names":["/x"]}])");
        QCOMPARE(listed.size(), 1);
        const QString cut = QString(255, u'n') + u'\u2026';
        QCOMPARE(listed[0].name, cut);
        QCOMPARE(listed[0].composeProject, cut);
        QCOMPARE(listed[0].image, QString(254, u'e') + u'\u2026');
        const std::optional<ContainerEngine::Details> details =
            ContainerEngine::parseInspection(R"({"Id":"abc","Name":"/)" + huge + R"("})");
        QVERIFY(details);
        QCOMPARE(details->name, cut);
    }
};

QTEST_GUILESS_MAIN(TestKeepers)
#include "tst_keepers.moc"
