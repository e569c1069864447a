// PortScanner against stub lsof scripts, and once against the real lsof.
#include "EntryText.h"
#include "StubLsof.h"
#include "scanner/PortScanner.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>
#include <chrono>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

// Waits with the event loop running, and fails instead of hanging.
#define WAIT_FOR_SCAN(future) QTRY_VERIFY_WITH_TIMEOUT((future).isFinished(), 60000)

namespace {

struct Failure {
    QByteArray body = {};    // after the stub's preamble
    QByteArray program = {}; // when not empty, the whole file instead of the stub
    std::chrono::milliseconds limit = PortScanner::defaultTimeLimit;
    qint64 cap = PortScanner::defaultOutputCap;
    bool usePidFd = true;
    QString error = {}; // %1: the stub's path; empty when the scan succeeds
};

// A process the stub started is still running, or is our child and not reaped.
// Zombies of other parents are done: only their parent can reap them.
bool leftBehind(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 1 || !stat.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
    return fields.value(1) != "Z" || fields.value(2).toLongLong() == ::getpid();
}

} // namespace

Q_DECLARE_METATYPE(Failure)

class TestScanner : public QObject {
    Q_OBJECT

    LsofRuns m_runs;

private slots:
    void initTestCase() {
        // lsof here is a stand-in whose made-up listing the real socket table
        // would contradict (tst_kernelrows and tst_cli_kernel cover the table).
        qputenv("QUAYLINE_SOCKET_TABLE", "off");
    }

