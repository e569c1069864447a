// quayline-cli stop, end to end, against a stand-in lsof that lists only the
// child this test started, and only while it is still that same process (pid
// and start time), so the command can never reach anything else.
#include "EngineSocket.h"
#include "FakeServiceManager.h"
#include "KernelFixtures.h"
#include "ListeningChild.h"
#include "StubLsof.h"
#include "cli/StopCommand.h"
#include "keeper/Keepers.h"
#include "keeper/ServiceManager.h"
#include "process/SystemCalls.h"
#include "scanner/ContainerEngine.h"
#include "scanner/PortScanner.h"
#include "stop/KeeperService.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

using namespace std::chrono_literals;

// What the stand-in lsof does once its first TCP run has listed the child.
enum class Later {
    List,   // lists it again while it lives
    Vanish, // deletes itself: lsof is missing from then on
    Hang,   // never ends
};

// A StubLsof whose TCP run lists pid as a listener on port of 127.0.0.1 while
// /proc/PID/stat still shows the start time it has now; its UDP run lists
// nothing. The listing names the process "perl" and the user running the test
// unless told otherwise.
struct ChildLsof {
    StubLsof stub;
    bool ok = false;

    ChildLsof(qint32 pid, int port, Later later, const QString &user = currentLoginName(),
              const QString &command = "perl")
        : stub(body(pid, later)) {
        QFile stat(QString("/proc/%1/stat").arg(pid));
        const QByteArray start =
            stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(21) : "";
        const QByteArray listing = StubLsof::listing(pid, command, user, port);
        ok = !start.isEmpty() && stub.write("start", start) && stub.write("listing", listing);
    }
    static QByteArray body(qint32 pid, Later later) {
        // Gone once both runs of the first scan have started, whichever comes
        // second: the two start together, but on a loaded machine the UDP run
        // may start only after the TCP run has ended.
        const QByteArray vanish = later == Later::Vanish
                                      ? "[ -e \"$dir/tcp.args\" ] && [ -e \"$dir/udp.args\" ] && "
                                        "rm -f \"$0\"\n"
                                      : "";
        const QByteArray onLater = later == Later::Hang ? "exec sleep 600\n" : "";
        return vanish +
               "[ \"$run\" = udp ] && exit 0\n"
               "if [ -e \"$dir/listed\" ]; then\n:\n" +
               onLater + "fi\n: >\"$dir/listed\"\n" + "set -- $(cut -d' ' -f3,22 /proc/" +
               QByteArray::number(pid) +
               "/stat 2>/dev/null)\n"
               "[ \"$1\" != Z ] && [ \"$2\" = \"$(cat \"$dir/start\")\" ] && "
               "cat \"$dir/listing\"\n" +
               "exit 0\n";
    }
    QString path() const { return stub.path(); }
};

// Exit code, standard output and standard error of quayline-cli, run with
// env (when given) and with modify called in the child before it runs.
std::tuple<int, QString, QString> runCli(const QStringList &arguments, int msecs = 60000,
                                         const QProcessEnvironment &env = {},
                                         const std::function<void()> &modify = {}) {
    QProcess cli;
    if (!env.isEmpty())
        cli.setProcessEnvironment(env);
    if (modify)
        cli.setChildProcessModifier(modify);
    cli.start(qEnvironmentVariable("QUAYLINE_CLI"), arguments);
    const bool ran = cli.waitForFinished(msecs) && cli.exitStatus() == QProcess::NormalExit;
    return {ran ? cli.exitCode() : -1, cli.readAllStandardOutput(), cli.readAllStandardError()};
}

struct StopCase {
    ListeningChild::OnTerm onTerm;
    Later later;
    QStringList options;
    int exitCode;
    QString out, err; // %1: the child's pid, %2: the stub, %3: the first line it printed
    int endedBy;      // the signal that ended the child, 0: still running
    QString user;
};

