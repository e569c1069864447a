// PortScanner against stub lsof scripts (launching, reading, time limit, the two
// concurrent runs) and once against the real lsof with sockets of its own.
#include "EntryText.h"
#include "StubLsof.h"
#include "scanner/PortScanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int scanTimeoutMs = 60000;

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1)
        : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Waits without blocking the event loop, and fails instead of hanging.
#define WAIT_FOR_SCAN(future) QTRY_VERIFY_WITH_TIMEOUT((future).isFinished(), scanTimeoutMs)

const QByteArray twoProcessesTcp = "p10\ncdnsmasq\nLnobody\nf4\ntIPv4\nPTCP\nn127.0.0.1:53\n"
                                   "TST=LISTEN\nTQR=0\nTQS=0\n"
                                   "p412\ncserver\nLadmin\nf23\ntIPv4\nPTCP\nn*:631\nTST=LISTEN\n"
                                   "f24\ntIPv6\nPTCP\nn*:631\nTST=LISTEN\n";
const QByteArray twoProcessesUdp = "p10\ncdnsmasq\nLnobody\nf5\ntIPv4\nPUDP\nn127.0.0.1:53\n"
                                   "TQR=0\nTQS=0\n"
                                   "p77\ncavahi\nLavahi\nf12\ntIPv4\nPUDP\nn*:5353\n";
const QStringList twoProcessesTcpEntries{"10|dnsmasq|nobody|TCP|IPv4|127.0.0.1|53|LISTEN",
                                         "412|server|admin|TCP|IPv4/IPv6|*|631|LISTEN"};

QString loginName() {
    const passwd *pw = ::getpwuid(::getuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::getuid());
}

} // namespace

class TestScanner : public QObject {
    Q_OBJECT

private slots:
    void unavailableLsof_data();
    void unavailableLsof();
    void launchFailure();
    void runBlocking_data();
    void runBlocking();
    void scanOutputs_data();
    void scanOutputs();
    void childSetUp();
    void runsOverlap();
    void hungRunIsKilled_data();
    void hungRunIsKilled();
    void realLsof();
};

void TestScanner::unavailableLsof_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing path") << "missing";
    QTest::newRow("not executable") << "plain file";
    QTest::newRow("directory") << "directory";
}

void TestScanner::unavailableLsof() {
    QFETCH(QString, kind);
    const StubLsof stub(StubLsof::printsOutput(),
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    QVERIFY(stub.isValid());
    stub.writeFile(QStringLiteral("tcp.out"), twoProcessesTcp);
    const QString path = kind == u"missing"     ? stub.filePath(QStringLiteral("absent"))
                         : kind == u"directory" ? stub.dir()
                                                : stub.path();

    const QFuture<ScanResult> future = PortScanner(path).scan();
    // Answered at once: nothing was launched to wait for.
    QVERIFY(future.isFinished());
    const ScanResult result = future.result();
    QVERIFY(result.entries.isEmpty());
    QVERIFY(result.errorText.has_value());
    QCOMPARE(*result.errorText, QStringLiteral("Could not find lsof at ") + path + u'.');
    QVERIFY(!stub.exists(QStringLiteral("tcp.args")));
    QVERIFY(!stub.exists(QStringLiteral("udp.args")));
}

void TestScanner::launchFailure() {
    // Executable, but exec fails: its interpreter does not exist.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("lsof"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/nonexistent/interpreter\n");
    file.close();
    QVERIFY(file.setPermissions(StubLsof::executable()));

    const PortScanner scanner(path);
    QCOMPARE(scanner.runBlocking(PortScanner::tcpArguments()), QString());
    const QFuture<ScanResult> future = scanner.scan();
    WAIT_FOR_SCAN(future);
    QVERIFY(future.result().entries.isEmpty());
    QVERIFY(!future.result().errorText.has_value());
}

void TestScanner::runBlocking_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");

    QTest::newRow("exits non-zero after printing")
        << QByteArray("printf 'p1\\nn*:1\\n'\nexit 7\n") << QStringLiteral("p1\nn*:1\n");
    QTest::newRow("prints nothing") << QByteArray("exit 1\n") << QString();
    QTest::newRow("invalid UTF-8 becomes U+FFFD")
        << QByteArray("printf 'cab\\377cd\\300\\nc\\342\\202\\254\\n'\n")
        << QStringLiteral("cab\uFFFDcd\uFFFD\nc\u20AC\n");
    // Would block on a full pipe if standard error were a pipe nobody reads.
    QTest::newRow("floods standard error")
        << QByteArray("head -c 8000000 /dev/zero >&2\nprintf done\nhead -c 8000000 /dev/zero >&2\n")
        << QStringLiteral("done");
    QTest::newRow("more than a pipe buffer")
        << QByteArray("head -c 3000000 /dev/zero | tr '\\0' x\n") << QString(3000000, u'x');
}

