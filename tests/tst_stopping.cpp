// Stopping processes: the failure messages, the SIGTERM-then-SIGKILL escalation
// through the system-call seam (refusals are never provoked by signalling
// anybody's process), and the whole path against child processes the test
// starts itself, found by the real scanner.
#include "ListeningChild.h"
#include "PortListTestSupport.h"
#include "viewmodel/PortListViewModel.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <memory>

namespace {

const QString deniedText = QStringLiteral("The system denied permission to stop this process.");

QString ownedBy(const QString &user) {
    return QStringLiteral("This process is owned by \u201c") + user +
           QStringLiteral("\u201d, not you. Quayline only stops processes you own.");
}

QString failedWith(int code) {
    return QStringLiteral("Failed to signal the process (error %1).").arg(code);
}

} // namespace

class TestStopping : public QObject {
    Q_OBJECT

private slots:
    void killErrorMessages_data();
    void killErrorMessages();

    void stopThroughSeam_data();
    void stopThroughSeam();
    void twoFailuresGiveTwoAlerts();

    void realKillReportsErrno();
    void childExitingOnTermLeavesTermSent();
    void childIgnoringTermGetsKill();
    void childExitedBeforePressGivesNoAlert();

private:
    // The system calls as a test row sets them, recording every kill(2).
    struct FakeSystem {
        QString login = QStringLiteral("me");
        int result = 0;
        QList<QPair<qint32, int>> calls;

        SystemCalls seam() {
            return {[this] { return login; },
                    [this](qint32 pid, int signal) {
                        calls.append({pid, signal});
                        return result;
                    }};
        }
    };

    // The real scanner, narrowed to the test's own children so that nothing
    // else on the machine ever reaches stopProcess.
    struct ChildScanner {
        QSet<qint32> pids;
        int scans = 0;
        QElapsedTimer clock;
        qint64 lastScanAtMs = -1;

        PortListViewModel::ScanFunction function() {
            clock.start();
            return [this] {
                ++scans;
                lastScanAtMs = clock.elapsed();
                return PortScanner().scan().then([pids = pids](ScanResult result) {
                    result.entries.removeIf(
                        [&](const PortEntry &e) { return !pids.contains(e.pid); });
                    return result;
                });
            };
        }
    };

    struct ChildFixture {
        QTemporaryDir dir;
        ChildScanner scanner;
        QList<ListeningChild *> children;
        bool foreignKill = false;
        std::unique_ptr<PortListViewModel> vm;

        void create() {
            PortListViewModel::Dependencies deps;
            deps.scan = scanner.function();
            deps.settings = std::make_unique<QSettings>(dir.filePath(QStringLiteral("q.conf")),
                                                        QSettings::IniFormat);
            deps.system.kill = [this](qint32 pid, int signal) {
                for (ListeningChild *child : std::as_const(children)) {
                    if (child->pid() == pid)
                        return child->signal(signal);
                }
                foreignKill = true; // never passed on
                return EPERM;
            };
            vm = std::make_unique<PortListViewModel>(std::move(deps));
        }
        void add(ListeningChild &child) {
            children.append(&child);
            scanner.pids.insert(child.pid());
        }
        std::optional<PortEntry> listed(qint32 pid) const {
            for (const PortEntry &e : vm->entries()) {
                if (e.pid == pid)
                    return e;
            }
            return std::nullopt;
        }
        // Refreshes until the scanner lists pid (or no longer does).
        bool refreshUntil(qint32 pid, bool wantListed) {
            return waitUntil(
                [&] {
                    if (vm->isLoading())
                        return false;
                    if (listed(pid).has_value() == wantListed)
                        return true;
                    vm->refresh();
                    return false;
                },
                20000);
        }
        bool waitForScansToSettle(int scansBefore) {
            return waitUntil([&] { return scanner.scans > scansBefore && !vm->isLoading(); },
                             20000);
        }
    };

    static bool childrenCanRun() {
        return ListeningChild::available() && QFile::exists(PortScanner::defaultLsofPath());
    }
};

