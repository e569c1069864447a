// PortWatch: the events it tells between two looks, against a stand-in lsof
// and a staged socket table that both read one file of listeners, so that
// they never disagree whenever a look comes.
#include "StubLsof.h"
#include "scanner/PortWatch.h"
#include "viewmodel/LiveRefresh.h"
#include "viewmodel/PortListViewModel.h"

#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
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

// A listening socket of the test's own on 127.0.0.1, open until closed.
struct OwnListener {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 port = 0;
    OwnListener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 && ::listen(fd, 1) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port = ntohs(address.sin_port);
    }
    ~OwnListener() { close(); }
    void close() {
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
    }
};

bool lists(const PortEntryList &rows, quint16 port) {
    return std::any_of(rows.cbegin(), rows.cend(),
                       [port](const PortEntry &row) { return row.port == port; });
}

} // namespace

class PortWatchTest : public QObject {
    Q_OBJECT

private slots:
    void eventsBetweenLooks_data();
    void eventsBetweenLooks();
    void panelAndWatchedPorts_data();
    void panelAndWatchedPorts();
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
    PortWatch watch(check, {polls ? 10ms : 1h, 1h, false});
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

// The panel's list follows a real listener of the test's own between its
// timer's refreshes (an hour apart here) while it is shown; hidden, only a
// watched port is followed, and the list is left alone.
void PortWatchTest::panelAndWatchedPorts_data() {
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("autoRefresh");
    QTest::addColumn<bool>("watched"); // the listener's port is a watched one
    QTest::addColumn<bool>("follows"); // the watch runs

    QTest::newRow("panel shown") << true << true << false << true;
    QTest::newRow("panel hidden, the port watched") << false << true << true << true;
    QTest::newRow("panel hidden, nothing watched") << false << true << false << false;
    QTest::newRow("auto-refresh off") << true << false << false << false;
}

void PortWatchTest::panelAndWatchedPorts() {
    QFETCH(bool, shown);
    QFETCH(bool, autoRefresh);
    QFETCH(bool, watched);
    QFETCH(bool, follows);

    OwnListener listener;
    QVERIFY(listener.port);
    listener.close(); // its port known, to be watched before it opens
    LsofRuns runs;
    ChangeCheck check{PortScanner(runs)};
    QTemporaryDir dir;
    PortListViewModel::Dependencies dependencies;
    int scans = 0;
    dependencies.scan = [&] {
        ++scans;
        return check.refresh();
    };
    dependencies.settings =
        std::make_unique<QSettings>(dir.filePath("q.conf"), QSettings::IniFormat);
    PortListViewModel model(std::move(dependencies));
    model.setOnScreen(shown);
    model.setAutoRefreshEnabled(autoRefresh);
    model.setRefreshInterval(3600);
    QFuture<void> first = model.refresh();
    QTRY_VERIFY_WITH_TIMEOUT(first.isFinished(), 30000);
    PortWatch watch(check, {});
    QSignalSpy ready(&watch, &PortWatch::ready), seen(&watch, &PortWatch::events);
    LiveRefresh live(model, watch);
    const quint16 port = listener.port;
    live.setWatchedPorts(watched ? QSet<qint64>{port} : QSet<qint64>{});
    QCOMPARE(watch.isRunning(), follows);
    if (!follows)
        return;
    QVERIFY(ready.count() || ready.wait(30000));
    const int scansBefore = scans;

    OwnListener again;
    QVERIFY(again.port);
    if (again.port != port) // the port was taken meanwhile: the watched one is unknown
        live.setWatchedPorts(watched ? QSet<qint64>{again.port} : QSet<qint64>{});
    QTRY_VERIFY_WITH_TIMEOUT(lists(watch.entries(), again.port), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(lists(model.entries(), again.port), shown, 30000);
    again.close();
    QTRY_VERIFY_WITH_TIMEOUT(!lists(watch.entries(), again.port), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(!lists(model.entries(), again.port), 30000);
    QCOMPARE(seen.isEmpty(), false);
    if (!shown)
        QCOMPARE(scans, scansBefore);
}

QTEST_GUILESS_MAIN(PortWatchTest)
#include "tst_portwatch.moc"