    void unavailableLsof_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("executable");
        QTest::newRow("missing path") << "absent" << true;
        QTest::newRow("not executable") << "lsof" << false;
        QTest::newRow("directory") << "" << true;
    }
    void unavailableLsof() {
        QFETCH(QString, name);
        QFETCH(bool, executable);
        const StubLsof stub("", executable);
        const QString path = stub.dir.filePath(name);
        const QFuture<ScanResult> future = PortScanner(m_runs, path).scan();
        QVERIFY(future.isFinished()); // nothing was launched to wait for
        QCOMPARE(future.result().errorText, "Could not find lsof at " + path + u'.');
        QVERIFY(stub.read("tcp.args").isEmpty() && stub.read("udp.args").isEmpty());
    }

    // Each row prints a name with invalid UTF-8 (read as U+FFFD) around its misdeed.
    void stubRuns_data() {
        QTest::addColumn<QByteArray>("body");
        const QByteArray prints = "readlink /proc/$$/fd/0 /proc/$$/fd/2 >\"$dir/$run.std\"\n"
                                  "printf 'p1\\ncab\\377c\\342\\202\\254\\nf1\\nn*:9\\n'\n";
        QTest::newRow("exits non-zero after printing") << prints + "exit 7\n";
        QTest::newRow("prints more than a pipe buffer")
            << "head -c 3000000 /dev/zero | tr '\\0' x\necho\n" + prints;
        // Each run prints only once the other has started (written its .args); one
        // after the other, the first would give up after 20 s and print nothing.
        QTest::newRow("the two runs overlap")
            << "other=tcp; [ $run = tcp ] && other=udp; i=0\n"
               "while [ ! -e \"$dir/$other.args\" ] && [ $i -lt 400 ]; do\n"
               "i=$((i + 1)); sleep 0.05; done\n[ -e \"$dir/$other.args\" ] || exit\n" +
                   prints;
    }
    void stubRuns() {
        QFETCH(QByteArray, body);
        const StubLsof stub(body);
        const QFuture<ScanResult> future = PortScanner(m_runs, stub.path()).scan();
        WAIT_FOR_SCAN(future);
        QCOMPARE(future.result().errorText, std::nullopt); // the exit status is ignored
        // Both runs print the same; the run gives the protocol when P is missing.
        QCOMPARE(entriesText(future.result().entries),
                 QStringLiteral("1|ab\uFFFDc€||TCP||*|9|\n1|ab\uFFFDc€||UDP||*|9|"));
        QCOMPARE(stub.read("tcp.args"), "-nP\n-iTCP\n-sTCP:LISTEN\n-FpcLfPtnT\n");
        QCOMPARE(stub.read("udp.args"), "-nP\n-iUDP\n-FpcLfPtnT\n");
        // Standard input and error: a pipe nobody reads would fill up and block lsof.
        for (const char *run : {"tcp.std", "udp.std"})
            QCOMPARE(stub.read(run), "/dev/null\n/dev/null\n");
    }

    // Runs that must fail the scan (or, with no error, must not), each ending with no
    // process of the stub's left running: each stub records its pid (and its
    // helper's) in "pids", checked after the scan.
    void failedRuns_data() {
        QTest::addColumn<Failure>("f");
        const QByteArray prints = "printf 'p1\\nf1\\nn*:9\\n'\n"; // 11 bytes
        const QByteArray helper = "echo $! >>\"$dir/pids\"\n";
        const QString overLimit = "lsof did not finish within 1.5 seconds.";
        QTest::newRow("not a program") << Failure{
            .program = "this is text\n", .error = "Could not run lsof at %1: Exec format error."};
        QTest::newRow("only the UDP run fails")
            << Failure{.body = prints + "[ $run = udp ] && kill -USR2 $$\n",
                       .error = "lsof was ended by signal 12."};
        // The UDP run fails first, yet the text is the TCP run's.
        QTest::newRow("both fail")
            << Failure{.body = "[ $run = tcp ] && sleep 0.3 && kill -USR1 $$\n"
                               "kill -USR2 $$\n",
                       .error = "lsof was ended by signal 10."};
        QTest::newRow("hangs with standard output open")
            << Failure{.body = prints + "exec sleep 300\n", .limit = 1500ms, .error = overLimit};
        QTest::newRow("closes standard output and lives on") << Failure{
            .body = prints + "exec sleep 300 >&-\n", .limit = 1500ms, .error = overLimit};
        QTest::newRow("closes standard output and lives on, no pidfd")
            << Failure{.body = prints + "exec sleep 300 >&-\n",
                       .limit = 1500ms,
                       .usePidFd = false,
                       .error = overLimit};
        QTest::newRow("exits while a helper holds standard output") << Failure{
            .body = "sleep 300 &\n" + helper + prints, .limit = 1500ms, .error = overLimit};
        QTest::newRow("exits leaving a helper behind")
            << Failure{.body = "sleep 300 >/dev/null &\n" + helper + prints};
        QTest::newRow("endless output")
            << Failure{.body = "exec yes\n",
                       .cap = 1024 * 1024,
                       .error = "lsof printed more than 1 MB; the scan was stopped."};
        QTest::newRow("output of exactly the cap") << Failure{.body = prints, .cap = 11};
        QTest::newRow("output one byte over the cap")
            << Failure{.body = prints,
                       .cap = 10,
                       .error = "lsof printed more than 10 bytes; the scan was stopped."};
    }
    void failedRuns() {
        QFETCH(Failure, f);
        const StubLsof stub("echo $$ >>\"$dir/pids\"\n" + f.body);
        if (!f.program.isEmpty())
            QVERIFY(stub.write("lsof", f.program));
        PortScanner scanner(m_runs, stub.path(), f.limit);
        scanner.setOutputCap(f.cap);
        scanner.setUsePidFd(f.usePidFd);
        const QFuture<ScanResult> future = scanner.scan();
        // Only to catch a run that is never ended: the stubs hang for 300 s.
        QTRY_VERIFY_WITH_TIMEOUT(future.isFinished(), 30000);
        const ScanResult result = future.result();
        if (f.error.isEmpty()) {
            QCOMPARE(result.errorText, std::nullopt);
            QCOMPARE(result.entries.size(), 2);
        } else {
            QCOMPARE(result.errorText.value_or("(none)"), f.error.replace("%1", stub.path()));
            QVERIFY(result.entries.isEmpty());
        }
        const QList<qint64> pids = stub.numbers("pids");
        if (pids.isEmpty() && f.program.isEmpty() && f.limit < PortScanner::defaultTimeLimit)
            QSKIP("The machine is too busy: the stub was killed at the limit before it wrote "
                  "its pid, so there is nothing to look for.");
        QVERIFY(!f.program.isEmpty() || !pids.isEmpty());
        for (const qint64 pid : pids) // SIGKILL takes effect a moment after it is sent
            QTRY_VERIFY2_WITH_TIMEOUT(!leftBehind(pid), qPrintable(QString::number(pid)), 10000);
    }

    void realLsof() {
        const PortScanner scanner(m_runs);
        if (!QFileInfo(scanner.lsofPath()).isExecutable())
            QSKIP("lsof is not installed");
        // TCP listeners on 127.0.0.1 and [::1] sharing one port, and a UDP socket.
        const int tcp4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int tcp6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const auto closeAll = qScopeGuard([&] { ::close(tcp4), ::close(tcp6), ::close(udp); });
        const auto sa = [](auto *a) { return reinterpret_cast<sockaddr *>(a); };
        sockaddr_in a4{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a4;
        QVERIFY(::bind(tcp4, sa(&a4), len) == 0 && ::getsockname(tcp4, sa(&a4), &len) == 0 &&
                ::listen(tcp4, 1) == 0);
        const QString tcpPort = QString::number(ntohs(a4.sin_port));
        sockaddr_in6 a6{AF_INET6, a4.sin_port, 0, in6addr_loopback, 0};
        if (::bind(tcp6, sa(&a6), sizeof a6) != 0 || ::listen(tcp6, 1) != 0)
            QSKIP("cannot listen on [::1] on the IPv4 listener's port");
        a4.sin_port = 0;
        QVERIFY(::bind(udp, sa(&a4), len) == 0 && ::getsockname(udp, sa(&a4), &len) == 0);
        const QString udpPort = QString::number(ntohs(a4.sin_port));

        const passwd *pw = ::getpwuid(::getuid());
        const QString me = QStringLiteral("%1|tst_scanner|%2|")
                               .arg(::getpid())
                               .arg(pw ? pw->pw_name : QString::number(::getuid()));
        const QFuture<ScanResult> future = scanner.scan();
        WAIT_FOR_SCAN(future);
        QCOMPARE(future.result().errorText, std::nullopt);
        QStringList ours; // sorted, so TCP first; the kept address is the first twin's
        for (const PortEntry &e : future.result().entries) {
            if (e.pid == ::getpid())
                ours.append(entriesText({e}).replace("|[::1]|", "|127.0.0.1|"));
        }
        ours.sort();
        QCOMPARE(ours, QStringList({me + "TCP|IPv4/IPv6|127.0.0.1|" + tcpPort + "|LISTEN",
                                    me + "UDP|IPv4|127.0.0.1|" + udpPort + '|'}));
    }

    // The kernel's table is read once both runs are done: read beside them,
    // it could predate a socket that lsof then lists, which would then count
    // as closed and lose its process.
    void socketTableReadAfterLsof() {
        const StubLsof stub("while [ ! -e \"$dir/go\" ]; do sleep 0.05; done\n"
                            ": >\"$dir/$run.done\"\n");
        PortScanner scanner(m_runs, stub.path());
        QAtomicInt reads, early;
        scanner.setSocketTableRead([&] {
            reads.ref();
            for (const char *run : {"tcp.done", "udp.done"})
                if (!QFile::exists(stub.dir.filePath(run)))
                    early.ref();
            return SocketTableResult{};
        });
        const QFuture<ScanResult> scan = scanner.scan();
        QTRY_VERIFY_WITH_TIMEOUT(
            !stub.read("tcp.args").isEmpty() && !stub.read("udp.args").isEmpty(), 30000);
        QVERIFY(stub.write("go", {}));
        WAIT_FOR_SCAN(scan);
        QCOMPARE(reads.loadRelaxed(), 1);
        QCOMPARE(early.loadRelaxed(), 0);
    }

    // With every thread of the lsof pool taken, requests equal to a run still waiting
    // for a thread share it instead of queueing lsof after lsof.
    void waitingRunsAreShared() {
        const StubLsof stub("echo $$ >>\"$dir/started\"\n"
                            "while [ ! -e \"$dir/go\" ]; do sleep 0.05; done\n"
                            "printf 'p1\\nf1\\nn*:9\\n'\n");
        const PortScanner scanner(m_runs, stub.path());
        QList<QFuture<ScanResult>> scans;
        for (int i = 0; i < 8; ++i) { // two runs each, until the pool's 16 threads are taken
            scans.append(scanner.scan());
            QTRY_COMPARE_WITH_TIMEOUT(stub.numbers("started").size(), 2 * (i + 1), 30000);
        }
        for (int i = 0; i < 10; ++i)
            scans.append(scanner.scan());
        QVERIFY(stub.write("go", {}));
        for (const QFuture<ScanResult> &scan : scans) {
            WAIT_FOR_SCAN(scan);
            QCOMPARE(scan.result().entries.size(), 2);
        }
        QCOMPARE(stub.numbers("started").size(), 18); // one more TCP run and one more UDP run
    }

    // Last: after endAll() these runs starts no lsof any more.
    void quitEndsRunningLsof() {
        const StubLsof stub("echo $$ >>\"$dir/pids\"\nexec sleep 300\n");
        const QFuture<ScanResult> running = PortScanner(m_runs, stub.path()).scan();
        QTRY_COMPARE_WITH_TIMEOUT(stub.numbers("pids").size(), 2, 30000);
        m_runs.endAll();
        WAIT_FOR_SCAN(running); // long before the 30 s limit
        QCOMPARE(running.result().errorText.value_or("(none)"), "lsof was ended by signal 9.");
        for (const qint64 pid : stub.numbers("pids"))
            QVERIFY(!leftBehind(pid));

        const StubLsof later("");
        const QFuture<ScanResult> refused = PortScanner(m_runs, later.path()).scan();
        WAIT_FOR_SCAN(refused);
        QCOMPARE(refused.result().errorText.value_or("(none)"),
                 "Could not run lsof at " + later.path() + ": Operation canceled.");
        QVERIFY(!later.ran());
    }
};

QTEST_GUILESS_MAIN(TestScanner)
#include "tst_scanner.moc"
