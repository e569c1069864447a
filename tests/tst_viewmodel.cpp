// The port list model: persisted settings, the auto-refresh timer, overlapping
// refreshes, the filter as the model offers it, and the identity-keeping list
// model. Scans come from a fake whose results the tests hand out themselves.
#include "PortListTestSupport.h"
#include "model/PortFilter.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <climits>
#include <cmath>
#include <limits>

namespace {

// Spies on every signal an object declares, so that "nothing at all" can be checked.
class AllSignalsSpy {
public:
    explicit AllSignalsSpy(QObject *object) {
        const QMetaObject *meta = object->metaObject();
        for (int i = 0; i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (method.methodType() == QMetaMethod::Signal && method.name() != "destroyed" &&
                method.name() != "objectNameChanged")
                m_spies.push_back({method.name(), std::make_unique<QSignalSpy>(object, method)});
        }
    }
    QStringList fired() const {
        QStringList names;
        for (const auto &[name, spy] : m_spies) {
            if (!spy->isEmpty())
                names.append(QString::fromLatin1(name));
        }
        return names;
    }

private:
    std::vector<std::pair<QByteArray, std::unique_ptr<QSignalSpy>>> m_spies;
};

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

const QByteArray missingFile = "<missing>";
const QByteArray directoryInstead = "<directory>";

// A settings file (or a directory in its place) as a test row describes it.
QString prepareSettings(const QTemporaryDir &dir, const QByteArray &content) {
    const QString path = dir.filePath(QStringLiteral("Quayline.conf"));
    if (content == directoryInstead)
        QDir().mkpath(path);
    else if (content != missingFile)
        writeFile(path, content);
    return path;
}

} // namespace

class TestViewModel : public QObject {
    Q_OBJECT

private slots:
    void settingsAtCreation_data();
    void settingsAtCreation();
    void assignmentsPersistEvenWhenEqual();
    void unreadableSettingsStillAssignable();

    void timerPeriodIsGuarded_data();
    void timerPeriodIsGuarded();
    void firstTickOneIntervalLater_data();
    void firstTickOneIntervalLater();
    void timerStopsWhenAutoRefreshTurnedOff();

    void overlappingRefreshes_data();
    void overlappingRefreshes();
    void cancelledScanEndsLoading();
    void scanErrorSetAndCleared();
    void pruningOfTermSent();
    void refreshAndRestartTimerWaitsForTheScan();

    void filteredEntries_data();
    void filteredEntries();

    void listModelKeepsRowIdentity_data();
    void listModelKeepsRowIdentity();
    void listModelRandomRefreshes();
    void identicalRefreshIsSilent_data();
    void identicalRefreshIsSilent();
    void repeatedIdsFallBackToReset();

private:
    // Applies one scan result through the model's own refresh.
    static void refreshWith(PortListViewModel &vm, FakeScanner &scanner,
                            const PortEntryList &list) {
        scanner.immediate = ScanResult{list, std::nullopt};
        QFuture<void> done = vm.refresh();
        QVERIFY(waitUntil([&] { return done.isFinished(); }));
    }
};

