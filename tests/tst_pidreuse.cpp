// The pid-reuse race for real: inside a private pid namespace, a listed
// process exits and a newcomer takes its pid and its port. A press on the row
// the panel still shows sends the newcomer nothing and treats the row as gone,
// at the SIGTERM press and at the SIGKILL press that follows a SIGTERM the
// listed process ignored; the newcomer's own row, once listed, shows "Kill"
// and its press sends SIGTERM.
#include "ListeningChild.h"
#include "PidNamespace.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QFile>
#include <QScopeGuard>
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
        LsofRuns runs;
        PortListViewModel vm(PortListViewModel::Dependencies{
            [&scans, &runs, port = original.port] {
                ++scans;
                return PortScanner(runs).scan().then([port](ScanResult result) {
                    result.entries.removeIf([&](const PortEntry &e) { return e.port != port; });
                    return result;
                });
            },
            std::make_unique<QSettings>(settings, QSettings::IniFormat)});
        const auto stage = [&] {
            const QModelIndex first = vm.filteredModel()->index(0);
            return first.data(PortListModel::StopStageRole).toString();
        };
        const auto refreshed = [&](int count) { return scans == count && !vm.isLoading(); };
        vm.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(refreshed(1), 30000);
        QCOMPARE(vm.entries().size(), 1);
        const PortEntry row = vm.entries().first();
        QCOMPARE(row.pid, original.pid);
        QVERIFY(row.process.startTicks > 0);

        if (afterSigterm) { // first press: SIGTERM, ignored; still listed, SIGKILL offered
            vm.stopProcess(row);
            QCOMPARE(stage(), "Force");
            QTRY_VERIFY_WITH_TIMEOUT(refreshed(2), 30000);
            QCOMPARE(vm.entries(), PortEntryList{row});
            QCOMPARE(stage(), "Force");
        }

        // The listed process exits; a newcomer of the same user takes its pid
        // and its port while the panel still shows the row.
        QVERIFY(original.exitAndReap());
        QCOMPARE(original.endedBy(), 0);
        const QByteArray listen =
            "use IO::Socket::INET; my $s = IO::Socket::INET->new(Listen => 5, "
            "ReuseAddr => 1, LocalAddr => '127.0.0.1:" +
            QByteArray::number(original.port) + "') or die; sleep 300";
        const pid_t newcomer = PidNamespace::spawnWithPid(row.pid, {"/usr/bin/perl", "-e", listen});
        QVERIFY2(newcomer == row.pid, "the newcomer did not get the freed pid");
        const auto newcomerEndedBy = [newcomer] {
            siginfo_t info{};
            ::waitid(P_PID, id_t(newcomer), &info, WEXITED | WNOHANG | WNOWAIT);
            return info.si_pid == newcomer ? info.si_status : 0;
        };

        const auto cleanup = qScopeGuard([newcomer] {
            ::kill(newcomer, SIGKILL); // our own child, not yet reaped
            ::waitpid(newcomer, nullptr, 0);
        });
        // The newcomer listed on the pid: the stage of its own, "Kill".
        // One refresh, once the newcomer listens: a refresh between the two
        // would list nothing on the port and forget the SIGTERM for good.
        const QByteArray local =
            QByteArray::number(original.port, 16).toUpper().rightJustified(4, '0');
        const auto listening = [&] {
            QFile table("/proc/net/tcp");
            return table.open(QIODevice::ReadOnly) &&
                   table.readAll().contains("0100007F:" + local + " 00000000:0000 0A");
        };
        QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
        const int listedAt = scans;
        vm.refresh();
        QTRY_VERIFY_WITH_TIMEOUT(refreshed(listedAt + 1), 30000);
        QCOMPARE(vm.entries().size(), 1);
        QVERIFY(vm.entries().first().process.startTicks != row.process.startTicks);
        const PortEntry listedAgain = vm.entries().first();
        QCOMPARE(listedAgain.pid, row.pid);
        QCOMPARE(stage(), "Kill");

        // A press on the row as the panel showed it before: gone, no alert,
        // nothing sent.
        int before = scans;
        vm.stopProcess(row);
        QVERIFY(!vm.killError());
        QTRY_VERIFY_WITH_TIMEOUT(refreshed(before + 1), 30000); // the look again
        QCOMPARE(newcomerEndedBy(), 0);
        QCOMPARE(stage(), "Kill");

        // A press on the newcomer's row sends it SIGTERM.
        vm.stopProcess(listedAgain);
        QVERIFY(!vm.killError());
        QTRY_COMPARE_WITH_TIMEOUT(newcomerEndedBy(), SIGTERM, 10000);
    }
};

QTEST_GUILESS_MAIN(TestPidReuse)
#include "tst_pidreuse.moc"
