// quayline-cli stop, end to end, against a stand-in lsof that lists only the
// child this test started, and only while it is still that same process (pid
// and start time), so the command can never reach anything else.
#include "ListeningChild.h"
#include "StubLsof.h"
#include "process/SystemCalls.h"
#include "scanner/PortScanner.h"

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

    ChildLsof(qint32 pid, int port, Later later, const QString &user = currentLoginName())
        : stub(body(pid, later)) {
        QFile stat(QString("/proc/%1/stat").arg(pid));
        const QByteArray start =
            stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(21) : "";
        const QByteArray listing = StubLsof::listing(pid, "perl", user, port);
        ok = !start.isEmpty() && stub.write("start", start) && stub.write("listing", listing);
    }
    static QByteArray body(qint32 pid, Later later) {
        const QByteArray afterFirst = later == Later::Vanish ? "rm -f \"$0\"\n" : "";
        const QByteArray onLater = later == Later::Crash      ? "kill -9 $$\n"
                                   : later == Later::Hang     ? "exec sleep 600\n"
                                   : later == Later::Replaced ? "cat \"$dir/later\"; exit 0\n"
                                                              : "";
        return "[ \"$run\" = udp ] && exit 0\n"
               "if [ -e \"$dir/listed\" ]; then\n:\n" +
               onLater + "fi\n: >\"$dir/listed\"\n" + "set -- $(cut -d' ' -f3,22 /proc/" +
               QByteArray::number(pid) +
               "/stat 2>/dev/null)\n"
               "[ \"$1\" != Z ] && [ \"$2\" = \"$(cat \"$dir/start\")\" ] && "
               "cat \"$dir/listing\"\n" +
               afterFirst + "exit 0\n";
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

} // namespace

Q_DECLARE_METATYPE(StopCase)

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
        QCOMPARE(err, QString("Port %1 is now held by PID %2 (caddy)\n").arg(child.port).arg(self));
        QCOMPARE(code, 1);
        QTRY_COMPARE_WITH_TIMEOUT(child.endedBy(), SIGTERM, 10000);
    }

    // More targets than descriptors left under a low RLIMIT_NOFILE: stop
    // holds one at a time, so every one is stopped; and a look that fails for
    // want of descriptors would be an error, never "had already exited".
    void fewDescriptors() {
        std::vector<std::unique_ptr<ListeningChild>> children;
        QStringList ports;
        QString stopped;
        for (int i = 0; i < 24; ++i) {
            children.push_back(std::make_unique<ListeningChild>(ListeningChild::OnTerm::Exit));
            QVERIFY(children.back()->port > 0);
            ports << QString::number(children.back()->port);
            stopped += QString("PID %1 (perl) stopped.\n").arg(children.back()->pid);
        }
        QProcess cli;
        cli.setChildProcessModifier([] {
            const rlimit few{20, 20};
            ::setrlimit(RLIMIT_NOFILE, &few);
        });
        cli.start(qEnvironmentVariable("QUAYLINE_CLI"), QStringList{"stop"} + ports);
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.readAllStandardError(), QByteArray());
        QCOMPARE(cli.readAllStandardOutput(), stopped.toUtf8());
        QCOMPARE(cli.exitCode(), 0);
        for (const auto &child : children)
            QTRY_COMPARE_WITH_TIMEOUT(child->endedBy(), SIGTERM, 10000);
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
