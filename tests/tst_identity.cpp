// What a process is: /proc parsing as data rows, the identity read from
// processes the test starts itself, and signalling through a ProcessHandle
// with the system calls replaced (a recycled pid, refusals, no pidfds).
#include "FakeSystemCalls.h"
#include "SpawnedChild.h"
#include "model/DisplayText.h"
#include "process/ProcessHandle.h"
#include "process/StopStages.h"
#include "scanner/ProcessReader.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <unistd.h>

namespace {

const QByteArray id64 = "4f1c0e2a9b7d3c5e6f8a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b9c0d1e";

// What a stat line of a sleeping process looks like, with the given comm and start ticks.
QByteArray statLine(const QByteArray &comm, quint64 ticks, char state = 'S') {
    return "4242 (" + comm + ") " + state +
           " 1 4242 4242 0 -1 4194560 120 0 0 0 0 0 0 0 20 0 1 0 " + QByteArray::number(ticks) +
           " 8503296 245 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
}

// Writes a file of a fake /proc, making its folder.
bool writeFile(const QTemporaryDir &root, const QString &name, const QByteArray &data) {
    QFile file(root.filePath(name));
    return QDir(root.path()).mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(data) == data.size();
}

// One signalling attempt through the seam: whether pidfd_open works (else
// ENOSYS, or the negative errno given), the start ticks recorded at the scan,
// the start ticks /proc shows at each look (0: no process on the pid), what
// the sending call answers.
struct Attempt {
    int pidfdOpen; // 1: a descriptor; 0: -ENOSYS; < 0: that value
    quint64 recorded;
    QList<quint64> seen; // one per look at /proc, the last repeated
    int sendResult;
    char state = 'S';
    int statError = 0;  // the look at /proc fails with this errno
    bool force = false; // SIGKILL, not SIGTERM
};

} // namespace

Q_DECLARE_METATYPE(Attempt)
Q_DECLARE_METATYPE(std::optional<KillError>)