void TestViewModel::settingsAtCreation_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("autoRefresh");
    QTest::addColumn<double>("interval");

    QTest::newRow("none stored") << missingFile << true << 5.0;
    QTest::newRow("as written") << QByteArray("[General]\nautoRefreshEnabled=false\n"
                                              "refreshInterval=30\n")
                                << false << 30.0;
    QTest::newRow("unoffered interval 7")
        << QByteArray("[General]\nrefreshInterval=7\n") << true << 7.0;
    QTest::newRow("text FALSE, fraction")
        << QByteArray("[General]\nautoRefreshEnabled=FALSE\nrefreshInterval=2.5\n") << false << 2.5;
    QTest::newRow("text TRUE, exponent")
        << QByteArray("[General]\nautoRefreshEnabled=TRUE\nrefreshInterval=1.5e1\n") << true
        << 15.0;
    QTest::newRow("number 0 is false")
        << QByteArray("[General]\nautoRefreshEnabled=0\n") << false << 5.0;
    // Stored values are used as they are; only the timer guards against them.
    QTest::newRow("zero interval kept")
        << QByteArray("[General]\nrefreshInterval=0\n") << true << 0.0;
    QTest::newRow("negative interval kept")
        << QByteArray("[General]\nrefreshInterval=-1\n") << true << -1.0;
    // Wrong types give the defaults. A naive QVariant::toBool() would read the
    // empty text, "off" and a point at the origin as false.
    QTest::newRow("empty texts") << QByteArray("[General]\nautoRefreshEnabled=\nrefreshInterval=\n")
                                 << true << 5.0;
    QTest::newRow("words") << QByteArray(
                                  "[General]\nautoRefreshEnabled=off\nrefreshInterval=fast\n")
                           << true << 5.0;
    QTest::newRow("lists") << QByteArray("[General]\nautoRefreshEnabled=\"0, 0\"\n"
                                         "refreshInterval=\"1, 2\"\n")
                           << true << 5.0;
    QTest::newRow("point") << QByteArray("[General]\nautoRefreshEnabled=@Point(0 0)\n"
                                         "refreshInterval=@Point(7 7)\n")
                           << true << 5.0;
    QTest::newRow("number with a unit")
        << QByteArray("[General]\nrefreshInterval=7s\n") << true << 5.0;
    QTest::newRow("nan word") << QByteArray("[General]\nrefreshInterval=nan\n") << true << 5.0;
    static const char garbage[] = "[General\n\x01\x02\xff=\x00zz\nrefresh\xffInterval==\n[\n=\n";
    QTest::newRow("malformed file") << QByteArray(garbage, sizeof garbage - 1) << true << 5.0;
    QTest::newRow("unreadable (a directory)") << directoryInstead << true << 5.0;
}

void TestViewModel::settingsAtCreation() {
    QFETCH(QByteArray, file);
    QFETCH(bool, autoRefresh);
    QFETCH(double, interval);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = prepareSettings(dir, file);
    const QByteArray before = readFile(path);
    {
        FakeScanner scanner;
        auto vm = makeViewModel(scanner, path);
        QCOMPARE(vm->autoRefreshEnabled(), autoRefresh);
        QCOMPARE(vm->refreshInterval(), interval);
        // Creation starts nothing.
        QVERIFY(!vm->isTimerRunning());
        QCoreApplication::processEvents();
        QCOMPARE(scanner.calls(), 0);
    }
    // ... and writes nothing back, not even the defaults.
    if (file == missingFile)
        QVERIFY(!QFile::exists(path));
    else
        QCOMPARE(readFile(path), before);
}

void TestViewModel::assignmentsPersistEvenWhenEqual() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("Quayline.conf"));
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, path);
    QSignalSpy intervalSpy(vm.get(), &PortListViewModel::refreshIntervalChanged);
    QSignalSpy enabledSpy(vm.get(), &PortListViewModel::autoRefreshEnabledChanged);

    // The defaults assigned again: no change report, but written and the timer started.
    vm->setRefreshInterval(5.0);
    vm->setAutoRefreshEnabled(true);
    QCOMPARE(intervalSpy.count(), 0);
    QCOMPARE(enabledSpy.count(), 0);
    QVERIFY(vm->isTimerRunning());
    const QByteArray written = readFile(path);
    QVERIFY2(written.contains("refreshInterval=5\n"), written.constData());
    QVERIFY2(written.contains("autoRefreshEnabled=true\n"), written.constData());

    vm->setRefreshInterval(7.5);
    vm->setAutoRefreshEnabled(false);
    QCOMPARE(intervalSpy.count(), 1);
    QCOMPARE(enabledSpy.count(), 1);
    QVERIFY(!vm->isTimerRunning());

    // The next start reads what was written.
    FakeScanner otherScanner;
    auto next = makeViewModel(otherScanner, path);
    QCOMPARE(next->refreshInterval(), 7.5);
    QCOMPARE(next->autoRefreshEnabled(), false);
}

void TestViewModel::unreadableSettingsStillAssignable() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = prepareSettings(dir, directoryInstead);
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, path);
    vm->setRefreshInterval(10);
    vm->setAutoRefreshEnabled(false);
    QCOMPARE(vm->refreshInterval(), 10.0);
    QCOMPARE(vm->autoRefreshEnabled(), false);
    QVERIFY(QFileInfo(path).isDir());
}

