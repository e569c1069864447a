// quayline-cli stop, end to end, against a stand-in lsof that lists only the
// child this test started, and only while it is still that same process (pid
// and start time), so the command can never reach anything else.
#include "FakeServiceManager.h"
#include "KernelFixtures.h"
#include "ListeningChild.h"
#include "StubLsof.h"
#include "cli/StopCommand.h"
#include "process/SystemCalls.h"
#include "scanner/PortScanner.h"
#include "stop/KeeperService.h"

#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>

namespace {

// What the stand-in lsof does once its first TCP run has listed the child.
enum class Later {
    List,     // lists it again while it lives
    Vanish,   // deletes itself: lsof is missing from then on
    Crash,    // ends by SIGKILL
    Hang,     // never ends
    Replaced, // lists what the file "later" holds
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
        const QByteArray onLater = later == Later::Crash      ? "kill -9 $$\n"
                                   : later == Later::Hang     ? "exec sleep 600\n"
                                   : later == Later::Replaced ? "cat \"$dir/later\"; exit 0\n"
                                                              : "";
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

// Exit code, standard output and standard error.
std::tuple<int, QString, QString> runCli(const QStringList &arguments) {
    QProcess cli;
    cli.start(qEnvironmentVariable("QUAYLINE_CLI"), arguments);
    const bool ran = cli.waitForFinished(60000) && cli.exitStatus() == QProcess::NormalExit;
    return {ran ? cli.exitCode() : -1, cli.readAllStandardOutput(), cli.readAllStandardError()};
}

struct StopCase {
    bool ignoresTerm;
    Later later;
    QStringList options;
    int exitCode;
    QString out, err; // %1: the child's pid, %2: the stub
    int endedBy;      // the signal that ended the child, 0: still running
    QString user = currentLoginName();
    bool exitsSlowly = false;
};

// sh running a perl listener on 127.0.0.1:port: over and over as a
// supervisor would, until the file "end" exists and its input closes (the
// listeners read it to its end); or once, the shell staying on or ending with
// it. The stand-in lsof lists the shell's children that hold a socket.
struct ShellKeeper {
    QTemporaryDir dir;
    QProcess shell;
    quint16 port = freePort();
    std::unique_ptr<StubLsof> lsof;

    enum class Mode { Loop, Once, OnceAndExit };
    explicit ShellKeeper(Mode mode) {
        const QString listener =
            "/usr/bin/perl -MIO::Socket::INET -e 'my $s = IO::Socket::INET->new(Listen => 5, "
            "LocalAddr => \"127.0.0.1\", LocalPort => $ARGV[0], ReuseAddr => 1) or die $!; "
            "while (<STDIN>) {}' \"$0\"";
        shell.start("/bin/sh", {"-c",
                                mode == Mode::Loop
                                    ? "while :; do " + listener + "; [ -e \"$1\" ] && break; done"
                                : mode == Mode::Once ? listener + "; while read x; do :; done"
                                                     : listener + "; exit 0",
                                QString::number(port), dir.filePath("end")});
        shell.waitForStarted();
        const QByteArray self = QByteArray::number(shell.processId());
        lsof = std::make_unique<StubLsof>(
            StubLsof::listingOf("for p in $(cat /proc/" + self + "/task/" + self +
                                    "/children); do echo $p " + QByteArray::number(port) + "; done",
                                currentLoginName()));
    }
    ~ShellKeeper() {
        QFile(dir.filePath("end")).open(QIODevice::WriteOnly);
        shell.closeWriteChannel();
        shell.waitForFinished(10000);
    }
    // The pid of the listener that the stand-in lists now; 0 for none.
    qint32 listed() const {
        QProcess run;
        run.start(lsof->path(), {"-iTCP"});
        run.waitForFinished(10000);
        const QByteArray out = run.readAllStandardOutput();
        return out.startsWith('p') ? out.mid(1, out.indexOf('\n') - 1).toInt() : 0;
    }
};

// Keepers answered by the test.
struct TestKeepers final : KeeperService {
    std::function<void(PortEntryList &)> annotateRows;
    std::function<KeeperStopResult(const Keeper &)> stopKeeper;

