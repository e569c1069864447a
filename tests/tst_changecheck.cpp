// ChangeCheck: when a refresh may stand on the last full scan's rows, against
// a stand-in lsof that counts its runs, a staged socket table, staged start
// times and a clock of the test's.
#include "StubLsof.h"
#include "scanner/ChangeCheck.h"

#include <QCoreApplication>
#include <QTest>
#include <chrono>

using namespace std::chrono_literals;

namespace {

enum class Change {
    None,
    PortReopened,       // closed and bound again: same port, new inode
    OtherUserListens,   // another user's listener appears
    TableUnreadable,    // the table could not be read whole
    PidTaken,           // the listed pid now belongs to a later process
    ProcessGone,        // the listed process exited
    FullScanFloor,      // a minute since the last full scan
    UnderFullScanFloor, // just under it
    UserAsked,          // a refresh the user asked for
    FirstScanFailed,    // lsof failed the first time
    OpenedDuringLsof,   // a socket opened while the first scan's lsof ran
    ScanTableCut,       // the first scan could not read the table for other users' ports
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

    QTest::newRow("nothing changed") << Change::None << false;
    QTest::newRow("same port closed and bound again") << Change::PortReopened << true;
    QTest::newRow("another user's listener appears") << Change::OtherUserListens << true;
    QTest::newRow("table not read whole") << Change::TableUnreadable << true;
    QTest::newRow("listed pid taken by a later process") << Change::PidTaken << true;
    QTest::newRow("listed process exited") << Change::ProcessGone << true;
    QTest::newRow("a minute since the full scan") << Change::FullScanFloor << true;
    QTest::newRow("just under a minute") << Change::UnderFullScanFloor << false;
    QTest::newRow("user asked for a refresh") << Change::UserAsked << true;
    QTest::newRow("first scan failed") << Change::FirstScanFailed << true;
    QTest::newRow("socket opened while lsof ran") << Change::OpenedDuringLsof << true;
    QTest::newRow("scan lacked other users' ports") << Change::ScanTableCut << true;
}

void ChangeCheckTest::refreshRunsLsofOnlyWhenSomethingMoved() {
    QFETCH(Change, change);
    QFETCH(bool, lsofRuns);

    // The stub lists this test as a listener, under its real command name, so
    // that the scan reads its start time from /proc as for any process.
    const qint32 self = qint32(QCoreApplication::applicationPid());
    QFile comm(QStringLiteral("/proc/self/comm"));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    const StubLsof stub("echo $$ >>\"$dir/runs\"\n[ -e \"$dir/fail\" ] && kill -9 $$\n"
                        "[ -e \"$dir/during\" ] && : >\"$dir/opened\"\n"
                        "[ \"$run\" = udp ] || cat \"$dir/listing\"\n");
    QVERIFY(stub.write(QStringLiteral("listing"),
                       StubLsof::listing(self, QString::fromUtf8(comm.readAll().trimmed()),
                                         QStringLiteral("me"), 4000)));
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
    table.sockets = {
        KernelSocket{QStringLiteral("TCP"), false, QStringLiteral("127.0.0.1"), 4000, 1000, 77, 5},
        KernelSocket{QStringLiteral("UDP"), true, QStringLiteral("*"), 53, 0, 12, 0}};
    auto now = std::chrono::steady_clock::time_point() + 1h;

    LsofRuns runs;
    PortScanner scanner(runs, stub.path());
    // The staged table is the change check's alone.
    scanner.setSocketTableRead({});
    if (change == Change::ScanTableCut)
        scanner.setSocketTableRead([] {
            return SocketTableResult{{}, {}, QStringLiteral("time limit")};
        });
    const auto read = [&] {
        SocketTableResult now = table;
        if (QFile::exists(stub.dir.filePath(QStringLiteral("opened"))))
            now.sockets.append(
                KernelSocket{QStringLiteral("TCP"), false, QStringLiteral("*"), 9000, 1000, 91, 0});
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
        QCOMPARE(first.result().entries.size(), 1);
    }

    QFile::remove(stub.dir.filePath(QStringLiteral("during")));

    switch (change) {
    case Change::PortReopened:
        table.sockets[0].inode = 78;
        break;
    case Change::OtherUserListens:
        table.sockets.append(
            KernelSocket{QStringLiteral("TCP"), true, QStringLiteral("*"), 8080, 1001, 90, 0});
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
        table.sockets[1].cgroupId = 9;
        break;
    }

    QFuture<ScanResult> second = change == Change::UserAsked ? check.fullScan() : check.refresh();
    second.waitForFinished();
    const ScanResult result = second.result();
    QCOMPARE(stub.numbers(QStringLiteral("runs")).size(), lsofRuns ? 4 : 2);
    QCOMPARE(result.kind, lsofRuns ? ScanResult::Kind::Full : ScanResult::Kind::Unchanged);
    QVERIFY(!result.errorText);
    QCOMPARE(result.entries.size(), 1);
    QCOMPARE(result.entries.first().pid, self);
    QCOMPARE(result.entries.first().port, 4000);
}

QTEST_GUILESS_MAIN(ChangeCheckTest)
#include "tst_changecheck.moc"