void TestViewModel::timerPeriodIsGuarded_data() {
    QTest::addColumn<double>("interval");
    QTest::addColumn<int>("periodMs");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("2") << 2.0 << 2000;
    QTest::newRow("7") << 7.0 << 7000;
    QTest::newRow("fraction rounded up") << 2.0005 << 2001;
    QTest::newRow("below a second") << 0.25 << 1000;
    QTest::newRow("0") << 0.0 << 5000;
    QTest::newRow("-1") << -1.0 << 5000;
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << 5000;
    QTest::newRow("inf") << inf << 5000;
    QTest::newRow("-inf") << -inf << 5000;
    QTest::newRow("1e300") << 1e300 << INT_MAX;
}

void TestViewModel::timerPeriodIsGuarded() {
    QFETCH(double, interval);
    QFETCH(int, periodMs);

    QTemporaryDir dir;
    FakeScanner scanner;
    scanner.immediate = ScanResult{};
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    vm->setRefreshInterval(interval);
    // The property keeps the value as assigned; only the timer is guarded.
    if (std::isnan(interval))
        QVERIFY(std::isnan(vm->refreshInterval()));
    else
        QCOMPARE(vm->refreshInterval(), interval);
    QCOMPARE(vm->timerIntervalMs(), periodMs);
    // A timer of period 0 would fire on every pass of the event loop.
    QTest::qWait(50);
    QCOMPARE(scanner.calls(), 0);
}

void TestViewModel::firstTickOneIntervalLater_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("action");

    QTest::newRow("restartTimer()")
        << QByteArray("[General]\nrefreshInterval=1\n") << "restartTimer";
    QTest::newRow("auto-refresh turned on")
        << QByteArray("[General]\nrefreshInterval=1\nautoRefreshEnabled=false\n") << "turnOn";
    QTest::newRow("same interval assigned again")
        << QByteArray("[General]\nrefreshInterval=1\n") << "sameIntervalLater";
}

void TestViewModel::firstTickOneIntervalLater() {
    QFETCH(QByteArray, file);
    QFETCH(QString, action);

    QTemporaryDir dir;
    FakeScanner scanner;
    scanner.immediate = ScanResult{};
    auto vm = makeViewModel(scanner, prepareSettings(dir, file));

    if (action == u"restartTimer") {
        vm->restartTimer();
    } else if (action == u"turnOn") {
        vm->restartTimer();
        QVERIFY(!vm->isTimerRunning());
        vm->setAutoRefreshEnabled(true);
    } else {
        vm->restartTimer();
        QTest::qWait(400); // part of the scenario: the period is restarted mid-way
        vm->setRefreshInterval(1.0);
    }
    // (On a busy machine the wait above may overrun the first period; only the
    // ticks after the assignment count.)
    const qint64 start = scanner.now();
    const int before = scanner.calls();
    QCOMPARE(vm->timerIntervalMs(), 1000);
    QCoreApplication::processEvents();
    QCOMPARE(scanner.calls(), before); // no immediate scan
    QTRY_COMPARE_WITH_TIMEOUT(scanner.calls(), before + 1, 10000);
    // Coarse timers may fire up to 5 % early, never sooner.
    const qint64 firstTick = scanner.callTimesMs[before] - start;
    QVERIFY2(firstTick >= 950, qPrintable(QString::number(firstTick)));
    // It repeats.
    QTRY_COMPARE_WITH_TIMEOUT(scanner.calls(), before + 2, 10000);
}

void TestViewModel::timerStopsWhenAutoRefreshTurnedOff() {
    QTemporaryDir dir;
    FakeScanner scanner;
    scanner.immediate = ScanResult{};
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    vm->setRefreshInterval(1.0);
    QTRY_COMPARE_WITH_TIMEOUT(scanner.calls(), 1, 10000);
    vm->setAutoRefreshEnabled(false);
    QVERIFY(!vm->isTimerRunning());
    QCOMPARE(vm->timerIntervalMs(), 0);
    QTest::qWait(1200); // more than one period: no further tick
    QCOMPARE(scanner.calls(), 1);
}

void TestViewModel::overlappingRefreshes_data() {
    QTest::addColumn<bool>("secondFinishesFirst");
    QTest::newRow("in the order started") << false;
    QTest::newRow("second one first") << true;
}

