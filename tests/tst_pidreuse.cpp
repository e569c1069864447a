// The pid-reuse race for real: inside a private pid namespace, a listed
// process exits, a newcomer takes its pid, and the panel's stop must send the
// newcomer nothing and treat the row as gone, at the SIGTERM press and at the
// SIGKILL press that follows a SIGTERM the listed process ignored.
#include "ListeningChild.h"
#include "PidNamespace.h"
#include "StubLsof.h"
#include "scanner/ProcessReader.h"
#include "viewmodel/PortListViewModel.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

class TestPidReuse : public QObject {
    Q_OBJECT

private slots:
    void scanDropsNewcomer();
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

// What a scan records of a pid that passed from a listener to a newcomer of
// the same command name after lsof listed it: no identity, since the
// newcomer holds no socket on the listed port (even while another process
// keeps that port open), so nothing can signal it through the row.
void TestPidReuse::scanDropsNewcomer() {
    QUAYLINE_IN_PID_NAMESPACE();
    ListeningChild original(ListeningChild::OnTerm::Exit);
    QVERIFY(original.port > 0);
    StubLsof lsof("[ \"$run\" = udp ] || cat \"$dir/listing\"\n");
    QVERIFY(lsof.write("listing",
                       StubLsof::listing(original.pid, "perl", currentLoginName(), original.port)));
    // Only the listed port: the table adds rows for every other socket here.
    const auto scanOnce = [&] {
        ScanResult result = PortScanner(lsof.path()).scan().result();
        result.entries.removeIf([&](const PortEntry &e) { return e.port != original.port; });
        return result;
    };
    // While the listener holds its socket, the row has its identity.
    ScanResult before = scanOnce();
    QCOMPARE(before.entries.size(), 1);
    QVERIFY(before.entries[0].process.isKnown());

    QVERIFY(original.exitAndReap());
    const pid_t newcomer =
        PidNamespace::spawnWithPid(original.pid, {"/usr/bin/perl", "-e", "sleep 300"});
    QVERIFY2(newcomer == original.pid, "the newcomer did not get the freed pid");
    // The port is taken again, by this test: the table lists a socket there.
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(quint16(original.port));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    QCOMPARE(::bind(holder, reinterpret_cast<sockaddr *>(&in), sizeof in), 0);
    QCOMPARE(::listen(holder, 1), 0);
    // The race is real: by its name alone the newcomer passes for the listener.
    QTRY_VERIFY(ProcessReader().readStat(newcomer).has_value() &&
                ProcessReader().readStat(newcomer)->comm == "perl");
    QVERIFY(ProcessReader().read(newcomer, u"perl").isKnown());

    const ScanResult after = scanOnce();
    QCOMPARE(after.entries.size(), 1);
    QCOMPARE(after.entries[0].pid, original.pid);
    QVERIFY(!after.entries[0].process.isKnown());
    ::close(holder);
    ::kill(newcomer, SIGKILL); // our own child, not yet reaped
    ::waitpid(newcomer, nullptr, 0);
}

QTEST_GUILESS_MAIN(TestPidReuse)
#include "tst_pidreuse.moc"