    void annotate(PortEntryList &rows) override {
        if (annotateRows)
            annotateRows(rows);
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

Keeper serviceKeeper() {
    Keeper k;
    k.kind = Keeper::Kind::Service;
    k.unit = "demo.service";
    k.restart = "always";
    return k;
}

Keeper containerKeeper() {
    Keeper k;
    k.kind = Keeper::Kind::Container;
    k.containerId = "0123456789abcdef";
    k.containerName = "web-1";
    k.restartPolicy = "always";
    return k;
}

struct KeeperStopCase {
    QStringList options;
    QString command; // the holder's command name in the listing
    Keeper keeper;   // what the keepers say of every row
    KeeperStopResult result;
    bool freesPort; // the stop takes the listing away
    int exitCode;
    QString out, err; // %1: this test's pid
    int stops;        // calls of the keepers' stop
};

} // namespace

Q_DECLARE_METATYPE(StopCase)
Q_DECLARE_METATYPE(ShellKeeper::Mode)
Q_DECLARE_METATYPE(KeeperStopCase)
Q_DECLARE_METATYPE(FakeServiceManager::Unit)

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
        const QString nothing = "Nothing is listening on port 1\n";
        QTest::addColumn<StopCase>("c");
        QTest::newRow("exits on SIGTERM") << StopCase{
            false, Later::List, {}, 0, nothing + "PID %1 (perl) stopped.\n", {}, SIGTERM};
        QTest::newRow("ignores SIGTERM")
            << StopCase{true,
                        Later::List,
                        {"--timeout", "0.5"},
                        1,
                        nothing,
                        "PID %1 (perl) is still running.\n"
                        "--force sends SIGKILL to processes still running.\n",
                        0};
        // Longer than the default 3 seconds to exit: --timeout is what waits.
        QTest::newRow("exits 4 s after SIGTERM, --timeout 10") << StopCase{
            false, Later::List, {"--timeout", "10"}, 0,   nothing + "PID %1 (perl) stopped.\n",
            {},    0,           currentLoginName(),  true};
        QTest::newRow("ignores SIGTERM, --force")
            << StopCase{true,
                        Later::List,
                        {"--force", "--timeout", "0.5"},
                        0,
                        nothing + "PID %1 (perl) did not exit after SIGTERM; sent SIGKILL.\n"
                                  "PID %1 (perl) stopped.\n",
                        {},
                        SIGKILL};
        // Nothing confirms then that the process exited: no success.
        QTest::newRow("lsof gone after the first scan")
            << StopCase{false,
                        Later::Vanish,
                        {},
                        1,
                        nothing,
                        "Could not find lsof at %2.\n"
                        "PID %1 (perl) exited, but its ports could not be checked.\n",
                        SIGTERM};
        // The refusal names the owner as listed, its controls escaped; nothing is sent.
        QTest::newRow("owned by another user, escaped")
            << StopCase{false,
                        Later::List,
                        {},
                        1,
                        nothing,
                        "PID %1: This process is owned by “r\\x1b]0;x\\x07o\\x0do\\u202et”, not "
                        "you. Quayline only stops processes you own.\n",
                        0,
                        "r\x1b]0;x\ao\ro\u202et"};
    }
    void stopsOneProcess() {
        QFETCH(StopCase, c);
        ListeningChild child(c.ignoresTerm   ? ListeningChild::OnTerm::Ignore
                             : c.exitsSlowly ? ListeningChild::OnTerm::ExitSlowly
                                             : ListeningChild::OnTerm::Exit);
        const ChildLsof lsof(child.pid, child.port, c.later, c.user);
        QVERIFY(child.port > 0 && lsof.ok);
        const auto [code, out, err] =
            runCli(QStringList{"stop", "--lsof", lsof.path()} + c.options +
                   QStringList{"1", QString::number(child.port)});
        QCOMPARE(err, c.err.replace("%1", QString::number(child.pid)).replace("%2", lsof.path()));
        QCOMPARE(out, c.out.replace("%1", QString::number(child.pid)));
        QCOMPARE(code, c.exitCode);
        QTRY_COMPARE_WITH_TIMEOUT(child.endedBy(), c.endedBy, 10000);
    }