void TestScanner::runBlocking() {
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    const StubLsof stub(body);
    QVERIFY(stub.isValid());
    const QString text = PortScanner(stub.path()).runBlocking(PortScanner::udpArguments());
    QCOMPARE(text.size(), expected.size());
    QCOMPARE(text, expected);
}

void TestScanner::scanOutputs_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("tcpOutput");
    QTest::addColumn<QByteArray>("udpOutput");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("both runs merged, 53/TCP before 53/UDP")
        << StubLsof::printsOutput() << twoProcessesTcp << twoProcessesUdp
        << QStringList{"10|dnsmasq|nobody|TCP|IPv4|127.0.0.1|53|LISTEN",
                       "10|dnsmasq|nobody|UDP|IPv4|127.0.0.1|53|",
                       "412|server|admin|TCP|IPv4/IPv6|*|631|LISTEN",
                       "77|avahi|avahi|UDP|IPv4|*|5353|"};
    QTest::newRow("UDP run prints nothing and fails")
        << QByteArray("[ $run = tcp ] || exit 1\n" + StubLsof::printsOutput()) << twoProcessesTcp
        << twoProcessesUdp << twoProcessesTcpEntries;
    QTest::newRow("both runs exit non-zero after printing")
        << StubLsof::printsOutput(1) << twoProcessesTcp << QByteArray() << twoProcessesTcpEntries;
    QTest::newRow("both runs print nothing")
        << StubLsof::printsOutput() << QByteArray() << QByteArray() << QStringList{};
    // A P line is what tells the runs' records apart; without one, the run decides.
    QTest::newRow("protocol from the run when P is missing")
        << StubLsof::printsOutput() << QByteArray("p1\ncd\nf1\nn*:9\n")
        << QByteArray("p1\ncd\nf2\nn*:9\n") << QStringList{"1|d||TCP||*|9|", "1|d||UDP||*|9|"};
    QTest::newRow("invalid UTF-8 in a command name")
        << StubLsof::printsOutput() << QByteArray("p7\ncab\xff\n\nf1\ntIPv4\nn*:99\nf2\nn*:9\xff\n")
        << QByteArray() << QStringList{QStringLiteral("7|ab\uFFFD||TCP|IPv4|*|99|")};
}

void TestScanner::scanOutputs() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, tcpOutput);
    QFETCH(QByteArray, udpOutput);
    QFETCH(QStringList, expected);
    const StubLsof stub(body);
    QVERIFY(stub.isValid());
    QVERIFY(stub.writeFile(QStringLiteral("tcp.out"), tcpOutput));
    QVERIFY(stub.writeFile(QStringLiteral("udp.out"), udpOutput));

    const QFuture<ScanResult> future = PortScanner(stub.path()).scan();
    WAIT_FOR_SCAN(future);
    QVERIFY(!future.result().errorText.has_value());
    QCOMPARE(entriesText(future.result().entries), expected.join(u'\n'));
}

