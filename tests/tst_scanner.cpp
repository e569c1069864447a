// PortScanner against stub lsof scripts, and once against the real lsof.
#include "EntryText.h"
#include "StubLsof.h"
#include "scanner/PortScanner.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

// Waits with the event loop running, and fails instead of hanging.
#define WAIT_FOR_SCAN(future) QTRY_VERIFY_WITH_TIMEOUT((future).isFinished(), 60000)

class TestScanner : public QObject {
    Q_OBJECT

private slots:
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
        const QFuture<ScanResult> future = PortScanner(path).scan();
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
        // A pipe nobody reads would fill up and block the stub.
        QTest::newRow("floods standard error")
            << "head -c 8000000 /dev/zero >&2\n" + prints + "head -c 8000000 /dev/zero >&2\n";
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
        const QFuture<ScanResult> future = PortScanner(stub.path()).scan();
        WAIT_FOR_SCAN(future);
        // Both runs print the same; the run gives the protocol when P is missing.
        QCOMPARE(entriesText(future.result().entries),
                 QStringLiteral("1|ab\uFFFDc€||TCP||*|9|\n1|ab\uFFFDc€||UDP||*|9|"));
        QCOMPARE(stub.read("tcp.args"), "-nP\n-iTCP\n-sTCP:LISTEN\n-FpcLfPtnT\n");
        QCOMPARE(stub.read("udp.args"), "-nP\n-iUDP\n-FpcLfPtnT\n");
        for (const char *run : {"tcp.std", "udp.std"}) // standard input and error
            QCOMPARE(stub.read(run), "/dev/null\n/dev/null\n");
    }

    void hungRunsAreKilled() {
        // The TCP run hangs with standard output open, the UDP run after closing it.
        // exec keeps the shell's pid, so the recorded pid is the scanner's own child.
        const StubLsof stub("echo $$ >\"$dir/$run.pid\"\nprintf 'p1\\nf1\\nn*:1\\n'\n"
                            "[ $run = udp ] && exec >&-\nexec sleep 120\n");
        const QFuture<ScanResult> future = PortScanner(stub.path(), 1500ms).scan();
        WAIT_FOR_SCAN(future);
        QVERIFY(future.result().entries.isEmpty()); // what a hung run printed is dropped
        for (const char *run : {"tcp.pid", "udp.pid"}) {
            const QByteArray pid = stub.read(run).trimmed();
            QVERIFY2(!pid.isEmpty() && !QFileInfo::exists("/proc/" + QString::fromLatin1(pid)),
                     run);
        }
    }

    void realLsof() {
        const PortScanner scanner;
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
        QStringList ours; // sorted, so TCP first; the kept address is the first twin's
        for (const PortEntry &e : future.result().entries) {
            if (e.pid == ::getpid())
                ours.append(entriesText({e}).replace("|[::1]|", "|127.0.0.1|"));
        }
        ours.sort();
        QCOMPARE(ours, QStringList({me + "TCP|IPv4/IPv6|127.0.0.1|" + tcpPort + "|LISTEN",
                                    me + "UDP|IPv4|127.0.0.1|" + udpPort + '|'}));
    }
};

QTEST_GUILESS_MAIN(TestScanner)
#include "tst_scanner.moc"