void TestViewModel::overlappingRefreshes() {
    QFETCH(bool, secondFinishesFirst);

    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    QSignalSpy loading(vm.get(), &PortListViewModel::isLoadingChanged);

    const ScanResult results[2] = {
        {{entry(1, QStringLiteral("a"), 80)}, QStringLiteral("first")},
        {{entry(2, QStringLiteral("b"), 443), entry(3, QStringLiteral("c"), 8080)}, std::nullopt},
    };
    QFuture<void> refreshes[2] = {vm->refresh(), vm->refresh()};
    QCOMPARE(scanner.calls(), 2); // no guard: two independent scans
    QVERIFY(vm->isLoading());
    QCOMPARE(loading.count(), 1);

    const size_t firstDone = secondFinishesFirst ? 1 : 0;
    const size_t lastDone = 1 - firstDone;
    scanner.finish(firstDone, results[firstDone]);
    QTRY_VERIFY(refreshes[firstDone].isFinished());
    QVERIFY(!vm->isLoading()); // falls at the first finish
    QCOMPARE(vm->entries(), results[firstDone].entries);
    QVERIFY(!refreshes[lastDone].isFinished());

    scanner.finish(lastDone, results[lastDone]);
    QTRY_VERIFY(refreshes[lastDone].isFinished());
    QVERIFY(!vm->isLoading());
    QCOMPARE(loading.count(), 2);
    // The last to finish leaves its result, error text included.
    QCOMPARE(vm->entries(), results[lastDone].entries);
    QCOMPARE(vm->lastScanError(), results[lastDone].errorText);
}

void TestViewModel::cancelledScanEndsLoading() {
    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    refreshWith(*vm, scanner, {entry(1, QStringLiteral("a"), 80)});
    scanner.immediate.reset();

    QFuture<void> done = vm->refresh();
    QVERIFY(vm->isLoading());
    scanner.pending.clear(); // the promise dies unfinished: the scan is cancelled
    QTRY_VERIFY(done.isFinished());
    QVERIFY(!vm->isLoading());
    QCOMPARE(vm->entries().size(), 1);
}

void TestViewModel::scanErrorSetAndCleared() {
    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    QSignalSpy errorSpy(vm.get(), &PortListViewModel::lastScanErrorChanged);
    refreshWith(*vm, scanner, {entry(1, QStringLiteral("a"), 80)});
    QCOMPARE(errorSpy.count(), 0);

    const QString text = QStringLiteral("Could not find lsof at /usr/bin/lsof.");
    scanner.immediate = ScanResult{{}, text};
    QFuture<void> done = vm->refresh();
    QVERIFY(waitUntil([&] { return done.isFinished(); }));
    QVERIFY(vm->entries().isEmpty());
    QCOMPARE(vm->lastScanError(), std::optional<QString>(text));
    QCOMPARE(vm->property("lastScanError").toString(), text);
    QCOMPARE(errorSpy.count(), 1);
    // The same error again is no change.
    done = vm->refresh();
    QVERIFY(waitUntil([&] { return done.isFinished(); }));
    QCOMPARE(errorSpy.count(), 1);

    refreshWith(*vm, scanner, {entry(1, QStringLiteral("a"), 80)});
    QCOMPARE(vm->lastScanError(), std::nullopt);
    QVERIFY(vm->property("lastScanError").isNull());
    QCOMPARE(errorSpy.count(), 2);
}

void TestViewModel::pruningOfTermSent() {
    QTemporaryDir dir;
    FakeScanner scanner;
    SystemCalls system{[] { return QStringLiteral("me"); }, [](qint32, int) { return 0; }};
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")), system);
    const PortEntryList three = {entry(10, QStringLiteral("a"), 80),
                                 entry(20, QStringLiteral("b"), 81),
                                 entry(20, QStringLiteral("b"), 82, QStringLiteral("UDP")),
                                 entry(30, QStringLiteral("c"), 83)};
    refreshWith(*vm, scanner, three);
    vm->stopProcess(three[0]);
    vm->stopProcess(three[1]);
    QCOMPARE(vm->pidsTermSent(), (QSet<qint32>{10, 20}));
    QTRY_COMPARE(scanner.calls(), 3); // the two delayed refreshes, still listing both
    QTRY_VERIFY(!vm->isLoading());
    QCOMPARE(vm->pidsTermSent(), (QSet<qint32>{10, 20}));

    QSignalSpy termSpy(vm.get(), &PortListViewModel::pidsTermSentChanged);
    // Pid 10 is gone; 20 still holds one of its two sockets.
    refreshWith(*vm, scanner, {three[2], three[3]});
    QCOMPARE(vm->pidsTermSent(), (QSet<qint32>{20}));
    QCOMPARE(termSpy.count(), 1);
    QCOMPARE(vm->property("pidsTermSent").value<QList<int>>(), (QList<int>{20}));
    refreshWith(*vm, scanner, {});
    QVERIFY(vm->pidsTermSent().isEmpty());
}