    // The exits are seen on the processes themselves; the one scan after them,
    // which looks for another holder of the ports, fails: status 1, the scan's
    // error on standard error, and no "stopped". A hung lsof holds the command
    // only about one scan past its --timeout, far less than the usual 30 s.
    void failingScanAfterTheWait_data() {
        QTest::addColumn<Later>("later");
        QTest::addColumn<bool>("ignoresTerm");
        QTest::newRow("lsof killed by a signal") << Later::Crash << false;
        QTest::newRow("lsof hangs, SIGTERM ignored") << Later::Hang << true;
    }
    void failingScanAfterTheWait() {
        QFETCH(Later, later);
        QFETCH(bool, ignoresTerm);
        ListeningChild child(ignoresTerm ? ListeningChild::OnTerm::Ignore
                                         : ListeningChild::OnTerm::Exit);
        const ChildLsof lsof(child.pid, child.port, later);
        QVERIFY(child.port > 0 && lsof.ok);
        QProcess cli;
        cli.start(qEnvironmentVariable("QUAYLINE_CLI"),
                  {"stop", "--force", "--timeout", "0.5", "--lsof", lsof.path(),
                   QString::number(child.port)});
        QVERIFY2(cli.waitForFinished(20000), "stop outlived its timeout by far more than a scan");
        const QString out = cli.readAllStandardOutput(), err = cli.readAllStandardError();
        QCOMPARE(cli.exitCode(), 1);
        QCOMPARE(out, ignoresTerm ? QString("PID %1 (perl) did not exit after SIGTERM; sent "
                                            "SIGKILL.\n")
                                        .arg(child.pid)
                                  : QString());
        QVERIFY2(
            err.endsWith(QString("\nPID %1 (perl) exited, but its ports could not be checked.\n")
                             .arg(child.pid)),
            qPrintable(err));
        QVERIFY2(err.count(u'\n') == 2, qPrintable(err)); // the scan's error comes first
        QTRY_COMPARE_WITH_TIMEOUT(child.endedBy(), ignoresTerm ? SIGKILL : SIGTERM, 10000);
    }

    // The process is gone, but lsof now shows another one on its port.
    void portTakenOver() {
        ListeningChild child(ListeningChild::OnTerm::Exit);
        const ChildLsof lsof(child.pid, child.port, Later::Replaced);
        // The newcomer is this test itself: it is only named, never signalled.
        const qint64 self = QCoreApplication::applicationPid();
        QVERIFY(child.port > 0 && lsof.ok &&
                lsof.stub.write("later",
                                StubLsof::listing(self, "caddy", currentLoginName(), child.port)));
        const auto [code, out, err] =
            runCli({"stop", "--lsof", lsof.path(), QString::number(child.port)});
        QCOMPARE(out, QString("PID %1 (perl) stopped.\n").arg(child.pid));
        // Another program took the port: the newcomer's parent, this test's
        // own, did not start the stopped child.
        QCOMPARE(err, QString("Port %1 was taken again by PID %2 (caddy) right after PID %3 "
                              "stopped.\nIt was started by PID %4 (")
                              .arg(child.port)
                              .arg(self)
                              .arg(child.pid)
                              .arg(::getppid()) +
                          err.section('(', 2));
        QCOMPARE(code, 1);
        QTRY_COMPARE_WITH_TIMEOUT(child.endedBy(), SIGTERM, 10000);
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
        QProcess cli;
        cli.setChildProcessModifier([] {
            const rlimit few{20, 20};
            ::setrlimit(RLIMIT_NOFILE, &few);
        });
        cli.start(qEnvironmentVariable("QUAYLINE_CLI"),
                  QStringList{"stop", "--watch", "0", "--lsof", lsof.path()} + ports);
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.readAllStandardError(), QByteArray());
        QCOMPARE(cli.readAllStandardOutput(), stopped.toUtf8());
        QCOMPARE(cli.exitCode(), 0);
        for (const auto &child : children)
            QTRY_COMPARE_WITH_TIMEOUT(child->endedBy(), SIGTERM, 10000);
    }