class TestIdentity : public QObject {
    Q_OBJECT

private slots:
    void parsesStat_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArray>("comm"); // "<none>": not a stat line
        QTest::addColumn<char>("state");
        QTest::addColumn<quint64>("ticks");
        // Taken up to the first ')' this reads " (x" as the state and a wrong field 22.
        QTest::newRow("comm with ') (' inside")
            << statLine("a) (b) R 1 2", 99) << QByteArray("a) (b) R 1 2") << 'S' << quint64(99);
        QTest::newRow("cut short before field 22") << QByteArray("4242 (cut) S 1 4242 4242 0 -1")
                                                   << QByteArray("<none>") << '\0' << quint64(0);
    }
    void parsesStat() {
        QFETCH(QByteArray, line);
        QFETCH(QByteArray, comm);
        QFETCH(char, state);
        QFETCH(quint64, ticks);
        const std::optional<ProcessStat> stat = StatReader::parse(line);
        QCOMPARE(stat ? stat->comm : QByteArray("<none>"), comm);
        if (stat) {
            QCOMPARE(stat->state, state);
            QCOMPARE(stat->startTicks, ticks);
        }
    }

    // The unit, or the container and the tool that stops it, and which
    // manager runs the unit: a user's (its uid) or the system's (-1); for
    // the viewer 1000.
    // Stopping through the wrong one stops a namesake or nothing.
    void parsesCgroup_data() {
        QTest::addColumn<QByteArray>("cgroup");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("container"); // "id": id64
        QTest::addColumn<QString>("tool");
        QTest::addColumn<qint64>("managerUid");
        const QByteArray user = "0::/user.slice/user-1000.slice/user@1000.service/";
        const auto row = [](const char *tag, const QByteArray &cgroup, const QString &unit,
                            const QString &container = {}, const QString &tool = {},
                            qint64 managerUid = -1) {
            QTest::newRow(tag) << cgroup << unit << container << tool << managerUid;
        };
        row("system service", "0::/system.slice/nginx.service\n", "nginx.service");
        row("user service", user + "app.slice/dev-server.service\n", "dev-server.service", "", "",
            1000);
        row("user manager process in its own unit", user.chopped(1) + "\n", "user@1000.service");
        row("login session", "0::/user.slice/user-1000.slice/session-3.scope\n", "session-3.scope");
        row("a unit named like a manager below a system service",
            "0::/system.slice/user@x.service/web.service\n", "web.service");
        row("none", "0::/\n", "");
        // Shown escaped wherever it goes; dropped, it would hide in plain sight.
        row("a unit named with a leading BOM keeps it",
            "0::/system.slice/\xef\xbb\xbfssh.service\n", QStringLiteral("\uFEFFssh.service"));
        row("hybrid: v1 systemd path when v2 is the root",
            "4:memory:/system.slice/ssh.service\n1:name=systemd:/system.slice/ssh.service\n0::/\n",
            "ssh.service");
        row("docker, systemd driver", "0::/system.slice/docker-" + id64 + ".scope\n", "", "id",
            "docker");
        row("docker, cgroupfs v1",
            "12:pids:/docker/" + id64 + "\n1:name=systemd:/docker/" + id64 + "\n0::/\n", "", "id",
            "docker");
        row("podman scope", "0::/machine.slice/libpod-" + id64 + ".scope/container\n", "", "id",
            "podman");
        row("podman, cgroupfs", "0::/libpod_parent/libpod-" + id64 + "\n", "", "id", "podman");
        row("podman's conmon is no container",
            "0::/machine.slice/libpod-conmon-" + id64 + ".scope\n",
            QString("libpod-conmon-" + id64 + ".scope"));
        row("containerd under kubepods, systemd driver",
            "0::/kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod1a2b3c4d_5e6f.slice/"
            "cri-containerd-" +
                id64 + ".scope\n",
            "", "id", "crictl");
        row("containerd's colon form",
            "0::/system.slice/containerd.service/kubepods-pod1.slice:cri-containerd:" + id64 + "\n",
            "", "id", "crictl");
        row("kubernetes, cgroupfs", "0::/kubepods/besteffort/pod1a2b/" + id64 + "\n", "", "id",
            "crictl");
        row("CRI-O scope", "0::/kubepods.slice/crio-" + id64 + ".scope\n", "", "id", "crictl");
        row("docker, systemd driver, a cgroup inside the container",
            "0::/system.slice/docker-" + id64 + ".scope/init.scope\n", "", "id", "docker");
        row("podman pod",
            "0::/machine.slice/machine-libpod_pod_1a2b.slice/libpod-" + id64 + ".scope\n", "", "id",
            "podman");
        row("rootless podman under the viewer's own manager",
            user + "user.slice/libpod-" + id64 + ".scope/container\n", "", "id", "podman");
        row("rootless docker under the viewer's own manager",
            user + "user.slice/docker-" + id64 + ".scope\n", "", "id", "docker");
        // Folders any user may make in the tree their manager is handed: named
        // like a container's, they are no container (its id may be anyone's).
        row("a docker scope a user made in their app.slice",
            user + "app.slice/docker-" + id64 + ".scope\n", "docker-" + id64 + ".scope", "", "",
            1000);
        row("cgroupfs's docker folder below a user's manager", user + "docker/" + id64 + "\n",
            "user@1000.service");
        row("a kubepods slice below a user's manager",
            user + "kubepods.slice/cri-containerd-" + id64 + ".scope\n",
            "cri-containerd-" + id64 + ".scope", "", "", 1000);
        row("rootless podman of another user, whose engine is not the viewer's",
            "0::/user.slice/user-1001.slice/user@1001.service/user.slice/libpod-" + id64 +
                ".scope\n",
            "libpod-" + id64 + ".scope", "", "", 1001);
    }
    void parsesCgroup() {
        QFETCH(QByteArray, cgroup);
        QFETCH(QString, unit);
        QFETCH(QString, container);
        QFETCH(qint64, managerUid);
        const ProcessReader::CgroupPlace place = ProcessReader::parseCgroup(cgroup, 1000);
        QCOMPARE(place.unit, unit);
        QCOMPARE(place.container, container == u"id" ? QString(id64) : container);
        QTEST(place.containerTool, "tool");
        QCOMPARE(place.userUnit, managerUid >= 0);
        QCOMPARE(place.userManagerUid, managerUid);
    }

    // lsof prints comm, escaping control characters and cutting it at ") ".
    void matchesComm_data() {
        QTest::addColumn<QByteArray>("comm");
        QTest::addColumn<QString>("lsof");
        QTest::addColumn<bool>("matches");
        QTest::newRow("equal") << QByteArray("nginx") << "nginx" << true;
        QTest::newRow("another name") << QByteArray("sleep") << "nginx" << false;
        QTest::newRow("the listed name plus more") << QByteArray("sleep2") << "sleep" << false;
        QTest::newRow("ESC as ^[") << QByteArray("we\x1b[2Jird") << "we^[[2Jird" << true;
        QTest::newRow("DEL as \\x7f") << QByteArray("a\x7f!") << "a\\x7f!" << true;
        QTest::newRow("ESC, but another name before it")
            << QByteArray("xy\x1b[2J") << "we^[[2J" << false;
        QTest::newRow("cut at ') ' by lsof")
            << QByteArray("we\x1b[2Jird ) ( n") << "we^[[2Jird " << true;
        QTest::newRow("invalid UTF-8") << QByteArray("caf\xe9") << "caf\ufffd" << true;
    }
    void matchesComm() {
        QFETCH(QByteArray, comm);
        QFETCH(QString, lsof);
        QFETCH(bool, matches);
        QCOMPARE(ProcessReader::commMatches(comm, lsof), matches);
    }

    // A fake /proc: the reader takes its root as a parameter.
    void readsFakeTree() {
        QTemporaryDir root;
        QDir dir(root.path());
        const auto write = [&](const QString &name, const QByteArray &data) {
            QVERIFY(writeFile(root, name, data));
        };
        write("stat", "cpu  1 2 3\nbtime 1700000000\nprocesses 9\n");
        write("4242/stat", statLine("node", 250)); // 2.5 s after boot at 100 Hz
        write("4242/cmdline", QByteArray("node\0server.js\0--port=80 x\0\0", 28));
        write("4242/cgroup", "0::/system.slice/app.service\n");
        QVERIFY(QFile::link("/", dir.filePath("4242/cwd")));
        const ProcessReader reader(root.path());
        QCOMPARE(reader.bootTime(), 1700000000);
        ProcessInfo info = reader.read(4242, u"node");
        QCOMPARE(info.startTicks, quint64(250));
        QCOMPARE(info.commandLine, QStringList({"node", "server.js", "--port=80 x", ""}));
        QCOMPARE(info.rawCommandLine, QByteArray("node\0server.js\0--port=80 x\0\0", 28));
        QVERIFY(!info.commandLineCut);
        QCOMPARE(info.cwd, "/");
        QVERIFY(!info.cwdDeleted);
        QCOMPARE(info.unit, "app.service");
        if (::sysconf(_SC_CLK_TCK) == 100)
            QCOMPARE(info.startedAt,
                     QDateTime::fromSecsSinceEpoch(1700000002, Qt::UTC).addMSecs(500));
        QCOMPARE(info.startedAt.timeSpec(), Qt::UTC);
        // Another process on the pid by now, and no process at all.
        QCOMPARE(reader.read(4242, u"python3"), ProcessInfo());
        QCOMPARE(reader.read(4343, u"node"), ProcessInfo());
        // A program that rewrote its argv into one string, without the final NUL.
        write("4242/cmdline", "node: worker 3 of 8");
        QCOMPARE(reader.read(4242, u"node").commandLine, QStringList{"node: worker 3 of 8"});
        // A folder that is merely named like a removed one is no removed one.
        QVERIFY(dir.mkpath("gone (deleted)"));
        QVERIFY(QFile::remove(dir.filePath("4242/cwd")));
        QVERIFY(QFile::link(dir.filePath("gone (deleted)"), dir.filePath("4242/cwd")));
        info = reader.read(4242, u"node");
        QCOMPARE(info.cwd, dir.filePath("gone (deleted)"));
        QVERIFY(!info.cwdDeleted);
        // A folder that cannot be opened (here not a folder; EMFILE in life)
        // says nothing of whether its process is there: the fill fails.
        write("4343", "");
        PortEntryList entries{PortEntry(4343, "node", "me", "TCP", "IPv4", "*", 80, "LISTEN")};
        QCOMPARE(reader.fill(entries).value_or("(none)"),
                 "Could not read " + root.path() + "/4343: Not a directory.");
    }

    // Many processes with long command lines: one scan reads at most the
    // budget of them in all (each at least the start of its own), and rows of
    // identical command lines share one copy.
    void commandLinesWithinBudget() {
        QTemporaryDir root;
        constexpr qsizetype perProcess = ProcessReader::maxCommandLineBytes;
        const QByteArray shared = QByteArray(perProcess + 10, 'a') + '\0';
        PortEntryList entries;
        for (int pid = 100; pid < 140; ++pid) {
            // Every fourth one its own, the others all the same.
            QVERIFY(
                writeFile(root, QStringLiteral("%1/stat").arg(pid), statLine("server", 250 + pid)));
            QVERIFY(writeFile(root, QStringLiteral("%1/cmdline").arg(pid),
                              pid % 4 ? shared : QByteArray(1000, char('a' + pid % 26)) + '\0'));
            for (int port : {2 * pid, 2 * pid + 1})
                entries.append(PortEntry(pid, "server", "me", "TCP", "IPv4", "*", port, "LISTEN"));
        }
        const qsizetype budget = 3 * perProcess;
        QVERIFY(!ProcessReader(root.path()).fill(entries, budget));
        qsizetype read = 0;
        const ProcessInfo *firstShared = nullptr;
        for (const PortEntry &e : entries) {
            const ProcessInfo &p = e.process;
            QVERIFY(p.isKnown());
            QVERIFY(p.rawCommandLine.size() >= ProcessReader::minCommandLineBytes ||
                    !p.commandLineCut);
            QCOMPARE(p.commandLine, ProcessReader::splitCommandLine(p.rawCommandLine));
            if (e.port % 2 == 0) // each process once
                read += p.rawCommandLine.size();
            if (e.pid % 4 != 0 && p.rawCommandLine.size() == perProcess) {
                QVERIFY(p.commandLineCut);
                if (!firstShared)
                    firstShared = &p;
                QCOMPARE(p.rawCommandLine.constData(), firstShared->rawCommandLine.constData());
                QCOMPARE(p.commandLine.constData(), firstShared->commandLine.constData());
            }
        }
        QVERIFY(firstShared);
        QVERIFY2(read <= budget + 40 * ProcessReader::minCommandLineBytes,
                 qPrintable(QString::number(read)));
        QCOMPARE(entries.back().process.rawCommandLine.size(), ProcessReader::minCommandLineBytes);
        QVERIFY(entries.back().process.commandLineCut);
    }

    // A real child: comm from the file name, a long argv with spaces, an
    // empty argument and bytes that are no UTF-8, a working folder with a
    // space in its name, removed.
    // (Its unit, start time and a pid without it are readsFakeTree's.)
    void readsRealProcess() {
        QTemporaryDir dir(QDir::tempPath() + "/quayline identity XXXXXX");
        const QByteArray program = QFile::encodeName(dir.filePath("a-really-long-program-name"));
        QVERIFY(QFile::copy("/usr/bin/perl", program)); // takes the rest of argv as @ARGV
        QList<QByteArray> args{"argv zero, not the name", "-e", "sleep 30"};
        for (int i = 0; i < 300; ++i) // about 30 KB, far past one page
            args.append(QByteArray(100, char('a' + i % 26)));
        // Bytes a decoder would drop or replace: read as bytes, not text.
        args += {"",
                 "\xef\xbb\xbf"
                 "bom",
                 "caf\xe9", "two\nlines", "last one"};
        SpawnedChild child(program, args, QFile::encodeName(dir.path()));
        QVERIFY(child.pid > 0);
        const ProcessReader reader;
        QStringList expected;
        for (const QByteArray &a : args) // the text of each (argumentsAsText says what that is)
            expected.append(utf8Text(a));
        // posix_spawn returns before the exec, and the exec sets comm a moment
        // before the new argv is in place.
        const auto info = [&] { return reader.read(child.pid, u"a-really-long-p"); };
        QTRY_COMPARE(info().commandLine, expected);
        QCOMPARE(info().rawCommandLine, child.cmdline);
        QCOMPARE(info().cwd, dir.path());
        // Its folder removed: the path without the kernel's marker, and the mark.
        QVERIFY(QDir(dir.path()).removeRecursively());
        QCOMPARE(info().cwd, dir.path());
        QVERIFY(info().cwdDeleted);
    }

    void signalsThroughSeam_data() {
        QTest::addColumn<Attempt>("attempt");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<std::optional<KillError>>("error");
        const auto gone = std::optional(KillError::processGone());
        const std::optional<KillError> none;
        const QStringList viaPidfd{"open 42", "stat", "send 15", "close"};
        const QStringList viaKill{"open 42", "stat", "stat", "kill 42 15"};
        QTest::newRow("pidfd: sent") << Attempt{1, 7, {7}, 0} << viaPidfd << none;
        QTest::newRow("pidfd: EPERM") << Attempt{1, 7, {7}, EPERM} << viaPidfd
                                      << std::optional(KillError::permissionDenied());
        QTest::newRow("pidfd: other errno")
            << Attempt{1, 7, {7}, EINVAL} << viaPidfd << std::optional(KillError::failed(EINVAL));
        QTest::newRow("pidfd: SIGKILL sent")
            << Attempt{1, 7, {7}, 0, 'S', 0, true}
            << QStringList{"open 42", "stat", "send 9", "close"} << none;
        QTest::newRow("pidfd: SIGKILL, the pid holds another process")
            << Attempt{1, 7, {9}, 0, 'S', 0, true} << QStringList{"open 42", "stat", "close"}
            << gone;
        QTest::newRow("pidfd: exited meanwhile") << Attempt{1, 7, {7}, ESRCH} << viaPidfd << gone;
        QTest::newRow("pidfd: exited, awaiting its parent")
            << Attempt{1, 7, {7}, 0, 'Z'} << viaPidfd << none;
        QTest::newRow("pidfd: the pid holds another process")
            << Attempt{1, 7, {9}, 0} << QStringList{"open 42", "stat", "close"} << gone;
        QTest::newRow("pidfd: nothing on the pid")
            << Attempt{-ESRCH, 7, {0}, 0} << QStringList{"open 42"} << gone;
        QTest::newRow("pidfd_open fails: EMFILE")
            << Attempt{-EMFILE, 7, {7}, 0} << QStringList{"open 42"}
            << std::optional(KillError::failed(EMFILE));
        QTest::newRow("no pidfds: kill(2)") << Attempt{0, 7, {7}, 0} << viaKill << none;
        QTest::newRow("pidfd_open refused by a seccomp filter: kill(2)")
            << Attempt{-EPERM, 7, {7}, 0} << viaKill << none;
        QTest::newRow("no pidfds: EPERM")
            << Attempt{0, 7, {7}, EPERM} << viaKill << std::optional(KillError::permissionDenied());
        QTest::newRow("no pidfds: the pid holds another process")
            << Attempt{0, 7, {9}, 0} << QStringList{"open 42", "stat"} << gone;
        QTest::newRow("no pidfds: replaced between the check and kill(2)")
            << Attempt{0, 7, {7, 9}, 0} << QStringList{"open 42", "stat", "stat"} << gone;
        QTest::newRow("no pidfds: gone before kill(2)")
            << Attempt{0, 7, {7, 0}, 0} << QStringList{"open 42", "stat", "stat"} << gone;
        QTest::newRow("/proc unreadable: EMFILE is no exit")
            << Attempt{1, 7, {7}, 0, 'S', EMFILE} << QStringList{"open 42", "stat", "close"}
            << std::optional(KillError::failed(EMFILE));
        // Nothing to check against: nothing is opened, read or sent.
        QTest::newRow("unknown start time") << Attempt{1, 0, {0}, 0} << QStringList{} << gone;
    }
    void signalsThroughSeam() {
        QFETCH(Attempt, attempt);
        QFETCH(QStringList, calls);
        QFETCH(std::optional<KillError>, error);
        QStringList made;
        qsizetype looks = 0;
        FakeSystemCalls system;
        system.login = [] { return QStringLiteral("me"); };
        system.pidfdOpen = [&](qint32 pid) {
            made << "open " + QString::number(pid);
            return attempt.pidfdOpen == 1   ? 1000
                   : attempt.pidfdOpen == 0 ? -ENOSYS
                                            : attempt.pidfdOpen;
        };
        system.pidfdSendSignal = [&](int fd, int signal) {
            made << "send " + QString::number(signal);
            return fd == 1000 ? attempt.sendResult : EBADF;
        };
        system.kill = [&](qint32 pid, int signal) {
            made << QString("kill %1 %2").arg(pid).arg(signal);
            return attempt.sendResult;
        };
        system.closeFd = [&](int fd) { made << (fd == 1000 ? "close" : "close wrong fd"); };
        system.processStat = [&](qint32) -> StatReading {
            made << "stat";
            if (attempt.statError)
                return StatReading::failed(attempt.statError);
            const quint64 ticks = attempt.seen.value(std::min(looks++, attempt.seen.size() - 1));
            return ticks ? std::optional(ProcessStat{
                               .comm = "server", .state = attempt.state, .startTicks = ticks})
                         : std::nullopt;
        };
        QCOMPARE(signalProcess(42, "me", attempt.force, attempt.recorded, system), error);
        QCOMPARE(made, calls);
    }

    // A real child held across a signal: open, not yet exited, SIGTERM,
    // exited (a zombie counts), and once reaped its pid no longer opens.
    void handleHoldsRealChild_data() {
        QTest::addColumn<bool>("pidfd");
        QTest::newRow("through a pidfd") << true;
        QTest::newRow("kill(2) where there are no pidfds") << false;
    }
    void handleHoldsRealChild() {
        QFETCH(bool, pidfd);
        SpawnedChild child("/bin/sleep", {"sleep", "30"}, "/");
        QVERIFY(child.pid > 0);
        const auto stat = [&] { return StatReader().read(child.pid).stat.value_or(ProcessStat()); };
        QTRY_COMPARE(stat().comm, "sleep");
        FakeSystemCalls withoutPidfds;
        withoutPidfds.processStat = [](qint32 pid) { return StatReader().read(pid); };
        // Our own child, not yet reaped, so the pid is still its own.
        withoutPidfds.kill = [&](qint32 pid, int signal) {
            return pid == child.pid ? SystemCalls::real().sendKill(pid, signal) : EPERM;
        };
        const SystemCalls &system = pidfd ? SystemCalls::real() : withoutPidfds;
        const quint64 ticks = stat().startTicks;
        QVERIFY(!ProcessHandle::open(child.pid, ticks + 1, system).isOpen());
        const ProcessHandle handle = ProcessHandle::open(child.pid, ticks, system);
        QVERIFY(handle.isOpen());
        QCOMPARE(handle.hasPidfd(), pidfd);
        QCOMPARE(handle.waitForExit(QDeadlineTimer(50)), ProcessHandle::Wait::Running);
        QVERIFY(!handle.signal(SIGTERM));
        QCOMPARE(handle.waitForExit(QDeadlineTimer(10000)), ProcessHandle::Wait::Exited);
        QVERIFY(child.waitForExit());
        const qint32 pid = child.pid;
        child.reap();
        QCOMPARE(ProcessHandle::open(pid, ticks, system).error(),
                 std::optional(KillError::processGone()));
    }
};

QTEST_GUILESS_MAIN(TestIdentity)
#include "tst_identity.moc"