void TestViewModel::refreshAndRestartTimerWaitsForTheScan() {
    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    vm->refreshAndRestartTimer();
    QCOMPARE(scanner.calls(), 1);
    QCoreApplication::processEvents();
    QVERIFY(!vm->isTimerRunning());
    scanner.finish(0, ScanResult{});
    QTRY_VERIFY(vm->isTimerRunning());
    QCOMPARE(vm->timerIntervalMs(), 5000);
}

void TestViewModel::filteredEntries_data() {
    // The rule itself is covered with the parser; these check that the model
    // applies it to the current entries and keeps filteredModel in step.
    QTest::addColumn<QString>("query");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("blank") << " \t\u3000" << QStringList{"node",  "Node Agent", "nginx", "java",
                                                         "socks", "proc80",     "tcpd",  "café"};
    QTest::newRow("NODE with spaces around") << "  NODE " << QStringList{"node", "Node Agent"};
    QTest::newRow("80 in ports and names")
        << "80" << QStringList{"nginx", "java", "socks", "proc80"};
    QTest::newRow("tcp is not the protocol") << "tcp" << QStringList{"tcpd"};
    QTest::newRow("case beyond ASCII, decomposed")
        << QStringLiteral("CAFE\u0301") << QStringList{"café"};
}

void TestViewModel::filteredEntries() {
    QFETCH(QString, query);
    QFETCH(QStringList, names);

    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    QAbstractItemModelTester tester(vm->filteredModel(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    refreshWith(*vm, scanner,
                {entry(1, QStringLiteral("node"), 3000), entry(2, QStringLiteral("Node Agent"), 22),
                 entry(3, QStringLiteral("nginx"), 80), entry(4, QStringLiteral("java"), 8080),
                 entry(5, QStringLiteral("socks"), 1080), entry(6, QStringLiteral("proc80"), 9),
                 entry(7, QStringLiteral("tcpd"), 113), entry(8, QStringLiteral("caf\u00e9"), 5)});
    QSignalSpy filteredSpy(vm.get(), &PortListViewModel::filteredEntriesChanged);

    vm->setSearchText(query);
    QCOMPARE(filteredSpy.count(), query.isEmpty() ? 0 : 1);
    QStringList got;
    for (const PortEntry &e : vm->filteredEntries())
        got.append(e.processName);
    QCOMPARE(got, names);
    QCOMPARE(vm->filteredModel()->entries(), vm->filteredEntries());
    QCOMPARE(vm->filteredModel()->property("count").toInt(), int(names.size()));

    vm->setSearchText(QString());
    QCOMPARE(vm->filteredModel()->entries(), vm->entries());
}

void TestViewModel::listModelKeepsRowIdentity_data() {
    QTest::addColumn<PortEntryList>("before");
    QTest::addColumn<PortEntryList>("after");

    const PortEntry a = entry(1, QStringLiteral("a"), 22), b = entry(2, QStringLiteral("b"), 53),
                    c = entry(3, QStringLiteral("c"), 80), d = entry(4, QStringLiteral("d"), 443),
                    e = entry(5, QStringLiteral("e"), 631), f = entry(6, QStringLiteral("f"), 8080);
    PortEntry cChanged = c;
    cChanged.address = QStringLiteral("127.0.0.1");
    PortEntry dRestarted = d;
    dRestarted.pid = 44; // a new process on the same port is a new row
    PortEntry fUdp = entry(6, QStringLiteral("f"), 8080, QStringLiteral("UDP"));

    QTest::newRow("from empty") << PortEntryList{} << PortEntryList{a, b, c};
    QTest::newRow("to empty") << PortEntryList{a, b, c} << PortEntryList{};
    QTest::newRow("insert at front, middle, end")
        << PortEntryList{b, d} << PortEntryList{a, b, c, d, e};
    QTest::newRow("remove runs") << PortEntryList{a, b, c, d, e, f} << PortEntryList{c, f};
    QTest::newRow("change in place") << PortEntryList{a, c, e} << PortEntryList{a, cChanged, e};
    QTest::newRow("pid change is remove and insert")
        << PortEntryList{c, d, e} << PortEntryList{c, dRestarted, e};
    QTest::newRow("swap") << PortEntryList{a, b} << PortEntryList{b, a};
    QTest::newRow("reverse") << PortEntryList{a, b, c, d, e} << PortEntryList{e, d, c, b, a};
    QTest::newRow("same port, other protocol") << PortEntryList{f} << PortEntryList{f, fUdp};
    QTest::newRow("everything at once")
        << PortEntryList{a, b, c, d, e} << PortEntryList{f, cChanged, a, dRestarted, fUdp};
}

// Refreshes with scanned and checks that the rows kept their identity:
// persistent indexes still name the same ids, changed rows reported
// dataChanged, and nothing was reset or re-laid out.
static void checkTransition(PortListViewModel &vm, FakeScanner &scanner,
                            const PortEntryList &scanned) {
    PortListModel *model = vm.filteredModel();
    const PortEntryList before = model->entries();
    const PortEntryList after = filterEntries(scanned, vm.searchText());
    QList<QPersistentModelIndex> persistent;
    for (int row = 0; row < model->rowCount(); ++row)
        persistent.append(QPersistentModelIndex(model->index(row)));
    QSignalSpy resets(model, &QAbstractItemModel::modelReset);
    QSignalSpy layouts(model, &QAbstractItemModel::layoutChanged);
    QSignalSpy counts(model, &PortListModel::countChanged);
    QSet<QString> reportedChanged;
    QMetaObject::Connection conn = QObject::connect(
        model, &QAbstractItemModel::dataChanged, model,
        [&](const QModelIndex &from, const QModelIndex &to) {
            for (int row = from.row(); row <= to.row(); ++row)
                reportedChanged.insert(model->index(row).data(PortListModel::IdRole).toString());
        });

    scanner.immediate = ScanResult{scanned, std::nullopt};
    QFuture<void> done = vm.refresh();
    QVERIFY(waitUntil([&] { return done.isFinished(); }));
    QObject::disconnect(conn);

    QCOMPARE(model->entries(), after);
    QCOMPARE(resets.count(), 0);
    QCOMPARE(layouts.count(), 0);
    QCOMPARE(counts.count(), before.size() == after.size() ? 0 : 1);
    const QStringList afterIds = ids(after);
    for (qsizetype i = 0; i < before.size(); ++i) {
        const QString id = before[i].id();
        const qsizetype at = afterIds.indexOf(id);
        if (at < 0) {
            QVERIFY2(!persistent[i].isValid(), qPrintable(id));
            continue;
        }
        QCOMPARE(persistent[i].row(), int(at));
        QCOMPARE(persistent[i].data(PortListModel::IdRole).toString(), id);
        if (after[at] != before[i])
            QVERIFY2(reportedChanged.contains(id), qPrintable(id));
    }
}

void TestViewModel::listModelKeepsRowIdentity() {
    QFETCH(PortEntryList, before);
    QFETCH(PortEntryList, after);

    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    QAbstractItemModelTester tester(vm->filteredModel(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    refreshWith(*vm, scanner, before);
    checkTransition(*vm, scanner, after);
}

void TestViewModel::listModelRandomRefreshes() {
    // Lists drawn from a pool of ids, mostly in port order with the odd swap,
    // some rows altered, alternating with small local edits: the kind of
    // change a real scan brings, many times over.
    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    QAbstractItemModelTester tester(vm->filteredModel(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    QRandomGenerator random(20240611);
    PortEntryList pool;
    for (int i = 0; i < 40; ++i)
        pool.append(entry(100 + i % 13, QStringLiteral("p%1").arg(i % 13), 1000 + i,
                          i % 3 ? QStringLiteral("TCP") : QStringLiteral("UDP")));
    PortEntryList next;
    int newcomers = 0;
    for (int step = 0; step < 300; ++step) {
        if (step % 2) {
            // A local edit of the last list: unchanged rows at both ends.
            for (int edits = 1 + random.bounded(3); edits > 0 && !next.isEmpty(); --edits) {
                const qsizetype at = random.bounded(next.size());
                switch (random.bounded(3)) {
                case 0:
                    next[at].address = QStringLiteral("10.0.0.%1").arg(random.bounded(9));
                    break;
                case 1:
                    next.remove(at);
                    break;
                default:
                    next.insert(at, entry(500 + newcomers++, QStringLiteral("new"), at));
                    break;
                }
            }
        } else {
            next.clear();
            for (const PortEntry &e : std::as_const(pool)) {
                if (random.bounded(4) == 0)
                    continue;
                PortEntry copy = e;
                if (random.bounded(6) == 0)
                    copy.state = QStringLiteral("S%1").arg(random.bounded(3));
                next.append(copy);
            }
            for (int swaps = random.bounded(3); swaps > 0 && next.size() > 1; --swaps)
                next.swapItemsAt(random.bounded(next.size()), random.bounded(next.size()));
        }
        checkTransition(*vm, scanner, next);
        if (QTest::currentTestFailed())
            QFAIL(qPrintable(QStringLiteral("at step %1").arg(step)));
        if (step % 50 == 0) // a filter now and then, through the same model
            vm->setSearchText(step % 100 ? QStringLiteral("p1") : QString());
    }
}

void TestViewModel::identicalRefreshIsSilent_data() {
    QTest::addColumn<QString>("searchText");
    QTest::newRow("no filter") << QString();
    QTest::newRow("with a filter") << QStringLiteral("8");
}

void TestViewModel::identicalRefreshIsSilent() {
    QFETCH(QString, searchText);

    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    PortEntryList list;
    for (int i = 0; i < 50; ++i)
        list.append(entry(200 + i, QStringLiteral("proc%1").arg(i), 8000 + i));
    refreshWith(*vm, scanner, list);
    vm->setSearchText(searchText);
    const QPersistentModelIndex firstRow(vm->filteredModel()->index(0));

    // Equal element by element, but a separate list, as a new scan gives.
    PortEntryList copy;
    for (const PortEntry &e : std::as_const(list))
        copy.append(PortEntry(e.pid, QString(e.processName.data(), e.processName.size()), e.user,
                              e.networkProtocol, e.ipVersion, e.address, e.port, e.state));
    AllSignalsSpy modelSignals(vm->filteredModel());
    QSignalSpy entriesSpy(vm.get(), &PortListViewModel::entriesChanged);
    QSignalSpy filteredSpy(vm.get(), &PortListViewModel::filteredEntriesChanged);
    refreshWith(*vm, scanner, copy);
    QCOMPARE(modelSignals.fired(), QStringList());
    QCOMPARE(entriesSpy.count(), 0);
    QCOMPARE(filteredSpy.count(), 0);
    QVERIFY(firstRow.isValid());
    QCOMPARE(firstRow.row(), 0);
}

void TestViewModel::repeatedIdsFallBackToReset() {
    // A merged scan never repeats an id, but a list that does must not take the
    // model past its end.
    QTemporaryDir dir;
    FakeScanner scanner;
    auto vm = makeViewModel(scanner, dir.filePath(QStringLiteral("Quayline.conf")));
    QAbstractItemModelTester tester(vm->filteredModel(),
                                    QAbstractItemModelTester::FailureReportingMode::QtTest);
    const PortEntry a = entry(1, QStringLiteral("a"), 22), b = entry(2, QStringLiteral("b"), 53);
    PortEntry aOther = a;
    aOther.address = QStringLiteral("::1");
    const PortEntryList steps[] = {{a, b}, {b, a, aOther}, {a, aOther, b, a}, {b, a}, {a}};
    for (const PortEntryList &step : steps) {
        refreshWith(*vm, scanner, step);
        QCOMPARE(vm->filteredModel()->entries(), step);
    }
}

QTEST_GUILESS_MAIN(TestViewModel)
#include "tst_viewmodel.moc"
