// The pid-reuse race for real: inside a private pid namespace, a listed
// process exits, a newcomer takes its pid, and the panel's stop must send the
// newcomer nothing and treat the row as gone, at the SIGTERM press and at the
// SIGKILL press that follows a SIGTERM the listed process ignored.
#include "ListeningChild.h"
#include "PidNamespace.h"
#include "viewmodel/PortListViewModel.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestPidReuse : public QObject {
    Q_OBJECT

private slots:
    void modelStopSparesNewcomer_data() {
        QTest::addColumn<bool>("afterSigterm");
        QTest::newRow("SIGTERM press") << false;
        QTest::newRow("SIGKILL press, SIGTERM was ignored") << true;
    }
    void modelStopSparesNewcomer() {
        QUAYLINE_IN_PID_NAMESPACE();
        QFETCH(bool, afterSigterm);

        ListeningChild original(afterSigterm ? ListeningChild::OnTerm::Ignore
                                             : ListeningChild::OnTerm::Exit);
        QVERIFY(original.port > 0);
        QTemporaryDir dir;
        const QString settings = dir.filePath("q.conf");
        QSettings(settings, QSettings::IniFormat).setValue("autoRefreshEnabled", false);
        int scans = 0;
        PortListViewModel vm(PortListViewModel::Dependencies{
            [&scans, port = original.port] {
                ++scans;
                return PortScanner().scan().then([port](ScanResult result) {
                    result.entries.removeIf([&](const PortEntry &e) { return e.port != port; });
                    return result;
                });
            },
            std::make_unique<QSettings>(settings, QSettings::IniFormat), SystemCalls::real()});
        const auto refreshed = [&](int count) { return scans == count && !vm.isLoading(); };
        vm.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(refreshed(1), 30000);
        QCOMPARE(vm.entries().size(), 1);
        const PortEntry row = vm.entries().first();
        QCOMPARE(row.pid, original.pid);
        QVERIFY(row.process.startTicks > 0);

        if (afterSigterm) { // first press: SIGTERM, ignored; still listed, SIGKILL offered
            vm.stopProcess(row);
            QVERIFY(vm.pidsTermSent().contains(row.pid));
            QTRY_VERIFY_WITH_TIMEOUT(refreshed(2), 30000);
            QCOMPARE(vm.entries(), PortEntryList{row});
            QVERIFY(vm.pidsTermSent().contains(row.pid));
        }

        // The listed process exits; a newcomer of the same user takes its pid
        // while the panel still shows the row.
        QVERIFY(original.exitAndReap());
        QCOMPARE(original.endedBy(), 0);
        const pid_t newcomer = PidNamespace::spawnWithPid(row.pid, {"/bin/sleep", "300"});
        QVERIFY2(newcomer == row.pid, "the newcomer did not get the freed pid");
        const auto newcomerEndedBy = [newcomer] {
            siginfo_t info{};
            ::waitid(P_PID, id_t(newcomer), &info, WEXITED | WNOHANG | WNOWAIT);
            return info.si_pid == newcomer ? info.si_status : 0;
        };

        const int before = scans;
        vm.stopProcess(row);
        QVERIFY(!vm.pidsTermSent().contains(row.pid));          // gone: no SIGKILL offered
        QVERIFY(!vm.killError());                               // and no alert
        QTRY_VERIFY_WITH_TIMEOUT(refreshed(before + 1), 30000); // the look again
        QCOMPARE(vm.entries(), PortEntryList{});
        QCOMPARE(newcomerEndedBy(), 0);

        ::kill(newcomer, SIGKILL); // our own child, not yet reaped
        ::waitpid(newcomer, nullptr, 0);
    }
};

QTEST_GUILESS_MAIN(TestPidReuse)
#include "tst_pidreuse.moc"