void TestStopping::killErrorMessages_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");

    QTest::newRow("not owned by root")
        << 0
        << QStringLiteral("This process is owned by \u201croot\u201d, not you. Quayline only "
                          "stops processes you own.");
    QTest::newRow("failed -1") << 1 << QStringLiteral("Failed to signal the process (error -1).");
    QTest::newRow("process gone") << 2 << QStringLiteral("That process has already exited.");
}

void TestStopping::killErrorMessages() {
    QFETCH(int, kind);
    QFETCH(QString, message);
    // The others reach the user through the alert, checked with the escalation below.
    const KillError errors[] = {KillError::notOwned(QStringLiteral("root")), KillError::failed(-1),
                                KillError::processGone()};
    QCOMPARE(errors[kind].message(), message);
}

void TestStopping::stopThroughSeam_data() {
    QTest::addColumn<bool>("termSentBefore");
    QTest::addColumn<qint32>("pid");
    QTest::addColumn<QString>("owner");
    QTest::addColumn<QString>("login");
    QTest::addColumn<int>("killResult");
    QTest::addColumn<int>("signalSent"); // 0: kill(2) must not be called
    QTest::addColumn<bool>("termSentAfter");
    QTest::addColumn<QString>("alert"); // empty: none
    QTest::addColumn<bool>("refreshes");

    const QString me = QStringLiteral("me");
    // Untouched processes.
    QTest::newRow("SIGTERM delivered")
        << false << 4242 << me << me << 0 << SIGTERM << true << QString() << true;
    QTest::newRow("already exited")
        << false << 4242 << me << me << ESRCH << SIGTERM << false << QString() << true;
    QTest::newRow("EPERM") << false << 4242 << me << me << EPERM << SIGTERM << false << deniedText
                           << false;
    QTest::newRow("other errno") << false << 4242 << me << me << EINVAL << SIGTERM << false
                                 << failedWith(EINVAL) << false;
    QTest::newRow("owner differs") << false << 4242 << QStringLiteral("root") << me << 0 << 0
                                   << false << ownedBy(QStringLiteral("root")) << false;
    QTest::newRow("owner differs only in letter case")
        << false << 4242 << QStringLiteral("Me") << me << 0 << 0 << false
        << ownedBy(QStringLiteral("Me")) << false;
    QTest::newRow("owner not trimmed") << false << 4242 << QStringLiteral("me ") << me << 0 << 0
                                       << false << ownedBy(QStringLiteral("me ")) << false;
    QTest::newRow("canonically equivalent owner")
        << false << 4242 << QStringLiteral("jose\u0301") << QStringLiteral("jos\u00e9") << 0
        << SIGTERM << true << QString() << true;
    QTest::newRow("no owner: the system decides")
        << false << 4242 << QString() << me << EPERM << SIGTERM << false << deniedText << false;
    QTest::newRow("no owner: delivered")
        << false << 4242 << QString() << me << 0 << SIGTERM << true << QString() << true;
    QTest::newRow("pid 0") << false << 0 << me << me << 0 << 0 << false << failedWith(-1) << false;
    QTest::newRow("pid -1") << false << -1 << me << me << 0 << 0 << false << failedWith(-1)
                            << false;
    QTest::newRow("pid below 1 before the owner") << false << -7 << QStringLiteral("root") << me
                                                  << 0 << 0 << false << failedWith(-1) << false;
    // Processes already sent SIGTERM and still listed.
    QTest::newRow("term sent: SIGKILL delivered")
        << true << 4242 << me << me << 0 << SIGKILL << false << QString() << true;
    QTest::newRow("term sent: already exited")
        << true << 4242 << me << me << ESRCH << SIGKILL << false << QString() << true;
    QTest::newRow("term sent: EPERM")
        << true << 4242 << me << me << EPERM << SIGKILL << true << deniedText << false;
    QTest::newRow("term sent: other errno")
        << true << 4242 << me << me << EAGAIN << SIGKILL << true << failedWith(EAGAIN) << false;
    QTest::newRow("term sent: owner differs")
        << true << 4242 << me << QStringLiteral("you") << 0 << 0 << true << ownedBy(me) << false;
}