void TestScanner::childSetUp() {
    // A descriptor without close-on-exec, as a GUI process may well hold; lsof
    // must not inherit it.
    const Fd devNull(::open("/dev/null", O_RDONLY));
    QVERIFY(devNull.get() >= 0);
    const Fd stray(::fcntl(devNull.get(), F_DUPFD, 50));
    QVERIFY(stray.get() >= 0);

    const StubLsof stub("readlink /proc/$$/fd/0 >\"$dir/$run.stdin\"\n"
                        "readlink /proc/$$/fd/2 >\"$dir/$run.stderr\"\n"
                        "[ -e /proc/$$/fd/" +
                        QByteArray::number(stray.get()) +
                        " ] && echo inherited >\"$dir/$run.stray\"\n"
                        "exit 0\n");
    QVERIFY(stub.isValid());
    const QFuture<ScanResult> future = PortScanner(stub.path()).scan();
    WAIT_FOR_SCAN(future);

    QCOMPARE(stub.arguments(QStringLiteral("tcp")), PortScanner::tcpArguments());
    QCOMPARE(stub.arguments(QStringLiteral("udp")), PortScanner::udpArguments());
    // Without f lines lsof on Linux reports one socket per process only.
    QCOMPARE(PortScanner::tcpArguments(),
             QStringList({"-nP", "-iTCP", "-sTCP:LISTEN", "-FpcLfPtnT"}));
    QCOMPARE(PortScanner::udpArguments(), QStringList({"-nP", "-iUDP", "-FpcLfPtnT"}));
    QVERIFY(!stub.exists(QStringLiteral("other.args")));

    for (const char *run : {"tcp", "udp"}) {
        const QString prefix = QString::fromLatin1(run);
        QCOMPARE(stub.readFile(prefix + QStringLiteral(".stdin")), QByteArray("/dev/null\n"));
        QCOMPARE(stub.readFile(prefix + QStringLiteral(".stderr")), QByteArray("/dev/null\n"));
        QVERIFY2(!stub.exists(prefix + QStringLiteral(".stray")), "descriptor leaked into lsof");
    }
}

void TestScanner::runsOverlap() {
    // Each run announces itself (its .args file) and prints only once the other
    // run has announced itself too. Run one after the other, the first would
    // give up waiting and print nothing. The wait is bounded so a failure
    // cannot hang the test.
    const StubLsof stub("if [ $run = tcp ]; then other=udp; else other=tcp; fi\n"
                        "i=0\n"
                        "while [ ! -e \"$dir/$other.args\" ]; do\n"
                        "  i=$((i + 1))\n"
                        "  if [ $i -gt 400 ]; then : >\"$dir/$run.gaveup\"; exit 1; fi\n"
                        "  sleep 0.05\n"
                        "done\n" +
                        StubLsof::printsOutput());
    QVERIFY(stub.isValid());
    QVERIFY(stub.writeFile(QStringLiteral("tcp.out"), twoProcessesTcp));
    QVERIFY(stub.writeFile(QStringLiteral("udp.out"), twoProcessesUdp));

    const QFuture<ScanResult> future = PortScanner(stub.path()).scan();
    WAIT_FOR_SCAN(future);
    QVERIFY2(!stub.exists(QStringLiteral("tcp.gaveup")), "the UDP run never started");
    QVERIFY2(!stub.exists(QStringLiteral("udp.gaveup")), "the TCP run never started");
    QCOMPARE(future.result().entries.size(), 4);
}

void TestScanner::hungRunIsKilled_data() {
    QTest::addColumn<QByteArray>("hang");
    QTest::newRow("keeps stdout open") << QByteArray("exec sleep 120\n");
    QTest::newRow("closes stdout, never exits") << QByteArray("exec >&-\nexec sleep 120\n");
}

void TestScanner::hungRunIsKilled() {
    QFETCH(QByteArray, hang);
    // The TCP run prints, then hangs; the UDP run ends normally. exec keeps the
    // shell's pid, so the recorded pid is the child the scanner started.
    const StubLsof stub(
        "if [ $run = tcp ]; then\n"
        "  echo $$ >\"$dir/tcp.pid.tmp\"; mv \"$dir/tcp.pid.tmp\" \"$dir/tcp.pid\"\n"
        "  cat \"$dir/tcp.out\"\n" +
        hang + "fi\n" + StubLsof::printsOutput());
    QVERIFY(stub.isValid());
    QVERIFY(stub.writeFile(QStringLiteral("tcp.out"), twoProcessesTcp));
    QVERIFY(stub.writeFile(QStringLiteral("udp.out"), twoProcessesUdp));

    QElapsedTimer elapsed;
    elapsed.start();
    const QFuture<ScanResult> future = PortScanner(stub.path(), 1500ms).scan();
    WAIT_FOR_SCAN(future);
    QVERIFY2(elapsed.elapsed() < 30000, "the hung run was waited for");

    // The hung run counts as a launch failure: what it printed is dropped.
    const ScanResult result = future.result();
    QVERIFY(!result.errorText.has_value());
    QCOMPARE(entriesText(result.entries), QStringList({"10|dnsmasq|nobody|UDP|IPv4|127.0.0.1|53|",
                                                       "77|avahi|avahi|UDP|IPv4|*|5353|"})
                                              .join(u'\n'));

    const QByteArray pid = stub.readFile(QStringLiteral("tcp.pid")).trimmed();
    QVERIFY2(!pid.isEmpty(), "the TCP stub did not start within the limit");
    QVERIFY2(!QFileInfo::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)),
             "the hung child is still there (not killed or not reaped)");
}

