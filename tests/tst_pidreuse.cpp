// The pid-reuse race for real: inside a private pid namespace, a listed
// process exits and a newcomer takes its pid and its port. A press on the row
// the panel still shows sends the newcomer nothing and treats the row as gone;
// the newcomer's own row, once listed, shows "Kill" and its press sends SIGTERM.
// (The SIGKILL press checks the process the same way: tst_identity's seam rows.)
#include "KernelFixtures.h"
#include "ListeningChild.h"
#include "PidNamespace.h"
#include "StubLsof.h"
#include "process/ProcStat.h"
#include "scanner/ProcessReader.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

class TestPidReuse : public QObject {
    Q_OBJECT

private slots:
    void scanDropsNewcomer();
    void modelStopSparesNewcomer() {
        QUAYLINE_IN_PID_NAMESPACE();
        ListeningChild original(ListeningChild::OnTerm::Exit);
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
        // The newcomer listed on the pid, once it listens, with a start time
        // of its own: a press on the old row must not be taken for its.
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

// What a scan records of a pid that passed from a listener to a newcomer of
// the same command name while lsof was still running after it listed the
// listener: no identity, since the newcomer holds no socket on the listed
// port (even while another process keeps that port open), so nothing can
// signal it through the row.
void TestPidReuse::scanDropsNewcomer() {
    QUAYLINE_IN_PID_NAMESPACE();
    ListeningChild original(ListeningChild::OnTerm::Exit);
    QVERIFY(original.port > 0);
    // Where the test made the gate, the TCP run waits at it after printing.
    StubLsof lsof(
        "[ \"$run\" = udp ] && exit 0\ncat \"$dir/listing\"\n"
        "if [ -p \"$dir/gate\" ]; then : >\"$dir/waiting\"; read go <\"$dir/gate\"; fi\n");
    QVERIFY(lsof.write("listing",
                       StubLsof::listing(original.pid, "perl", currentLoginName(), original.port)));
    // Only the listed port: the table adds rows for every other socket here.
    LsofRuns runs;
    const auto scanOnce = [&] {
        ScanResult result = PortScanner(runs, lsof.path()).scan().result();
        result.entries.removeIf([&](const PortEntry &e) { return e.port != original.port; });
        return result;
    };
    // While the listener holds its socket, the row has its identity.
    ScanResult before = scanOnce();
    QCOMPARE(before.entries.size(), 1);
    QVERIFY(before.entries[0].process.isKnown());

    // The swap happens while lsof runs, after it printed the listener.
    QCOMPARE(::mkfifo(QFile::encodeName(lsof.dir.filePath("gate")).constData(), 0600), 0);
    const QFuture<ScanResult> scan = PortScanner(runs, lsof.path()).scan();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lsof.dir.filePath("waiting")), 30000);
    QVERIFY(original.exitAndReap());
    const pid_t newcomer =
        PidNamespace::spawnWithPid(original.pid, {"/usr/bin/perl", "-e", "sleep 300"});
    QVERIFY2(newcomer == original.pid, "the newcomer did not get the freed pid");
    // The port is taken again, by another process: the table lists a socket there.
    const Listener holder(quint16(original.port));
    QCOMPARE(holder.port, original.port);
    // The race is real: by its name alone the newcomer passes for the listener.
    QTRY_VERIFY(StatReader().read(newcomer).stat.has_value() &&
                StatReader().read(newcomer).stat->comm == "perl");
    QVERIFY(ProcessReader().read(newcomer, u"perl").isKnown());

    QFile gate(lsof.dir.filePath("gate"));
    QVERIFY(gate.open(QIODevice::WriteOnly) && gate.write("go\n") == 3);
    gate.close();
    QTRY_VERIFY_WITH_TIMEOUT(scan.isFinished(), 30000);
    ScanResult after = scan.result();
    after.entries.removeIf([&](const PortEntry &e) { return e.port != original.port; });
    QCOMPARE(after.entries.size(), 1);
    QCOMPARE(after.entries[0].pid, original.pid);
    QVERIFY(!after.entries[0].process.isKnown());
    ::kill(newcomer, SIGKILL); // our own child, not yet reaped
    ::waitpid(newcomer, nullptr, 0);
}

QTEST_GUILESS_MAIN(TestPidReuse)
#include "tst_pidreuse.moc"