    // A shell that starts its listener again: the port is taken again, and
    // the shell is named with its pid. A shell that started it once, and
    // stays or ends with it: the port stays free, status 0.
    void shellKeeper_data() {
        QTest::addColumn<ShellKeeper::Mode>("mode");
        QTest::newRow("shell loop restarts it") << ShellKeeper::Mode::Loop;
        QTest::newRow("shell started it once") << ShellKeeper::Mode::Once;
        QTest::newRow("shell ends with it") << ShellKeeper::Mode::OnceAndExit;
    }
    void shellKeeper() {
        QFETCH(ShellKeeper::Mode, mode);
        const bool loop = mode == ShellKeeper::Mode::Loop;
        const ShellKeeper keeper(mode);
        qint32 first = 0;
        QTRY_VERIFY_WITH_TIMEOUT((first = keeper.listed()) > 0, 10000);
        const auto [code, out, err] =
            runCli({"stop", "--lsof", keeper.lsof->path(), QString::number(keeper.port)});
        QCOMPARE(out, QString("PID %1 (perl) stopped.\n").arg(first));
        if (!loop) {
            QCOMPARE(err, QString());
            QCOMPARE(code, 0);
            return;
        }
        const QRegularExpression taken(
            QString("^Port %1 was taken again by PID (\\d+) \\(perl\\) right after PID %2 "
                    "stopped\\.\nIt was started again by PID %3 \\(sh\\)\\.\n$")
                .arg(keeper.port)
                .arg(first)
                .arg(keeper.shell.processId()));
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
        const QStringList service{"--service"}, container{"--container"};
        const QString self = "tst_cli_stop";
        const Keeper unit = serviceKeeper(), box = containerKeeper();
        QTest::newRow("service stopped, ports free")
            << KeeperStopCase{service,
                              self,
                              unit,
                              {K::Stopped, {}},
                              true,
                              0,
                              "Stopped the service demo.service.\nPort 8080 is free.\n"
                              "Port 8081 is free.\n",
                              {},
                              1};
        QTest::newRow("service stopped, port still held")
            << KeeperStopCase{service,
                              self,
                              unit,
                              {K::Stopped, {}},
                              false,
                              1,
                              "Stopped the service demo.service.\n",
                              "Port 8080 is still held by PID %1 (tst_cli_stop).\n"
                              "Port 8081 is still held by PID %1 (tst_cli_stop).\n",
                              1};
        QTest::newRow("container gone")
            << KeeperStopCase{container, self, box, {K::Gone, "No such container: web-1"},
                              false,     1,    {},  "The container web-1 no longer exists.\n",
                              1};
        QTest::newRow("no service keeps it, a container does")
            << KeeperStopCase{service,
                              self,
                              box,
                              {K::Stopped, {}},
                              true,
                              1,
                              {},
                              "No service keeps port 8080; it is held by PID %1 (tst_cli_stop).\n"
                              "It is kept by the container web-1. To stop it: quayline-cli stop "
                              "--container 8080\n"
                              "No service keeps port 8081; it is held by PID %1 (tst_cli_stop).\n"
                              "It is kept by the container web-1. To stop it: quayline-cli stop "
                              "--container 8081\n",
                              0};
        // The engine's unit would take every container with it.
        Keeper engineUnit = unit;
        engineUnit.unit = "docker.service";
        QTest::newRow("docker-proxy's unit is never stopped")
            << KeeperStopCase{service,
                              "docker-proxy",
                              engineUnit,
                              {K::Stopped, {}},
                              true,
                              1,
                              {},
                              "Port 8080 is published by a container; stopping the container "
                              "engine's service would stop every container.\n"
                              "Port 8081 is published by a container; stopping the container "
                              "engine's service would stop every container.\n",
                              0};
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
        keepers.annotateRows = [&](PortEntryList &rows) {
            for (PortEntry &row : rows)
                row.keeper = c.keeper;
        };
        keepers.stopKeeper = [&](const Keeper &keeper) {
            ++stops;
            if (keeper != c.keeper)
                return KeeperStopResult{};
            if (c.freesPort)
                lsof.write("gone", {});
            return c.result;
        };
        const auto [code, out, err] =
            stopInProcess(c.options + QStringList{"--lsof", lsof.path(), "8080", "8081"}, keepers);
        QCOMPARE(err, QString(c.err).replace("%1", QString::number(self)));
        QCOMPARE(out, c.out);
        QCOMPARE(code, c.exitCode);
        QCOMPARE(stops, c.stops);
    }