void TestStopping::stopThroughSeam() {
    QFETCH(bool, termSentBefore);
    QFETCH(qint32, pid);
    QFETCH(QString, owner);
    QFETCH(QString, login);
    QFETCH(int, killResult);
    QFETCH(int, signalSent);
    QFETCH(bool, termSentAfter);
    QFETCH(QString, alert);
    QFETCH(bool, refreshes);

    QTemporaryDir dir;
    FakeScanner scanner;
    const PortEntry target =
        entry(pid, QStringLiteral("server"), 8080, QStringLiteral("TCP"), owner);
    scanner.immediate = ScanResult{{target}, std::nullopt}; // still listed at every refresh
    FakeSystem system;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("q.conf")), system.seam());

    if (termSentBefore) {
        system.login = owner;
        vm->stopProcess(target);
        QVERIFY(waitUntil([&] { return scanner.calls() == 1 && !vm->isLoading(); }));
        QVERIFY(vm->pidsTermSent().contains(pid));
        system.calls.clear();
    }
    system.login = login;
    system.result = killResult;
    const int scansBefore = scanner.calls();
    QSignalSpy alerts(vm.get(), &PortListViewModel::killErrorChanged);

    const qint64 pressedAt = scanner.now();
    vm->stopProcess(target);

    if (signalSent == 0)
        QCOMPARE(system.calls, (QList<QPair<qint32, int>>{}));
    else
        QCOMPARE(system.calls, (QList<QPair<qint32, int>>{{pid, signalSent}}));
    QCOMPARE(vm->pidsTermSent().contains(pid), termSentAfter);
    if (alert.isEmpty()) {
        QCOMPARE(alerts.count(), 0);
        QVERIFY(!vm->killError());
    } else {
        QCOMPARE(alerts.count(), 1);
        QVERIFY(vm->killError());
        QCOMPARE(vm->killError()->text, alert);
        QVERIFY(!vm->killError()->id.isNull());
    }
    if (refreshes) {
        QVERIFY(waitUntil([&] { return scanner.calls() == scansBefore + 1; }));
        QVERIFY(scanner.callTimesMs.back() - pressedAt >= 400);
        QVERIFY(waitUntil([&] { return !vm->isLoading(); }));
        // The process is still listed, so a SIGTERM leaves its id in the set.
        QCOMPARE(vm->pidsTermSent().contains(pid), termSentAfter);
    } else {
        QTest::qWait(600); // longer than the delayed refresh: none may start
        QCOMPARE(scanner.calls(), scansBefore);
    }
}

void TestStopping::twoFailuresGiveTwoAlerts() {
    QTemporaryDir dir;
    FakeScanner scanner;
    FakeSystem system;
    system.result = EPERM;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("q.conf")), system.seam());
    QSignalSpy alerts(vm.get(), &PortListViewModel::killErrorChanged);
    const PortEntry target = entry(4242, QStringLiteral("server"), 8080);

    vm->stopProcess(target);
    const KillMessage first = *vm->killError();
    vm->stopProcess(target);
    const KillMessage second = *vm->killError();
    QCOMPARE(alerts.count(), 2);
    QCOMPARE(first.text, deniedText);
    QCOMPARE(second.text, first.text);
    QVERIFY(first.id != second.id);

    // What the view sees, and how it dismisses the alert.
    const QVariant shown = vm->property("killError");
    QCOMPARE(shown.value<KillMessage>().text, deniedText);
    QVERIFY(vm->setProperty("killError", QVariant()));
    QVERIFY(!vm->killError());
    QCOMPARE(alerts.count(), 3);
    QVERIFY(vm->property("killError").isNull());
}

void TestStopping::realKillReportsErrno() {
    // The real kill(2) wrapper, without delivering anything: signal 0 only
    // checks, and an invalid signal number is refused before any delivery.
    if (!ListeningChild::available())
        QSKIP("needs /usr/bin/perl");
    ListeningChild child(ListeningChild::OnTerm::Exit);
    QVERIFY(child.isValid());
    const SystemCalls real = SystemCalls::real();
    QCOMPARE(real.kill(child.pid(), 0), 0);
    QCOMPARE(real.kill(child.pid(), 1000), EINVAL);
    QCOMPARE(child.process().state(), QProcess::Running);
}

