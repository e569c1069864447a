// PortWatch: the events it tells between two looks, against a stand-in lsof
// and a staged socket table that both read one file of listeners, so that
// they never disagree whenever a look comes.
#include "StubLsof.h"
#include "scanner/PortWatch.h"

#include <QSaveFile>
#include <QSignalSpy>
#include <QTest>
#include <pwd.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

enum class Change {
    Opened,     // a listener appears
    Closed,     // one of two listeners closes
    PassedOn,   // the port is bound anew by another process
    BoundAgain, // the port is closed and bound anew by the same process
    OtherPort,  // a listener appears, another closes, only the latter's port watched
    Announced,  // a close the kernel announced: checkNow(), no poll
    ScanFails,  // a listener appears and lsof fails
};

struct Listener {
    qint32 pid;
    quint16 port;
    quint64 inode;
};

} // namespace

class PortWatchTest : public QObject {
    Q_OBJECT

private slots:
    void eventsBetweenLooks_data();
    void eventsBetweenLooks();
};

void PortWatchTest::eventsBetweenLooks_data() {
    QTest::addColumn<Change>("change");
    QTest::addColumn<QStringList>("events"); // "opened|closed PORT PID", in order
    QTest::addColumn<bool>("lsofRuns");

    const QString self = QString::number(::getpid()), parent = QString::number(::getppid());
    QTest::newRow("listener opened")
        << Change::Opened << QStringList{"opened 4002 " + self} << true;
    QTest::newRow("listener closed")
        << Change::Closed << QStringList{"closed 4001 " + self} << false;
    QTest::newRow("port passed to another process")
        << Change::PassedOn << QStringList{"closed 4001 " + self, "opened 4001 " + parent} << true;
    QTest::newRow("port closed and bound again")
        << Change::BoundAgain << QStringList{"closed 4001 " + self, "opened 4001 " + self} << true;
    QTest::newRow("only the watched port")
        << Change::OtherPort << QStringList{"closed 4001 " + self} << true;
    QTest::newRow("close announced")
        << Change::Announced << QStringList{"closed 4001 " + self} << false;
    QTest::newRow("scan failed") << Change::ScanFails << QStringList{} << true;
}

void PortWatchTest::eventsBetweenLooks() {
    QFETCH(Change, change);
    QFETCH(QStringList, events);
    QFETCH(bool, lsofRuns);

    const passwd *account = ::getpwuid(::getuid());
    QVERIFY(account);
    const QByteArray user = account->pw_name;
    const StubLsof stub("echo $$ >>\"$dir/runs\"\n[ -e \"$dir/fail\" ] && kill -9 $$\n"
                        "[ \"$run\" = udp ] && exit 0\n"
                        "while read pid port inode; do read comm </proc/$pid/comm\n"
                        "  printf 'p%s\\nc%s\\nL" +
                        user +
                        "\\nf3\\ntIPv4\\nPTCP\\nn127.0.0.1:%s\\nTST=LISTEN\\n' "
                        "\"$pid\" \"$comm\" \"$port\"\ndone <\"$dir/listeners\"\n");
    const QString listeners = stub.dir.filePath(QStringLiteral("listeners"));
    // Replaced whole, never half written, whenever the stub or the table reads it.
    const auto stage = [&](const QList<Listener> &list) {
        QSaveFile file(listeners);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        for (const Listener &l : list)
            file.write(QStringLiteral("%1 %2 %3\n").arg(l.pid).arg(l.port).arg(l.inode).toUtf8());
        return file.commit();
    };
    const quint32 uid = ::getuid();
    const auto table = [listeners, uid] {
        SocketTableResult result;
        result.source = SocketTableResult::Source::Netlink;
        QFile file(listeners);
        if (!file.open(QIODevice::ReadOnly))
            return SocketTableResult{{}, {}, QStringLiteral("no listeners")};
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 3)
                result.sockets.append(
                    KernelSocket{QStringLiteral("TCP"), false, QStringLiteral("127.0.0.1"),
                                 quint16(f[1].toUInt()), uid, f[2].toULongLong(), 0});
        }
        return result;
    };

    const qint32 self = ::getpid(), parent = ::getppid();
    QVERIFY(stage({{self, 4000, 70}, {self, 4001, 71}}));
    LsofRuns runs;
    PortScanner scanner(runs, stub.path());
    scanner.setSocketTableRead(table);
    ChangeCheck::Options options = ChangeCheck::defaultOptions();
    options.readTable = table;
    ChangeCheck check(scanner, options);
    // Polls often, refreshes never: what a row sees came from the table or
    // from checkNow().
    const bool polls = change != Change::Announced;
    PortWatch watch(check, {polls ? 10ms : 1h, 1h});
    if (change == Change::OtherPort)
        watch.setPorts({4001});
    QSignalSpy ready(&watch, &PortWatch::ready), seen(&watch, &PortWatch::events),
        failed(&watch, &PortWatch::scanFailed);
    watch.start();
    QVERIFY(ready.wait(30000));
    QVERIFY(seen.isEmpty());
    const PortEntryList before = watch.entries();
    QCOMPARE(before.size(), 2);
    const qsizetype runsBefore = stub.numbers(QStringLiteral("runs")).size();

    switch (change) {
    case Change::Opened:
        QVERIFY(stage({{self, 4000, 70}, {self, 4001, 71}, {self, 4002, 72}}));
        break;
    case Change::Closed:
    case Change::Announced:
        QVERIFY(stage({{self, 4000, 70}}));
        break;
    case Change::PassedOn:
        QVERIFY(stage({{self, 4000, 70}, {parent, 4001, 73}}));
        break;
    case Change::BoundAgain:
        QVERIFY(stage({{self, 4000, 70}, {self, 4001, 74}}));
        break;
    case Change::OtherPort:
        QVERIFY(stage({{self, 4000, 70}, {self, 4002, 72}}));
        break;
    case Change::ScanFails:
        QVERIFY(stub.write(QStringLiteral("fail"), {}));
        QVERIFY(stage({{self, 4000, 70}, {self, 4001, 71}, {self, 4002, 72}}));
        break;
    }
    if (change == Change::Announced)
        watch.checkNow();

    if (events.isEmpty()) {
        QVERIFY(failed.wait(30000));
        QCOMPARE(watch.entries(), before);
    } else {
        QVERIFY(seen.wait(30000));
        QStringList told;
        for (const PortEvent &e : seen.first().first().value<PortEventList>())
            told.append(QStringLiteral("%1 %2 %3")
                            .arg(e.kind == PortEvent::Kind::Opened ? "opened" : "closed")
                            .arg(e.entry.port)
                            .arg(e.entry.pid));
        QCOMPARE(told, events);
    }
    QCOMPARE(stub.numbers(QStringLiteral("runs")).size() > runsBefore, lsofRuns);
}

QTEST_GUILESS_MAIN(PortWatchTest)
#include "tst_portwatch.moc"