// sh running a perl listener on 127.0.0.1:port over and over, as a supervisor
// would, until the file "end" exists and its input closes (the listener reads
// it to its end). The stand-in lsof lists the shell's children that hold a socket.
struct ShellLoop {
    QTemporaryDir dir;
    QProcess shell;
    quint16 port = freePort();
    std::unique_ptr<StubLsof> lsof;

    ShellLoop() {
        shell.start("/bin/sh",
                    {"-c",
                     "while :; do /usr/bin/perl -MIO::Socket::INET -e 'my $s = "
                     "IO::Socket::INET->new(Listen => 5, LocalAddr => \"127.0.0.1\", LocalPort => "
                     "$ARGV[0], ReuseAddr => 1) or die $!; while (<STDIN>) {}' \"$0\"; "
                     "[ -e \"$1\" ] && break; done",
                     QString::number(port), dir.filePath("end")});
        shell.waitForStarted();
        const QByteArray self = QByteArray::number(shell.processId());
        lsof = std::make_unique<StubLsof>(
            StubLsof::listingOf("for p in $(cat /proc/" + self + "/task/" + self +
                                    "/children); do echo $p " + QByteArray::number(port) + "; done",
                                currentLoginName()));
    }
    ~ShellLoop() {
        QFile(dir.filePath("end")).open(QIODevice::WriteOnly);
        shell.closeWriteChannel();
        shell.waitForFinished(10000);
    }
};

// Keepers answered by the test.
struct TestKeepers final : KeeperService {
    std::function<void(PortEntryList &)> annotateRows;
    std::function<KeeperStopResult(const Keeper &)> stopKeeper;
    std::function<std::optional<ContainerTies>(const Keeper &)> tiesOf;

    void annotate(PortEntryList &rows) override {
        if (annotateRows)
            annotateRows(rows);
    }
    std::optional<ContainerTies> containerTies(const Keeper &keeper) override {
        return tiesOf ? tiesOf(keeper) : std::nullopt;
    }
    KeeperStopResult stop(const Keeper &keeper) override {
        return stopKeeper ? stopKeeper(keeper)
                          : KeeperStopResult{KeeperStopResult::Kind::Unavailable, {}};
    }
};

// Runs the stop command in this process with keepers of the test's own: its
// exit status and what it wrote on standard output and standard error.
std::tuple<int, QString, QString> stopInProcess(const QStringList &arguments,
                                                KeeperService &keepers) {
    QTemporaryFile out, err;
    if (!out.open() || !err.open())
        return {-1, {}, {}};
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(STDOUT_FILENO), savedErr = ::dup(STDERR_FILENO);
    ::dup2(out.handle(), STDOUT_FILENO);
    ::dup2(err.handle(), STDERR_FILENO);
    int code = -1;
    {
        LsofRuns runs;
        code = runStopCommand(runs, arguments, keepers);
    }
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    out.seek(0);
    err.seek(0);
    return {code, QString::fromUtf8(out.readAll()), QString::fromUtf8(err.readAll())};
}

struct KeeperStopCase {
    QString option; // --service or --container
    Keeper keeper;  // what the keepers say of every row
    KeeperStopResult result;
    int exitCode;
    QString out, err; // %1: this test's pid
    int stops;        // calls of the keepers' stop
    QString command;  // the holder's command name in the listing
};

} // namespace

Q_DECLARE_METATYPE(StopCase)
Q_DECLARE_METATYPE(KeeperStopCase)