void TestStopping::childExitingOnTermLeavesTermSent() {
    if (!childrenCanRun())
        QSKIP("needs /usr/bin/perl and lsof");
    ListeningChild child(ListeningChild::OnTerm::Exit);
    QVERIFY(child.isValid());
    ChildFixture f;
    f.add(child);
    f.create();
    QSignalSpy alerts(f.vm.get(), &PortListViewModel::killErrorChanged);

    QVERIFY(f.refreshUntil(child.pid(), true));
    const PortEntry row = *f.listed(child.pid());
    QCOMPARE(row.port, qint64(child.port()));
    const int scansBefore = f.scanner.scans;
    const qint64 pressedAt = f.scanner.clock.elapsed();
    f.vm->stopProcess(row); // the login name must match lsof's owner column
    QCOMPARE(alerts.count(), 0);
    QVERIFY(f.vm->pidsTermSent().contains(child.pid()));

    QTRY_VERIFY_WITH_TIMEOUT(child.endedBySignal(), 10000);
    QVERIFY(f.waitForScansToSettle(scansBefore));
    QVERIFY(f.scanner.lastScanAtMs - pressedAt >= 400);
    QVERIFY(!f.listed(child.pid()));
    QVERIFY(!f.vm->pidsTermSent().contains(child.pid()));
    QCOMPARE(alerts.count(), 0);
    QVERIFY(!f.foreignKill);
}

void TestStopping::childIgnoringTermGetsKill() {
    if (!childrenCanRun())
        QSKIP("needs /usr/bin/perl and lsof");
    ListeningChild child(ListeningChild::OnTerm::Ignore);
    QVERIFY(child.isValid());
    ChildFixture f;
    f.add(child);
    f.create();
    QSignalSpy alerts(f.vm.get(), &PortListViewModel::killErrorChanged);

    QVERIFY(f.refreshUntil(child.pid(), true));
    const PortEntry row = *f.listed(child.pid());
    int scansBefore = f.scanner.scans;
    f.vm->stopProcess(row);
    QTRY_COMPARE_WITH_TIMEOUT(child.termsReceived(), 1, 10000);
    QVERIFY(f.waitForScansToSettle(scansBefore));
    // Still listed after the delayed refresh: the next press is SIGKILL.
    QVERIFY(f.listed(child.pid()));
    QVERIFY(f.vm->pidsTermSent().contains(child.pid()));
    QCOMPARE(child.process().state(), QProcess::Running);

    scansBefore = f.scanner.scans;
    f.vm->stopProcess(row);
    QVERIFY(!f.vm->pidsTermSent().contains(child.pid()));
    QTRY_VERIFY_WITH_TIMEOUT(child.endedBySignal(), 10000);
    QCOMPARE(child.termsReceived(), 1); // the second press sent no SIGTERM
    QVERIFY(f.waitForScansToSettle(scansBefore));
    QVERIFY(!f.listed(child.pid()));
    QCOMPARE(alerts.count(), 0);
    QVERIFY(!f.foreignKill);
}

void TestStopping::childExitedBeforePressGivesNoAlert() {
    if (!childrenCanRun())
        QSKIP("needs /usr/bin/perl and lsof");
    ListeningChild child(ListeningChild::OnTerm::Exit);
    QVERIFY(child.isValid());
    ChildFixture f;
    f.add(child);
    f.create();
    QSignalSpy alerts(f.vm.get(), &PortListViewModel::killErrorChanged);

    QVERIFY(f.refreshUntil(child.pid(), true));
    const PortEntry row = *f.listed(child.pid());
    // Gone and reaped (a zombie would still accept the signal) before the press.
    QVERIFY(child.exitAndReap());
    QCOMPARE(child.signal(0), ESRCH);

    const int scansBefore = f.scanner.scans;
    f.vm->stopProcess(row);
    QCOMPARE(alerts.count(), 0);
    QVERIFY(!f.vm->pidsTermSent().contains(child.pid()));
    QVERIFY(f.waitForScansToSettle(scansBefore)); // the row goes with the delayed refresh
    QVERIFY(!f.listed(child.pid()));
    QCOMPARE(alerts.count(), 0);
    QVERIFY(!f.foreignKill);
}

QTEST_GUILESS_MAIN(TestStopping)
#include "tst_stopping.moc"