    // --service against a service manager of the test's own on a private
    // bus, for a listener of root in a demo-web.service cgroup the test
    // makes: the stop goes to that unit, and its outcome is what is printed.
    // The manager stops nothing for real, so the port stays held afterwards.
    void serviceManager_data() {
        using A = FakeServiceManager::Unit::Authorization;
        QTest::addColumn<FakeServiceManager::Unit>("unit");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err"); // its first line
        FakeServiceManager::Unit unit{"demo-web.service"};
        unit.restart = "always";
        QTest::newRow("stopped") << unit << "Stopped the service demo-web.service.\n"
                                 << "Port %1 is still held by PID %2 (perl).";
        unit.authorization = A::Denied;
        QTest::newRow("authorization refused")
            << unit << QString()
            << "Not allowed to stop the service demo-web.service: Access denied.";
        // A dismissed prompt, a failed job and a unit already stopped are the
        // manager's answers that tst_keepers reads and tst_stop says.
    }
    void serviceManager() {
        QFETCH(FakeServiceManager::Unit, unit);
        QFETCH(QString, out);
        QFETCH(QString, err);
        if (::geteuid() != 0)
            QSKIP("a listener in a cgroup of its own needs root");
        CgroupPaths paths;
        const ServiceInCgroup service(paths);
        if (!service.listener)
            QSKIP("no writable cgroup2 mount here");
        QVERIFY(service.listener->port > 0);
        FakeServiceManager manager;
        if (const QString why = manager.start(); !why.isEmpty())
            QSKIP(qPrintable(why));
        manager.setUnit(unit);
        const qint64 pid = service.listener->process.processId();
        const StubLsof lsof(StubLsof::listingOf("echo " + QByteArray::number(pid) + ' ' +
                                                    QByteArray::number(service.listener->port),
                                                "root"));

        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", manager.address());
        env.insert("DBUS_SESSION_BUS_ADDRESS", manager.address());
        cli.setProcessEnvironment(env);
        cli.start(qEnvironmentVariable("QUAYLINE_CLI"), {"stop", "--service", "--lsof", lsof.path(),
                                                         QString::number(service.listener->port)});
        QVERIFY(cli.waitForFinished(60000));
        const QString printed = cli.readAllStandardError();
        QVERIFY2(printed.startsWith(err.replace("%1", QString::number(service.listener->port))
                                        .replace("%2", QString::number(pid))),
                 qPrintable(printed));
        QCOMPARE(printed.count(u'\n'), 1);
        QCOMPARE(QString(cli.readAllStandardOutput()), out);
        QCOMPARE(cli.exitCode(), 1);
        // The system's manager, with the password prompt allowed; no stop
        // at all for a unit that is not running.
        QVERIFY2(manager.calls().contains("StopUnit demo-web.service replace interactive") ==
                     (unit.activeState == u"active"),
                 qPrintable(manager.calls().join(" | ")));
    }

    // Any text the command prints is escaped, its own error texts included.
    void escapedScanError() {
        const QString path = "/nonexistent/\x1b[2J\u202e/lsof";
        const auto [code, out, err] = runCli({"stop", "--lsof", path, "80"});
        QCOMPARE(code, 1);
        QCOMPARE(out, QString());
        QCOMPARE(err, "Could not find lsof at /nonexistent/\\x1b[2J\\u202e/lsof.\n");
    }
};

QTEST_GUILESS_MAIN(TestCliStop)
#include "tst_cli_stop.moc"
