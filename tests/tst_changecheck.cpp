// ChangeCheck: when a refresh may stand on the last full scan's rows, against
// a stand-in lsof that counts its runs, a staged socket table, staged start
// times and a clock of the test's.
#include "StubLsof.h"
#include "scanner/ChangeCheck.h"

#include <QCoreApplication>
#include <QTest>
#include <chrono>
#include <pwd.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

enum class Change {
    None,
    PortReopened,        // closed and bound again: same port, new inode
    OtherUserListens,    // another user's listener appears
    TableUnreadable,     // the table could not be read whole
    PidTaken,            // the listed pid now belongs to a later process
    ProcessGone,         // the listed process exited
    FullScanFloor,       // a minute since the last full scan
    UnderFullScanFloor,  // just under it
    UserAsked,           // a refresh the user asked for
    FirstScanFailed,     // lsof failed the first time
    OpenedDuringLsof,    // a socket opened while the first scan's lsof ran
    ScanTableCut,        // the first scan could not read the table for other users' ports
    OneOfTwoPortsClosed, // a process with two ports closes one
    OneTwinClosed,       // the IPv6 socket of a row folded from IPv4 and IPv6 twins closes
    OtherUserClosed,     // another user's socket, a row of the table's alone, closes
    ClosedWithoutInodes, // a socket closes while the rows do not know their sockets
    ClosedAndPidTaken,   // a socket closes and a listed pid passes to a later process
};

// A stat line of pid whose start time is startTicks (field 22).
QByteArray statLine(qint32 pid, quint64 startTicks) {
    return QByteArray::number(pid) + " (tst) S 1" + QByteArray(" 0").repeated(17) + ' ' +
           QByteArray::number(startTicks) + '\n';
}

} // namespace

class ChangeCheckTest : public QObject {
    Q_OBJECT

private slots:
    void refreshRunsLsofOnlyWhenSomethingMoved_data();
    void refreshRunsLsofOnlyWhenSomethingMoved();
};

void ChangeCheckTest::refreshRunsLsofOnlyWhenSomethingMoved_data() {
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("lsofRuns");
    QTest::addColumn<bool>("tableMoved");     // what the cheap poll says before the refresh
    QTest::addColumn<QList<qint64>>("ports"); // of the rows the refresh hands back

    // The test's own ports (4001 and 4002's twins), another user's (53).
    const QList<qint64> all{53, 4000, 4001, 4002}, own{4000, 4001, 4002};
    const auto row = [](const char *name, Change change, bool lsofRuns, bool moved,
                        QList<qint64> ports) {
        QTest::newRow(name) << change << lsofRuns << moved << ports;
    };
    row("nothing changed", Change::None, false, false, all);
    row("same port closed and bound again", Change::PortReopened, true, true, all);
    row("another user's listener appears", Change::OtherUserListens, true, true,
        {53, 4000, 4001, 4002, 8080});
    row("table not read whole", Change::TableUnreadable, true, false, all);
    row("listed pid taken by a later process", Change::PidTaken, true, false, all);
    row("listed process exited", Change::ProcessGone, true, false, all);
    row("a minute since the full scan", Change::FullScanFloor, true, false, all);
    row("just under a minute", Change::UnderFullScanFloor, false, false, all);
    row("user asked for a refresh", Change::UserAsked, true, false, all);
    row("first scan failed", Change::FirstScanFailed, true, false, all);
    row("socket opened while lsof ran", Change::OpenedDuringLsof, true, true, all);
    row("scan lacked other users' ports", Change::ScanTableCut, true, false, own);
    row("one of a process's two ports closed", Change::OneOfTwoPortsClosed, false, true,
        {53, 4000, 4002});
    row("one of folded twins closed", Change::OneTwinClosed, false, true, all);
    row("another user's socket closed", Change::OtherUserClosed, false, true, own);
    row("a port closed, rows without sockets", Change::ClosedWithoutInodes, true, true,
        {4000, 4002});
    row("a port closed and a listed pid taken", Change::ClosedAndPidTaken, true, true,
        {53, 4000, 4002});
}