class TestCliStop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // lsof here is a stand-in whose made-up listing the real socket table
        // would contradict (tst_kernelrows and tst_cli_kernel cover the table).
        qputenv("QUAYLINE_SOCKET_TABLE", "off");
    }

    // The child is stopped through port 1 too, which nobody lists: no failure.
    void stopsOneProcess_data() {
        QTest::addColumn<StopCase>("c");
        using T = ListeningChild::OnTerm;
        const auto row = [](const char *tag, T onTerm, Later later, const QStringList &options,
                            int exitCode, const QString &out, const QString &err, int endedBy,
                            const QString &user = currentLoginName()) {
            QTest::newRow(tag) << StopCase{
                onTerm, later,   options, exitCode, "Nothing is listening on port 1\n" + out,
                err,    endedBy, user};
        };
        const QString stopped = "PID %1 (perl) stopped.\n",
                      killed = "PID %1 (perl) did not exit after SIGTERM; sent SIGKILL.\n",
                      unchecked = "PID %1 (perl) exited, but its ports could not be checked.\n";
        const QStringList briefly{"--timeout", "0.5"}, force{"--force", "--timeout", "0.5"};
        row("exits on SIGTERM", T::Exit, Later::List, {}, 0, stopped, {}, SIGTERM);
        row("ignores SIGTERM", T::Ignore, Later::List, briefly, 1, {},
            "PID %1 (perl) is still running.\n--force sends SIGKILL to processes still running.\n",
            0);
        // Longer than the default 3 seconds to exit: --timeout is what waits.
        row("exits 4 s after SIGTERM, --timeout 10", T::ExitSlowly, Later::List,
            {"--timeout", "10"}, 0, stopped, {}, 0);
        row("ignores SIGTERM, --force", T::Ignore, Later::List, force, 0, killed + stopped, {},
            SIGKILL);
        // Nothing confirms then that the process exited: no success.
        row("lsof gone after the first scan", T::Exit, Later::Vanish, {}, 1, {},
            "Could not find lsof at %2.\n" + unchecked, SIGTERM);
        // A hung lsof holds the command only about one scan past its --timeout,
        // far less than the usual 30 s; the scan's error comes first.
        row("lsof hangs after the first scan, --force", T::Ignore, Later::Hang, force, 1, killed,
            "%3" + unchecked, SIGKILL);
        // The refusal names the owner as listed, its controls escaped; nothing is sent.
        row("owned by another user, escaped", T::Exit, Later::List, {}, 1, {},
            "PID %1: This process is owned by “r\\x1b]0;x\\x07o\\x0do\\u202et”, not you. "
            "Quayline only stops processes you own.\n",
            0, "r\x1b]0;x\ao\ro\u202et");
    }
    void stopsOneProcess() {
        QFETCH(StopCase, c);
        ListeningChild child(c.onTerm);
        const ChildLsof lsof(child.pid, child.port, c.later, c.user);
        QVERIFY(child.port > 0 && lsof.ok);
        const auto [code, out, err] =
            runCli(QStringList{"stop", "--lsof", lsof.path()} + c.options +
                       QStringList{"1", QString::number(child.port)},
                   c.later == Later::Hang ? 20000 : 60000);
        QCOMPARE(err, c.err.replace("%3", err.section(u'\n', 0, 0) + u'\n')
                          .replace("%1", QString::number(child.pid))
                          .replace("%2", lsof.path()));
        QCOMPARE(out, c.out.replace("%1", QString::number(child.pid)));
        QCOMPARE(code, c.exitCode);
        QTRY_COMPARE_WITH_TIMEOUT(child.endedBy(), c.endedBy, 10000);
    }

    // More targets than descriptors left under a low RLIMIT_NOFILE: stop
    // holds one at a time, so every one is stopped; and a look that fails for
    // want of descriptors would be an error, never "had already exited".
    void fewDescriptors() {
        std::vector<std::unique_ptr<ListeningChild>> children;
        QStringList ports;
        QByteArray listed;
        QString stopped;
        for (int i = 0; i < 24; ++i) {
            children.push_back(std::make_unique<ListeningChild>(ListeningChild::OnTerm::Exit));
            QVERIFY(children.back()->port > 0);
            ports << QString::number(children.back()->port);
            listed += QByteArray::number(children.back()->pid) + ' ' +
                      QByteArray::number(children.back()->port) + '\n';
            stopped += QString("PID %1 (perl) stopped.\n").arg(children.back()->pid);
        }
        const StubLsof lsof(StubLsof::listingOf("cat \"$dir/children\"", currentLoginName()));
        QVERIFY(lsof.write("children", listed));
        const auto [code, out, err] = runCli(
            QStringList{"stop", "--watch", "0", "--lsof", lsof.path()} + ports, 120000, {}, [] {
                const rlimit few{20, 20};
                ::setrlimit(RLIMIT_NOFILE, &few);
            });
        QCOMPARE(err, QString());
        QCOMPARE(out, stopped);
        QCOMPARE(code, 0);
        for (const auto &child : children)
            QTRY_COMPARE_WITH_TIMEOUT(child->endedBy(), SIGTERM, 10000);
    }

    // A shell that starts its listener again: the port is taken again, and
    // the shell is named with its pid.
    void shellLoop() {
        const ShellLoop loop;
        qint32 first = 0;
        QTRY_VERIFY_WITH_TIMEOUT((first = loop.lsof->firstListed()) > 0, 10000);
        const auto [code, out, err] =
            runCli({"stop", "--lsof", loop.lsof->path(), QString::number(loop.port)});
        QCOMPARE(out, QString("PID %1 (perl) stopped.\n").arg(first));
        const QRegularExpression taken(
            QString("^Port %1 was taken again by PID (\\d+) \\(perl\\) right after PID %2 "
                    "stopped\\.\nIt was started again by PID %3 \\(sh\\)\\.\n$")
                .arg(loop.port)
                .arg(first)
                .arg(loop.shell.processId()));
        const QRegularExpressionMatch match = taken.match(err);
        QVERIFY2(match.hasMatch(), qPrintable(err));
        QVERIFY(match.captured(1).toInt() != first);
        QCOMPARE(code, 1);
    }

    // The container engine's own processes hold the ports that containers
    // publish: no signal, the container's stop named instead.
    void containerEngineHolder_data() {
        QTest::addColumn<QString>("command");
        QTest::newRow("docker-proxy") << "docker-proxy";
        QTest::newRow("dockerd") << "dockerd";
        QTest::newRow("conmon") << "conmon";
    }
    void containerEngineHolder() {
        QFETCH(QString, command);
        ListeningChild child(ListeningChild::OnTerm::Exit);
        const ChildLsof lsof(child.pid, child.port, Later::List, currentLoginName(), command);
        QVERIFY(child.port > 0 && lsof.ok);
        const auto [code, out, err] =
            runCli({"stop", "--force", "--lsof", lsof.path(), QString::number(child.port)});
        // No engine names the container here: how to find it is said instead.
        QVERIFY2(err.startsWith(QString("Port %1 is published by a container through %2, which "
                                        "Quayline cannot name")
                                    .arg(child.port)
                                    .arg(command)),
                 qPrintable(err));
        QVERIFY2(err.contains("\nTo stop it: "), qPrintable(err));
        QCOMPARE(out, QString());
        QCOMPARE(code, 1);
        QCOMPARE(child.signal(0), 0); // still running
    }

    // The stop of a port's unit or container: what each outcome prints, the
    // port checked afterwards, each keeper stopped once. The stand-in lists
    // this test itself on 8080 and 8081, which only the keepers' stop could
    // take away; no process is signalled.
    void keeperStop_data() {
        QTest::addColumn<KeeperStopCase>("c");
        using K = KeeperStopResult::Kind;
        const auto row = [](const char *tag, const KeeperStopCase &c) { QTest::newRow(tag) << c; };
        const auto keeper = [](Keeper::Kind kind, const QString &name) {
            Keeper k;
            k.kind = kind;
            (kind == Keeper::Kind::Service ? k.unit : k.containerName) = name;
            k.containerId = kind == Keeper::Kind::Container ? "0123456789abcdef" : "";
            return k;
        };
        const Keeper unit = keeper(Keeper::Kind::Service, "demo.service"),
                     box = keeper(Keeper::Kind::Container, "web-1");
        const QString self = "tst_cli_stop";
        row("service stopped, ports free",
            {"--service",
             unit,
             {K::Stopped, {}},
             0,
             "Stopped the service demo.service.\nPort 8080 is free.\nPort 8081 is free.\n",
             {},
             1,
             self});
        row("container gone", {"--container",
                               box,
                               {K::Gone, "No such container: web-1"},
                               1,
                               {},
                               "The container web-1 no longer exists.\n",
                               1,
                               self});
        const QString other = "No service keeps port %2; it is held by PID %1 (tst_cli_stop).\n"
                              "It is kept by the container web-1. To stop it: quayline-cli stop "
                              "--container %2\n";
        row("no service keeps it, a container does",
            {"--service",
             box,
             {},
             1,
             {},
             other.arg("%1", "8080") + other.arg("%1", "8081"),
             0,
             self});
        // The engine's unit would take every container with it.
        const QString engine = "Port %1 is published by a container; stopping the container "
                               "engine's service would stop every container.\n";
        row("docker-proxy's unit is never stopped",
            {"--service",
             keeper(Keeper::Kind::Service, "docker.service"),
             {},
             1,
             {},
             engine.arg(8080) + engine.arg(8081),
             0,
             "docker-proxy"});
    }
    void keeperStop() {
        QFETCH(KeeperStopCase, c);
        const qint64 self = QCoreApplication::applicationPid();
        const StubLsof lsof("[ \"$run\" = udp ] && exit 0\n[ -e \"$dir/gone\" ] || cat "
                            "\"$dir/listing\"\n");
        QVERIFY(lsof.write("listing",
                           StubLsof::listing(self, c.command, currentLoginName(), 8080) +
                               StubLsof::listing(self, c.command, currentLoginName(), 8081)));
        int stops = 0;
        TestKeepers keepers;
        keepers.tiesOf = [](const Keeper &) {
            return ContainerTies{{{"TCP", 8080}, {"TCP", 8081}}};
        };
        keepers.annotateRows = [&](PortEntryList &rows) {
            for (PortEntry &row : rows)
                row.keeper = c.keeper;
        };
        keepers.stopKeeper = [&](const Keeper &keeper) {
            ++stops;
            lsof.write("gone", {});
            return keeper == c.keeper ? c.result : KeeperStopResult{};
        };
        const auto [code, out, err] =
            stopInProcess({c.option, "--lsof", lsof.path(), "8080", "8081"}, keepers);
        QCOMPARE(err, QString(c.err).replace("%1", QString::number(self)));
        QCOMPARE(out, c.out);
        QCOMPARE(code, c.exitCode);
        QCOMPARE(stops, c.stops);
    }

    // --container against a stand-in engine that knows the container
    // victim-web by the id below and says it publishes the listener's port
    // for TCP, or for UDP only: the stop is sent only where the engine ties
    // that container to the port.
    void containerTiedToPort_data() {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err"); // %1: the port, %2: the listener's pid
        QTest::newRow("the container, publishing the port")
            << "tcp"
            << "Stopped the container victim-web.\n"
            << "Port %1 is still held by PID %2 (perl).\n";
        QTest::newRow("the container, publishing the port for UDP only")
            << "udp"
            << ""
            << "Did not stop the container victim-web: no container engine says that it "
               "publishes port %1 or runs the process that holds it.\n";
    }
    void containerTiedToPort() {
        QFETCH(QString, protocol);
        const QByteArray id(64, 'c');
        Listener listener;
        const qint32 pid = qint32(listener.process.processId());
        QVERIFY(listener.port > 0);
        const ChildLsof lsof(pid, listener.port, Later::List);
        QVERIFY(lsof.ok);

        // The engine's inspection: named victim-web, not running, the port published.
        const QByteArray inspection =
            QString("{\"Id\": \"%1\", \"Name\": \"/victim-web\", \"State\": {\"Pid\": 0}, "
                    "\"NetworkSettings\": {\"Ports\": {\"80/%2\": [{\"HostPort\": \"%3\"}]}}}")
                .arg(id, protocol)
                .arg(listener.port)
                .toUtf8();
        QTemporaryDir dir;
        EngineSocket engine(dir.filePath("engine.sock"), [&](const QByteArray &request) {
            return request.startsWith("POST") ? httpAnswer(204) : httpAnswer(200, inspection);
        });
        // The real keepers on it, with no service manager; the container is
        // named as its scope would name it.
        const QDBusConnection noBus =
            QDBusConnection::connectToBus("unix:path=" + dir.filePath("no-bus"), "no-bus");
        Keepers real(
            std::make_shared<ServiceManager>(noBus, false),
            std::make_shared<ServiceManager>(noBus, true),
            std::make_shared<ContainerEngine>(QStringList{dir.filePath("engine.sock")}, 10s));
        TestKeepers keepers;
        keepers.annotateRows = [&](PortEntryList &rows) {
            for (PortEntry &row : rows)
                row.process.container = id.left(12);
            real.annotate(rows);
        };
        keepers.tiesOf = [&](const Keeper &keeper) { return real.containerTies(keeper); };
        keepers.stopKeeper = [&](const Keeper &keeper) { return real.stop(keeper); };
        const auto [code, out, printed] = stopInProcess(
            {"--container", "--lsof", lsof.path(), QString::number(listener.port)}, keepers);
        QDBusConnection::disconnectFromBus("no-bus");
        QTEST(out, "out");
        QFETCH(QString, err);
        QCOMPARE(
            printed,
            err.replace("%1", QString::number(listener.port)).replace("%2", QString::number(pid)));
        const QList<QByteArray> requests = engine.requests();
        const bool sent = std::any_of(requests.cbegin(), requests.cend(),
                                      [](const QByteArray &r) { return r.startsWith("POST"); });
        QCOMPARE(sent, !out.isEmpty());
        QCOMPARE(code, 1);
    }

    // --service against a service manager of the test's own on a private
    // bus, for a listener of root in a demo-web.service cgroup the test
    // makes: the stop goes to the system's manager, with the password prompt
    // allowed, and its outcome is printed. The manager stops nothing for
    // real, so the port stays held afterwards.
    void serviceManager() {
        if (::geteuid() != 0)
            QSKIP("a listener in a cgroup of its own needs root");
        CgroupPaths paths;
        const ServiceInCgroup service(paths);
        if (!service.listener)
            QSKIP("no writable cgroup2 mount here");
        const int port = service.listener->port;
        QVERIFY(port > 0);
        FakeServiceManager manager;
        if (const QString why = manager.start(); !why.isEmpty())
            QSKIP(qPrintable(why));
        manager.setUnit({"demo-web.service"});
        const qint64 pid = service.listener->process.processId();
        const StubLsof lsof(StubLsof::listingOf(
            "echo " + QByteArray::number(pid) + ' ' + QByteArray::number(port), "root"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", manager.address());
        env.insert("DBUS_SESSION_BUS_ADDRESS", manager.address());
        const auto [code, out, err] =
            runCli({"stop", "--service", "--lsof", lsof.path(), QString::number(port)}, 60000, env);
        QCOMPARE(out, "Stopped the service demo-web.service.\n");
        QCOMPARE(err, QString("Port %1 is still held by PID %2 (perl).\n").arg(port).arg(pid));
        QCOMPARE(code, 1);
        QVERIFY2(manager.calls().contains("StopUnit demo-web.service replace interactive"),
                 qPrintable(manager.calls().join(" | ")));
    }
};
QTEST_GUILESS_MAIN(TestCliStop)
#include "tst_cli_stop.moc"
