// The auto-refresh timer's ticks: never while the scan of an earlier tick is
// still running (tst_tray_shell has them scan only while a window shows). The
// scans the user asks for (the refresh button, the panel opening, the refresh
// after a stop) are held back by neither.
#include "viewmodel/PortListViewModel.h"

#include <QPromise>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <deque>

namespace {

// A model in a scratch directory, ticking every second, whose scans either
// finish at once (with an empty list) or hang until the test finishes them.
struct Fixture {
    enum class Scans { FinishAtOnce, Hang };

    QTemporaryDir dir;
    Scans scans = Scans::FinishAtOnce;
    int started = 0;
    std::deque<QPromise<ScanResult>> hanging;
    std::unique_ptr<PortListViewModel> vm;
    QTimer *timer = nullptr;

    Fixture() {
        SystemCalls system;
        system.loginName = [] { return QStringLiteral("me"); };
        system.kill = [](qint32, int) { return 0; }; // nobody is signalled
        vm = std::make_unique<PortListViewModel>(PortListViewModel::Dependencies{
            [this] {
                ++started;
                if (scans == Scans::FinishAtOnce)
                    return QtFuture::makeReadyFuture(ScanResult{});
                hanging.emplace_back().start();
                return hanging.back().future();
            },
            std::make_unique<QSettings>(dir.filePath("q.conf"), QSettings::IniFormat), system});
        vm->setRefreshInterval(1); // starts the timer
        timer = vm->findChild<QTimer *>("autoRefreshTimer");
    }

    void finishHangingScans() {
        for (QPromise<ScanResult> &scan : hanging) {
            scan.addResult(ScanResult{});
            scan.finish();
        }
        hanging.clear();
    }
};

// Waits for the timer's next tick; the model has acted on it by the time this returns.
bool nextTick(Fixture &f) {
    QSignalSpy ticks(f.timer, &QTimer::timeout);
    return ticks.wait(5000);
}

} // namespace

// What the test does while the scan of the first tick hangs.
enum class Meanwhile { Nothing, RefreshButton, PanelOpens, StopRefresh };
Q_DECLARE_METATYPE(Meanwhile)

class AutoRefreshTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(Fixture().timer); }

    // The first tick's scan hangs: later ticks start none until it ends, while
    // what the user asks for still scans at once.
    void tickWaitsForItsOwnScan_data() {
        QTest::addColumn<Meanwhile>("meanwhile");
        QTest::newRow("nothing else") << Meanwhile::Nothing;
        QTest::newRow("refresh button") << Meanwhile::RefreshButton;
        QTest::newRow("panel opens") << Meanwhile::PanelOpens;
        QTest::newRow("refresh after a stop") << Meanwhile::StopRefresh;
    }
    void tickWaitsForItsOwnScan() {
        QFETCH(Meanwhile, meanwhile);
        Fixture f;
        f.scans = Fixture::Scans::Hang;
        QVERIFY(nextTick(f));
        QCOMPARE(f.started, 1);

        const PortEntry own(4242, "server", "me", "TCP", "IPv4", "*", 8080, "LISTEN");
        switch (meanwhile) {
        case Meanwhile::Nothing:
            break;
        case Meanwhile::RefreshButton:
            f.vm->refreshNow();
            break;
        case Meanwhile::PanelOpens:
            f.vm->refreshAndRestartTimer();
            break;
        case Meanwhile::StopRefresh:
            f.vm->stopProcess(own); // its refresh comes 0.4 s later
            break;
        }
        const int asked = meanwhile == Meanwhile::Nothing ? 0 : 1;
        QTRY_COMPARE(f.started, 1 + asked);
        for (int tick = 0; tick < 2; ++tick)
            QVERIFY(nextTick(f));
        QCOMPARE(f.started, 1 + asked);

        // Once it ends, ticks scan again.
        f.scans = Fixture::Scans::FinishAtOnce;
        f.finishHangingScans();
        QVERIFY(nextTick(f));
        QCOMPARE(f.started, 2 + asked);
    }

    // The refresh after a stop comes although no window is on screen: the
    // stop was the user's, and its outcome must be known when a window opens.
    void stopRefreshesWhileHidden() {
        Fixture f;
        f.vm->setAutoRefreshEnabled(false);
        f.vm->setOnScreen(false);
        f.vm->stopProcess(PortEntry(4242, "server", "me", "TCP", "IPv4", "*", 8080, "LISTEN"));
        QTRY_COMPARE(f.started, 1);
    }
};

QTEST_GUILESS_MAIN(AutoRefreshTest)
#include "tst_autorefresh.moc"