void ChangeCheckTest::refreshRunsLsofOnlyWhenSomethingMoved() {
    QFETCH(Change, change);
    QFETCH(bool, lsofRuns);
    QFETCH(bool, tableMoved);
    QFETCH(QList<qint64>, ports);

    // The stub lists this test as a listener, under its real command name and
    // user, so that the scan reads its start time from /proc as for any
    // process and gives its rows their sockets: 4000 and 4001 on 127.0.0.1,
    // 4002 on IPv4 and IPv6, folded into one row.
    const qint32 self = qint32(QCoreApplication::applicationPid());
    QFile comm(QStringLiteral("/proc/self/comm"));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    const QString command = QString::fromUtf8(comm.readAll().trimmed());
    const quint32 uid = ::getuid();
    const passwd *account = ::getpwuid(uid);
    QVERIFY(account);
    const QString user = QString::fromLocal8Bit(account->pw_name);
    const StubLsof stub("echo $$ >>\"$dir/runs\"\n[ -e \"$dir/fail\" ] && kill -9 $$\n"
                        "[ -e \"$dir/during\" ] && : >\"$dir/opened\"\n"
                        "[ \"$run\" = udp ] || cat \"$dir/listing\"\n");
    const auto list = [&](bool with4001) {
        return stub.write(QStringLiteral("listing"),
                          StubLsof::listing(self, command, user, 4000) +
                              (with4001 ? StubLsof::listing(self, command, user, 4001) : "") +
                              "f5\ntIPv4\nPTCP\nn*:4002\nTST=LISTEN\n"
                              "f6\ntIPv6\nPTCP\nn*:4002\nTST=LISTEN\n");
    };
    QVERIFY(list(true));
    if (change == Change::FirstScanFailed)
        QVERIFY(stub.write(QStringLiteral("fail"), {}));
    if (change == Change::OpenedDuringLsof)
        QVERIFY(stub.write(QStringLiteral("during"), {}));

    const std::optional<ProcessStat> real = StatReader().read(self).stat;
    QVERIFY(real && real->startTicks);
    QTemporaryDir proc;
    QVERIFY(QDir(proc.path()).mkpath(QString::number(self)));
    const auto stage = [&](QByteArray line) {
        QFile stat(proc.filePath(QStringLiteral("%1/stat").arg(self)));
        if (line.isEmpty())
            return stat.remove();
        return stat.open(QIODevice::WriteOnly) && stat.write(line) == line.size();
    };
    QVERIFY(stage(statLine(self, real->startTicks)));
    QCOMPARE(StatReader(proc.path().toLocal8Bit()).read(self).stat->startTicks, real->startTicks);

    SocketTableResult table;
    table.source = SocketTableResult::Source::Netlink;
    const QString tcp = QStringLiteral("TCP"), loopback = QStringLiteral("127.0.0.1"),
                  any = QStringLiteral("*");
    table.sockets = {KernelSocket{tcp, false, loopback, 4000, uid, 77, 5},
                     KernelSocket{tcp, false, loopback, 4001, uid, 78, 5},
                     KernelSocket{tcp, false, any, 4002, uid, 80, 5},
                     KernelSocket{tcp, true, any, 4002, uid, 81, 5},
                     KernelSocket{QStringLiteral("UDP"), true, any, 53, 1001, 12, 0}};
    const auto closeSocket = [&](quint64 inode) {
        table.sockets.removeIf([&](const KernelSocket &s) { return s.inode == inode; });
        return inode != 78 || list(false);
    };
    auto now = std::chrono::steady_clock::time_point() + 1h;

    LsofRuns runs;
    PortScanner scanner(runs, stub.path());
    // The scan sees the staged table as it stands; the change check's read
    // adds what opens while lsof runs.
    scanner.setSocketTableRead([&] { return table; });
    if (change == Change::ClosedWithoutInodes)
        scanner.setSocketTableRead({});
    if (change == Change::ScanTableCut)
        scanner.setSocketTableRead([] {
            return SocketTableResult{{}, {}, QStringLiteral("time limit")};
        });
    const auto read = [&] {
        SocketTableResult now = table;
        if (QFile::exists(stub.dir.filePath(QStringLiteral("opened"))))
            now.sockets.append(KernelSocket{tcp, false, any, 9000, 1000, 91, 0});
        return now;
    };
    ChangeCheck check(scanner, {read, StatReader(proc.path().toLocal8Bit()), [&] { return now; },
                                ChangeCheck::defaultFullScanFloor});

    QFuture<ScanResult> first = check.refresh();
    first.waitForFinished();
    QCOMPARE(first.result().kind, ScanResult::Kind::Full);
    const qsizetype runsBefore = stub.numbers(QStringLiteral("runs")).size();
    QCOMPARE(runsBefore, 2);
    if (change == Change::FirstScanFailed) {
        QVERIFY(first.result().errorText);
        QVERIFY(QFile::remove(stub.dir.filePath(QStringLiteral("fail"))));
    } else {
        QCOMPARE(first.result().entries.size(),
                 change == Change::ClosedWithoutInodes || change == Change::ScanTableCut ? 3 : 4);
    }

    QFile::remove(stub.dir.filePath(QStringLiteral("during")));

    switch (change) {
    case Change::PortReopened:
        table.sockets[0].inode = 79;
        break;
    case Change::OtherUserListens:
        table.sockets.append(KernelSocket{tcp, true, any, 8080, 1001, 90, 0});
        break;
    case Change::OneOfTwoPortsClosed:
    case Change::ClosedWithoutInodes:
        QVERIFY(closeSocket(78));
        break;
    case Change::OneTwinClosed:
        QVERIFY(closeSocket(81));
        break;
    case Change::OtherUserClosed:
        QVERIFY(closeSocket(12));
        break;
    case Change::ClosedAndPidTaken:
        QVERIFY(closeSocket(78));
        QVERIFY(stage(statLine(self, real->startTicks + 100)));
        break;
    case Change::TableUnreadable:
        table.errorText = QStringLiteral("time limit");
        break;
    case Change::PidTaken:
        QVERIFY(stage(statLine(self, real->startTicks + 100)));
        break;
    case Change::ProcessGone:
        QVERIFY(stage({}));
        break;
    case Change::FullScanFloor:
        now += ChangeCheck::defaultFullScanFloor;
        break;
    case Change::UnderFullScanFloor:
        now += ChangeCheck::defaultFullScanFloor - 1ms;
        break;
    default:
        // The owner's cgroup is not compared: a process moved to another
        // cgroup keeps its sockets and its rows.
        table.sockets[4].cgroupId = 9;
        break;
    }
    QCOMPARE(check.tableMoved(), tableMoved);

    QFuture<ScanResult> second = change == Change::UserAsked ? check.fullScan() : check.refresh();
    second.waitForFinished();
    const ScanResult result = second.result();
    QCOMPARE(stub.numbers(QStringLiteral("runs")).size(), lsofRuns ? 4 : 2);
    QCOMPARE(result.kind, lsofRuns ? ScanResult::Kind::Full : ScanResult::Kind::Unchanged);
    QVERIFY(!result.errorText);
    QList<qint64> resultPorts;
    for (const PortEntry &row : result.entries)
        resultPorts.append(row.port);
    QCOMPARE(resultPorts, ports);
    // What the refresh handed back is what the next ones compare against,
    // where it may be: a table not read whole leaves nothing to compare.
    QVERIFY(!check.tableMoved());
    if (change == Change::TableUnreadable || change == Change::ScanTableCut)
        return;
    QVERIFY(stage(statLine(self, real->startTicks)));
    QFuture<ScanResult> third = check.refresh();
    third.waitForFinished();
    QCOMPARE(third.result().kind, ScanResult::Kind::Unchanged);
    QCOMPARE(third.result().entries, result.entries);
}

QTEST_GUILESS_MAIN(ChangeCheckTest)
#include "tst_changecheck.moc"