void TestScanner::realLsof() {
    const PortScanner scanner;
    if (!QFileInfo(scanner.lsofPath()).isExecutable())
        QSKIP("lsof is not installed");

    // A TCP listener on 127.0.0.1 and one on [::1] with the same port, plus a UDP
    // socket, all owned by this process.
    const Fd tcp4(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const Fd tcp6(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    QVERIFY(tcp4.get() >= 0 && tcp6.get() >= 0 && udp.get() >= 0);

    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a4;
    QCOMPARE(::bind(tcp4.get(), reinterpret_cast<sockaddr *>(&a4), sizeof a4), 0);
    QCOMPARE(::getsockname(tcp4.get(), reinterpret_cast<sockaddr *>(&a4), &len), 0);
    QCOMPARE(::listen(tcp4.get(), 1), 0);
    const quint16 tcpPort = ntohs(a4.sin_port);

    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    a6.sin6_port = htons(tcpPort);
    if (::bind(tcp6.get(), reinterpret_cast<sockaddr *>(&a6), sizeof a6) != 0)
        QSKIP("cannot bind [::1] on the port of the IPv4 listener (no IPv6 loopback?)");
    QCOMPARE(::listen(tcp6.get(), 1), 0);

    sockaddr_in u4{};
    u4.sin_family = AF_INET;
    u4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof u4;
    QCOMPARE(::bind(udp.get(), reinterpret_cast<sockaddr *>(&u4), sizeof u4), 0);
    QCOMPARE(::getsockname(udp.get(), reinterpret_cast<sockaddr *>(&u4), &len), 0);
    const quint16 udpPort = ntohs(u4.sin_port);

    const QFuture<ScanResult> future = scanner.scan();
    WAIT_FOR_SCAN(future);
    const ScanResult result = future.result();
    QVERIFY(!result.errorText.has_value());

    PortEntryList ours;
    for (const PortEntry &e : result.entries) {
        if (e.pid == QCoreApplication::applicationPid())
            ours.append(e);
    }
    QFile comm(QStringLiteral("/proc/self/comm"));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    const QString name = QString::fromLocal8Bit(comm.readAll().trimmed());
    const QString pid = QString::number(QCoreApplication::applicationPid());

    QCOMPARE(ours.size(), 2);
    const PortEntry &t = ours[tcpPort < udpPort ? 0 : 1];
    const PortEntry &u = ours[tcpPort < udpPort ? 1 : 0];
    // The address kept is whichever twin lsof listed first.
    const QString tcpAddress = t.address == u"[::1]" ? t.address : QStringLiteral("127.0.0.1");
    QCOMPARE(entryText(t), QStringList({pid, name, loginName(), "TCP", "IPv4/IPv6", tcpAddress,
                                        QString::number(tcpPort), "LISTEN"})
                               .join(u'|'));
    QCOMPARE(entryText(u), QStringList({pid, name, loginName(), "UDP", "IPv4", "127.0.0.1",
                                        QString::number(udpPort), ""})
                               .join(u'|'));

    QStringList ids;
    for (const PortEntry &e : result.entries)
        ids.append(e.id());
    ids.removeDuplicates();
    QCOMPARE(ids.size(), result.entries.size());
}

QTEST_GUILESS_MAIN(TestScanner)
#include "tst_scanner.moc"
