// The port list model and stopping: persisted settings and their write
// failures, the auto-refresh timer, overlapping refreshes, pruning, the
// identity-keeping list model, what a slot sees when a change is announced, a
// soak, and how a stop's outcome reaches the rows and alerts: through the
// system-call seam (never signalling anybody's process), from a keeper's
// stop, and a respawn; names that others chose, inert in every text the views are handed.
#include "FakeSystemCalls.h"
#include "KeeperValues.h"
#include "model/DisplayText.h"
#include "model/PortFilter.h"
#include "scanner/KeeperAnnotation.h"
#include "stop/StopRules.h"
#include "stop/StopText.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QAbstractItemModelTester>
#include <QMutex>
#include <QPromise>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <deque>

extern "C" __attribute__((weak)) size_t __sanitizer_get_current_allocated_bytes();

namespace {

const auto now = [] { return QDeadlineTimer::current().deadline(); }; // monotonic, in ms

PortEntry entry(qint32 pid, const QString &name, qint64 port, const QString &user = "me",
                const QString &protocol = "TCP") {
    return PortEntry(pid, name, user, protocol, "IPv4", "*", port,
                     protocol == u"TCP" ? "LISTEN" : "");
}

// a..p are distinct rows (a, b and c share a port; b and g share a pid); the
// upper case is the same row with its address changed.
PortEntryList rows(const QString &letters) {
    PortEntryList list;
    for (const QChar c : letters) {
        const int i = c.toLower().unicode() - 'a';
        list.append(entry(101 + i % 5, QString(c.toLower()) + (i % 3 ? "-web" : "-db"),
                          1000 + i / 3, "me", i % 2 ? "UDP" : "TCP"));
        if (c.isUpper())
            list.last().address = "127.0.0.1";
    }
    return list;
}

// Keeper stops answered by the test, on the model's keeper thread: onStop
// may block there until the test lets it go.
struct TestKeepers final : KeeperService {
    std::function<KeeperStopResult(const Keeper &)> onStop;
    mutable QMutex mutex;
    QList<Keeper> asked;
    // What the engine says of every container: it publishes port 8080.
    std::optional<ContainerTies> ties = ContainerTies{{{"TCP", 8080}, {"UDP", 8080}}, 0};

    void annotate(PortEntryList &) override {}
    std::optional<ContainerTies> containerTies(const Keeper &) override { return ties; }
    KeeperStopResult stop(const Keeper &keeper) override {
        {
            QMutexLocker lock(&mutex);
            asked.append(keeper);
        }
        return onStop ? onStop(keeper) : KeeperStopResult{KeeperStopResult::Kind::Stopped, {}};
    }
    // Keepers whose stops end once outcome has its result.
    static std::shared_ptr<TestKeepers> waitingFor(QPromise<KeeperStopResult> &outcome) {
        outcome.start();
        auto keepers = std::make_shared<TestKeepers>();
        keepers->onStop = [future = outcome.future()](const Keeper &) mutable {
            future.waitForFinished();
            return future.result();
        };
        return keepers;
    }
    QList<Keeper> askedSoFar() const {
        QMutexLocker lock(&mutex);
        return asked;
    }
};

// What stops keepers for a model, and how long it watches for a respawn.
struct Keeping {
    std::shared_ptr<KeeperService> keepers = {};
    std::chrono::milliseconds window = PortListViewModel::defaultRespawnWindow;
};

// A model in a scratch directory whose scans finish at once with `immediate`,
// or when the test finishes them, or come from the test's own scan function.
// Its system calls are the test's, by default a fake that signals nobody.
struct Fixture {
    QTemporaryDir dir;
    QString settingsPath;
    QList<qint64> scans; // when each scan started
    QList<bool> full;    // for each, whether it was to read everything anew
    std::optional<ScanResult> immediate;
    std::deque<QPromise<ScanResult>> pending;
    QThreadPool keeperThreads; // after vm: the model goes first, then its stops end
    std::unique_ptr<PortListViewModel> vm;

    // Where the settings file is to be: a plain file, a folder in its place, or
    // below a regular file (its folder's path), where nothing can be written.
    enum class Place { File, Folder, BelowAFile };

    // settings: [General] lines to start with.
    explicit Fixture(
        const QByteArray &settings = {},
        std::shared_ptr<const SystemCalls> system = std::make_shared<FakeSystemCalls>(),
        PortListViewModel::ScanFunction scan = {}, Place place = Place::File, Keeping keeping = {})
        : settingsPath(dir.filePath(place == Place::BelowAFile ? "blocker/q.conf" : "q.conf")) {
        if (place == Place::Folder)
            QDir(dir.path()).mkdir("q.conf");
        if (place == Place::BelowAFile)
            QFile(dir.filePath("blocker")).open(QIODevice::WriteOnly);
        if (QFile file(settingsPath); !settings.isEmpty() && file.open(QIODevice::WriteOnly))
            file.write("[General]\n" + settings);
        PortListViewModel::Dependencies deps;
        const auto start = [this, scan](bool inFull) {
            scans.append(now());
            full.append(inFull);
            if (scan || immediate)
                return scan ? scan() : QtFuture::makeReadyFuture(*immediate);
            pending.emplace_back().start();
            return pending.back().future();
        };
        deps.scan = [start] { return start(false); };
        deps.fullScan = [start] { return start(true); };
        deps.settings = std::make_unique<QSettings>(settingsPath, QSettings::IniFormat);
        deps.system = std::move(system);
        deps.keepers = std::move(keeping.keepers);
        deps.keeperThreads = &keeperThreads;
        deps.respawnWindow = keeping.window;
        vm = std::make_unique<PortListViewModel>(std::move(deps));
        // Rows come and go at once, unmarked, but where a test asks for the marks.
        vm->setNewRowDuration(0);
        vm->setClosedRowDuration(0);
    }
    QByteArray settingsFile() const {
        QFile file(settingsPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : "<none>";
    }
    void refreshWith(const PortEntryList &list) {
        immediate = ScanResult{list, std::nullopt};
        QFuture<void> done = vm->refresh();
        QTRY_VERIFY(done.isFinished());
    }
    void finishPending() {
        for (QPromise<ScanResult> &scan : pending) {
            scan.addResult(ScanResult{});
            scan.finish();
        }
        pending.clear();
    }
};

// Waits for the auto-refresh timer's next tick; the model has acted on it by
// the time this returns.
bool nextTick(const Fixture &f) {
    QSignalSpy ticks(f.vm->findChild<QTimer *>("autoRefreshTimer"), &QTimer::timeout);
    return ticks.wait(5000);
}

// Refreshes with scanned and checks that the rows kept their identity: each
// persistent index follows its row (or dies with it), each changed row was
// reported, nothing was reset or relaid out, and an unchanged list emitted
// nothing at all.
void checkRefresh(Fixture &f, const PortEntryList &scanned) {
    PortListModel *model = f.vm->filteredModel();
    const PortEntryList before = model->entries(),
                        after = filterEntries(scanned, f.vm->searchText());
    QList<QPersistentModelIndex> indexes;
    for (int row = 0; row < model->rowCount(); ++row)
        indexes.append(model->index(row));
    const bool sameEntries = f.vm->entries() == scanned;
    QSignalSpy entriesSpy(f.vm.get(), &PortListViewModel::entriesChanged);
    std::deque<QSignalSpy> spies; // every signal of the model
    for (int i = 0; i < model->metaObject()->methodCount(); ++i)
        if (model->metaObject()->method(i).methodType() == QMetaMethod::Signal)
            spies.emplace_back(model, model->metaObject()->method(i));
    QSet<QString> changed;
    const auto connection = QObject::connect(
        model, &QAbstractItemModel::dataChanged, [&](const QModelIndex &a, const QModelIndex &b) {
            for (int row = a.row(); row <= b.row(); ++row)
                changed.insert(model->index(row).data(PortListModel::IdRole).toString());
        });
    f.refreshWith(scanned);
    QObject::disconnect(connection);
    QCOMPARE(model->entries(), after);
    QCOMPARE(entriesSpy.count(), sameEntries ? 0 : 1);
    for (const QSignalSpy &spy : spies) {
        const bool allowed =
            before != after && !spy.signal().contains("eset") && !spy.signal().contains("ayout");
        QVERIFY2(spy.isEmpty() || allowed, spy.signal().constData());
    }
    for (qsizetype i = 0; i < before.size(); ++i) {
        const auto it = std::find_if(after.begin(), after.end(),
                                     [&](const PortEntry &e) { return e.id() == before[i].id(); });
        QCOMPARE(indexes[i].row(), it == after.end() ? -1 : int(it - after.begin()));
        if (it != after.end() && *it != before[i])
            QVERIFY2(changed.contains(it->id()), qPrintable(it->id()));
    }
}

const QString login = QStringLiteral("jos\u00e9");
const QString denied = "The system denied permission to stop this process.";
const QString notYours = QStringLiteral("This process is owned by \u201cJos\u00e9\u201d, not you. "
                                        "Quayline only stops processes you own.");
const auto fail = [](int e) { return QString("Failed to signal the process (error %1).").arg(e); };

// One press of a row's stop button, with the row's process still listed.
struct Press {
    bool termSentBefore = false; // an earlier press sent SIGTERM
    qint32 pid = 42;
    QString owner = login;
    int killReturns = 0;        // what kill(2) gives back
    int sent = 0;               // the signal kill(2) must be called with; 0: no call
    bool termSentAfter = false; // the row offers "Force" afterwards
    QString alert;              // empty: none, and a refresh 0.4 s later
    QString processName = "server";
};
using Kills = QList<QPair<qint32, int>>;

const Keeper nginx = service("nginx.service", "always");

// The value of a role of the list model's row for the port, or null.
QVariant roleOfPort(const Fixture &f, qint64 port, PortListModel::Role role) {
    const PortListModel *model = f.vm->filteredModel();
    for (int row = 0; row < model->rowCount(); ++row)
        if (model->index(row).data(PortListModel::PortRole).toLongLong() == port)
            return model->index(row).data(role);
    return {};
}

// One stop of a row's keeper (the service nginx.service of pid 42 on 8080).
struct KeeperStop {
    Keeper keeper = nginx;
    KeeperStopResult result = {};
    bool noStopper = false;   // no way to stop keepers given
    bool unpublished = false; // the engine ties the container to no port
    bool refreshed = false;
    QString alert = {};
    QString note = {};
};

// A socket of another user (uid 4242) from the kernel's table, in a container
// or a unit.
PortEntry theirs(qint32 pid, const QString &name, const QString &place, const Keeper &keeper) {
    PortEntry e = entry(pid, name, 8080, "alice");
    e.fromKernel = true;
    e.uid = 4242;
    (keeper.kind == Keeper::Kind::Container ? e.containerName : e.process.unit) = place;
    e.keeper = keeper;
    return e;
}

// The rows of the list model as rows() letters, with their marks:
// "rows=abc new=b closed= timed=b selected=c".
QString marksOf(const Fixture &f) {
    const PortListModel *model = f.vm->filteredModel();
    QString letters[5];
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row);
        const QChar letter = index.data(PortListModel::ProcessNameRole).toString().at(0);
        letters[0] += letter;
        if (index.data(PortListModel::IsNewRole).toBool())
            letters[1] += letter;
        if (index.data(PortListModel::IsClosedRole).toBool())
            letters[2] += letter;
        if (index.data(PortListModel::FirstSeenRole).isValid())
            letters[3] += letter;
        if (index.data(PortListModel::SelectedRole).toBool())
            letters[4] += letter;
    }
    return QString("rows=%1 new=%2 closed=%3 timed=%4 selected=%5")
        .arg(letters[0], letters[1], letters[2], letters[3], letters[4]);
}

// Which setting a test writes.
enum class Setting { AutoRefresh, Interval };
// Something done to the model.
using Act = std::function<void(PortListViewModel &)>;

} // namespace

Q_DECLARE_METATYPE(Press)
Q_DECLARE_METATYPE(KeeperStop)
Q_DECLARE_METATYPE(Fixture::Place)
Q_DECLARE_METATYPE(Setting)
Q_DECLARE_METATYPE(Act)

class TestViewModel : public QObject {
    Q_OBJECT

private slots:
    // Read once at creation, and nothing written then, not even the defaults.
    void settingsAtCreation_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<Fixture::Place>("place");
        QTest::addColumn<bool>("autoRefresh");
        QTest::addColumn<double>("interval");
        const auto file = Fixture::Place::File;
        QTest::newRow("none stored") << QByteArray() << file << true << 5.0;
        QTest::newRow("as written, unoffered 7")
            << QByteArray("autoRefreshEnabled=FALSE\nrefreshInterval=7") << file << false << 7.0;
        // A plain toBool() would take the empty text for false.
        QTest::newRow("wrong type")
            << QByteArray("autoRefreshEnabled=\nrefreshInterval=7s") << file << true << 5.0;
        QTest::newRow("garbage") << QByteArray("\xff=\0\n[x\nrefreshInterval==", 24) << file << true
                                 << 5.0;
        QTest::newRow("unreadable (a folder)")
            << QByteArray() << Fixture::Place::Folder << true << 5.0;
    }
    void settingsAtCreation() {
        QFETCH(QByteArray, file);
        QFETCH(Fixture::Place, place);
        QFETCH(bool, autoRefresh);
        QFETCH(double, interval);
        Fixture f(file, {}, {}, place);
        QCOMPARE(f.vm->autoRefreshEnabled(), autoRefresh);
        QCOMPARE(f.vm->refreshInterval(), interval);
        QVERIFY(!f.vm->isTimerRunning());
        QCOMPARE(f.vm->settingsError(), QString());
        f.vm.reset();
        QCOMPARE(f.settingsFile(), file.isEmpty() ? "<none>" : "[General]\n" + file);
    }

    // The property keeps what was assigned; the timer never gets a period that
    // would make it spin.
    void timerPeriodIsGuarded_data() {
        QTest::addColumn<double>("interval");
        QTest::addColumn<int>("periodMs");
        QTest::newRow("0") << 0.0 << 5000;
        QTest::newRow("-1") << -1.0 << 5000;
        QTest::newRow("NaN") << qQNaN() << 5000;
        QTest::newRow("1e300") << 1e300 << INT_MAX;
    }
    void timerPeriodIsGuarded() {
        QFETCH(double, interval);
        QFETCH(int, periodMs);
        Fixture f;
        f.vm->setRefreshInterval(interval);
        QCOMPARE(f.vm->refreshInterval(), interval);
        QCOMPARE(f.vm->timerIntervalMs(), periodMs);
    }

    // Whatever (re)starts the timer, an equal assignment included (which is
    // written too), the first tick comes one interval later and none before;
    // turning auto-refresh off stops it.
    void firstTickOneIntervalLater_data() {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<Act>("start");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("restartTimer()")
            << QByteArray() << Act(&PortListViewModel::restartTimer) << QByteArray();
        QTest::newRow("equal interval")
            << QByteArray() << Act([](PortListViewModel &vm) { vm.setRefreshInterval(1); })
            << QByteArray("refreshInterval=1\n");
        QTest::newRow("auto-refresh turned on")
            << QByteArray("autoRefreshEnabled=false")
            << Act([](PortListViewModel &vm) { vm.setAutoRefreshEnabled(true); })
            << QByteArray("autoRefreshEnabled=true");
    }
    void firstTickOneIntervalLater() {
        QFETCH(QByteArray, settings);
        QFETCH(Act, start);
        QFETCH(QByteArray, written);
        Fixture f("refreshInterval=1.0\n" + settings);
        f.immediate = ScanResult{};
        const qint64 startedAt = now();
        start(*f.vm);
        QVERIFY2(f.settingsFile().contains(written), f.settingsFile().constData());
        QTRY_COMPARE_WITH_TIMEOUT(f.scans.size(), 2, 10000); // it repeats
        // Coarse timers may fire up to 5 % early, never sooner.
        QVERIFY(f.scans[0] - startedAt >= 950);
        f.vm->setAutoRefreshEnabled(false);
        QVERIFY(!f.vm->isTimerRunning());
    }

    // The loading flag falls at the first finish; the scan started last
    // leaves its result, error text set or cleared, whichever ends first: an
    // earlier one read the machine before it.
    void overlappingRefreshes_data() {
        QTest::addColumn<int>("firstDone");
        QTest::newRow("in the order started") << 0;
        QTest::newRow("second one first") << 1;
    }
    void overlappingRefreshes() {
        QFETCH(int, firstDone);
        Fixture f;
        const ScanResult results[2] = {{rows("a"), "lsof failed"}, {rows("bc"), std::nullopt}};
        const QFuture<void> stored[2] = {f.vm->refresh(), f.vm->refresh()};
        for (const int done : {firstDone, 1 - firstDone}) {
            f.pending[done].addResult(results[done]);
            f.pending[done].finish();
            QTRY_VERIFY(stored[done].isFinished());
            const ScanResult &shown = results[std::max(done, firstDone)];
            QCOMPARE(f.vm->entries(), shown.entries);
            QVERIFY(!f.vm->isLoading());
            QCOMPARE(f.vm->lastScanError(), shown.errorText);
        }
    }

    // Steps that insert, remove, move and change rows, each twice, under the
    // model tester, the later ones through a filter (the rule itself is tested
    // with the parser).
    void listModelKeepsRowIdentity() {
        Fixture f;
        QAbstractItemModelTester tester(f.vm->filteredModel()); // failures fail the test
        const QStringList steps =
            QString("abc  bd abcde edcba abcdef cf aCf cAf cbdAe Ceadb hgfedcbaij "
                    "abcdefghijklmnop AbCdEfGhIjKlMnOp ponmlkjihgfedcba bdfhjlnp "
                    "kAbm kAbmn cbajmdp acegikmo ")
                .split(' ');
        for (qsizetype step = 0; step < steps.size() * 2; ++step) {
            f.vm->setSearchText(step < steps.size() ? "" : " DB ");
            for (int again = 0; again < 2; ++again)
                checkRefresh(f, rows(steps[step % steps.size()]));
            if (QTest::currentTestFailed())
                QFAIL(qPrintable(QString("step %1").arg(step)));
        }
    }

    // Each step is a scan (rows() letters; "!" one that failed) or the list
    // going off or on screen. Marks that last an hour are checked as they
    // stand; brief ones once they have passed.
    void rowMarks_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("ms"); // how long each mark lasts
        QTest::addColumn<QString>("marks");
        const int hour = 3'600'000, brief = 20;
        QTest::newRow("first scan: present at start, no time")
            << "abc" << hour << "rows=abc new= closed= timed= selected=c";
        QTest::newRow("appears while open: new, with its time")
            << "ac abc" << hour << "rows=abc new=b closed= timed=b selected=c";
        QTest::newRow("appears while hidden: not new yet")
            << "ac hidden abc" << hour << "rows=abc new= closed= timed=b selected=c";
        QTest::newRow("appears while hidden: new once shown")
            << "ac hidden abc shown" << hour << "rows=abc new=b closed= timed=b selected=c";
        QTest::newRow("goes: kept in its place, closed")
            << "abc ac" << hour << "rows=abc new= closed=b timed= selected=c";
        QTest::newRow("two go, one opens: the closed ones stay where they were")
            << "abde ace" << hour << "rows=abdce new=c closed=bd timed=c selected=";
        QTest::newRow("reopens while closed: new once, one row")
            << "abc ac abc" << hour << "rows=abc new=b closed= timed=b selected=c";
        QTest::newRow("a new row that goes: closed, not new")
            << "ac abc ac" << hour << "rows=abc new= closed=b timed=b selected=c";
        QTest::newRow("a failed scan closes nothing and opens nothing")
            << "abc ! abc" << hour << "rows=abc new= closed= timed= selected=";
        QTest::newRow("the new mark passes")
            << "ac abc" << brief << "rows=abc new= closed= timed=b selected=c";
        QTest::newRow("a closed row above the selection goes; the selection stays")
            << "abc bc" << brief << "rows=bc new= closed= timed= selected=c";
    }
    void rowMarks() {
        QFETCH(QString, steps);
        QFETCH(int, ms);
        QFETCH(QString, marks);
        Fixture f;
        QAbstractItemModelTester tester(f.vm->filteredModel());
        f.vm->setNewRowDuration(ms);
        f.vm->setClosedRowDuration(ms);
        const QDateTime start = QDateTime::currentDateTime();
        for (const QString &step : steps.split(' ')) {
            if (step == u"hidden" || step == u"shown") {
                f.vm->setOnScreen(step == u"shown");
            } else if (step == u"!") {
                f.immediate = ScanResult{{}, "lsof failed"};
                const QFuture<void> done = f.vm->refresh();
                QTRY_VERIFY(done.isFinished());
            } else {
                f.refreshWith(rows(step));
                if (f.scans.size() == 1) // the selection is c's, where there is one
                    f.vm->filteredModel()->setSelectedRow(int(step.indexOf('c')));
            }
        }
        QTRY_COMPARE(marksOf(f), marks);
        const PortListModel *model = f.vm->filteredModel();
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row);
            const QDateTime seen = index.data(PortListModel::FirstSeenRole).toDateTime();
            QVERIFY(!seen.isValid() || (seen >= start && seen <= QDateTime::currentDateTime()));
            QCOMPARE(f.vm->firstSeenText(index.data(PortListModel::FirstSeenRole)),
                     seen.isValid()
                         ? "First seen " + QLocale().toString(seen.time(), QLocale::ShortFormat)
                         : "Seen since Quayline started");
            // A closed row's pid may be another process's by now: its stop does nothing.
            if (index.data(PortListModel::IsClosedRole).toBool()) {
                f.vm->stopProcess(f.vm->filteredModel()->entryAt(row));
                QVERIFY(!f.vm->killError());
            }
        }
    }

    // Everything is stored before anything is announced: a slot on any of the
    // signals already finds the new rows in the row model, whether the filter
    // text or a refresh changed them.
    void rowsStoredBeforeAnnounced_data() {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("scanned");
        QTest::addColumn<QStringList>("announced");
        const QStringList filterSignals{"searchTextChanged", "filteredRowsChanged"};
        QTest::newRow("typing narrows") << "db"
                                        << "abcdef" << filterSignals;
        QTest::newRow("clearing widens") << ""
                                         << "abcdef" << filterSignals;
        QTest::newRow("a refresh")
            << "web"
            << "bcgh" << QStringList{"entriesChanged", "filteredRowsChanged"};
    }
    void rowsStoredBeforeAnnounced() {
        QFETCH(QString, search);
        QFETCH(QString, scanned);
        QFETCH(QStringList, announced);
        Fixture f;
        f.vm->setSearchText("web");
        f.refreshWith(rows("abcdef"));
        const PortEntryList expected = filterEntries(rows(scanned), search);
        QStringList seen;
        const auto look = [&](const QString &signal) {
            seen.append(signal);
            QCOMPARE(f.vm->filteredModel()->entries(), expected);
        };
        connect(f.vm.get(), &PortListViewModel::searchTextChanged, this,
                [&] { look("searchTextChanged"); });
        connect(f.vm.get(), &PortListViewModel::entriesChanged, this,
                [&] { look("entriesChanged"); });
        connect(f.vm.get(), &PortListViewModel::filteredRowsChanged, this,
                [&] { look("filteredRowsChanged"); });
        if (search != f.vm->searchText())
            f.vm->setSearchText(search);
        else
            f.refreshWith(rows(scanned));
        disconnect(f.vm.get(), nullptr, this, nullptr);
        QCOMPARE(seen, announced);
    }

    // A setting that cannot be written still applies to this run, and
    // settingsError says where and why, set before the setting's own change is
    // announced; the next write that works clears it and saves the earlier
    // value too.
    void settingsFailLoudly_data() {
        QTest::addColumn<Fixture::Place>("place");
        QTest::addColumn<Setting>("setting");
        QTest::addColumn<QString>("reason");
        QTest::newRow("writable") << Fixture::Place::File << Setting::AutoRefresh << QString();
        QTest::newRow("folder path is a file")
            << Fixture::Place::BelowAFile << Setting::AutoRefresh << "Not a directory";
        QTest::newRow("a folder in the file's place")
            << Fixture::Place::Folder << Setting::Interval << "Is a directory";
    }
    void settingsFailLoudly() {
        QFETCH(Fixture::Place, place);
        QFETCH(Setting, setting);
        QFETCH(QString, reason);
        Fixture f({}, {}, {}, place);
        const QString error = reason.isEmpty()
                                  ? QString()
                                  : QString("Could not save settings to %1: %2. The change applies "
                                            "until Quayline quits.")
                                        .arg(QFileInfo(f.settingsPath).absoluteFilePath(), reason);
        QSignalSpy errors(f.vm.get(), &PortListViewModel::settingsErrorChanged);
        QString errorWhenAnnounced = "<not announced>";
        const auto announced = [&] { errorWhenAnnounced = f.vm->settingsError(); };
        connect(f.vm.get(), &PortListViewModel::autoRefreshEnabledChanged, this, announced);
        connect(f.vm.get(), &PortListViewModel::refreshIntervalChanged, this, announced);
        for (int again = 0; again < 2; ++again) { // the same failure reports once
            if (setting == Setting::AutoRefresh)
                f.vm->setAutoRefreshEnabled(false);
            else
                f.vm->setRefreshInterval(30);
        }
        disconnect(f.vm.get(), nullptr, this, nullptr);
        QCOMPARE(f.vm->autoRefreshEnabled(), setting != Setting::AutoRefresh);
        QCOMPARE(f.vm->refreshInterval(), setting == Setting::Interval ? 30.0 : 5.0);
        QCOMPARE(errorWhenAnnounced, error);
        QCOMPARE(f.vm->settingsError(), error);
        QCOMPARE(errors.count(), reason.isEmpty() ? 0 : 1);
        if (reason.isEmpty())
            return;

        // Clear the way and write the other setting.
        QVERIFY(QFile::remove(f.dir.filePath("blocker")) || QDir(f.dir.path()).rmdir("q.conf"));
        QVERIFY(QDir(f.dir.path()).mkpath(QFileInfo(f.settingsPath).path()));
        if (setting == Setting::AutoRefresh)
            f.vm->setRefreshInterval(30);
        else
            f.vm->setAutoRefreshEnabled(false);
        QCOMPARE(f.vm->settingsError(), QString());
        QCOMPARE(errors.count(), 2);
        QSettings written(f.settingsPath, QSettings::IniFormat);
        QCOMPARE(written.value("autoRefreshEnabled").toString(), "false");
        QCOMPARE(written.value("refreshInterval").toDouble(), 30.0);
    }

    // 1,000 refreshes of 10,000 entries, every other one with a row replaced:
    // the live heap after a warm-up and at the end must match (LeakSanitizer
    // reports leaks when the sanitizer build exits).
    void soakDoesNotGrow() {
        if (!__sanitizer_get_current_allocated_bytes)
            QSKIP("measures the heap in the sanitizer build");
        Fixture f;
        PortEntryList base;
        for (int i = 0; i < 2'000; ++i)
            base.append(entry(1000 + i / 4, QString("proc%1").arg(i % 97), 1 + i * 6));
        size_t warmedUp = 0;
        for (int step = 0; step <= 1100; ++step) {
            PortEntryList list = base;
            if (step % 2)
                list[step * 7 % 2'000] = entry(90000 + step, "newcomer", step);
            f.refreshWith(list);
            f.scans.clear();
            if (step == 100)
                warmedUp = __sanitizer_get_current_allocated_bytes();
        }
        const qint64 growth = qint64(__sanitizer_get_current_allocated_bytes() - warmedUp);
        QVERIFY2(growth < 64 * 1024, qPrintable(QString("grew by %1 bytes").arg(growth)));
    }

    // Rows that go take their command lines with them: once a scan no longer
    // lists a process, nothing in the model holds its text.
    void rowsGoWithTheirCommandLines() {
        Fixture f;
        QByteArray held(4 << 20, 'a');
        {
            PortEntry e = entry(42, "server", 8080);
            e.process.rawCommandLine = held;
            f.refreshWith({e});
        }
        QVERIFY(!held.isDetached());
        f.refreshWith({});
        QTRY_VERIFY(held.isDetached());
    }

    // A press while no window is on screen and auto-refresh is off: the look
    // again after a stop comes all the same, as the stop was the user's.
    void stopThroughSeam_data() {
        QTest::addColumn<Press>("press");
        const QString none; // no alert, and a refresh 0.4 s later
        QTest::newRow("NFD owner")
            << Press{.owner = "jose\u0301", .sent = SIGTERM, .termSentAfter = true, .alert = none};
        QTest::newRow("already exited")
            << Press{.killReturns = ESRCH, .sent = SIGTERM, .alert = none};
        QTest::newRow("EPERM") << Press{.killReturns = EPERM, .sent = SIGTERM, .alert = denied};
        QTest::newRow("owner's case") << Press{.owner = "Jos\u00e9", .alert = notYours};
        QTest::newRow("pid 0") << Press{.pid = 0, .alert = fail(-1)};
        // The engine's own processes are never signalled, even where the
        // user owns them (root's panel): the container stops, not its port.
        QTest::newRow("docker-proxy of the container engine") << Press{
            .owner = "root",
            .alert = StopText::engineProcessUnnamed(entry(42, "docker-proxy", 8080), "docker") +
                     "\nTo stop it: " +
                     (::getuid() == 0 ? "docker ps --filter publish=8080"
                                      : "sudo quayline-cli stop --container 8080"),
            .processName = "docker-proxy"};
        QTest::newRow("rootlessport that no engine of yours confirmed") << Press{
            .alert = StopText::unconfirmedProxy(entry(42, "rootlessport", 8080), "podman") +
                     "\nTo stop it: kill 42",
            .processName = "rootlessport"};
        QTest::newRow("pid -1, owned by root")
            << Press{.pid = -1, .owner = "root", .alert = fail(-1)};
        QTest::newRow("term sent: exited")
            << Press{.termSentBefore = true, .killReturns = ESRCH, .sent = SIGKILL, .alert = none};
    }
    void stopThroughSeam() {
        QFETCH(Press, press);
        const auto &[termSentBefore, pid, owner, killReturns, sent, termSentAfter, alert,
                     processName] = press;
        Kills kills;
        int result = 0;
        // Without pidfds, so every signal reaches this kill(2); the process on
        // the pid is the one listed.
        auto system = std::make_shared<FakeSystemCalls>();
        system->login = [] { return login; };
        system->kill = [&](qint32 p, int s) { return kills.append({p, s}), result; };
        system->processStat = [](qint32) {
            return ProcessStat{.comm = "server", .state = 'S', .startTicks = 7};
        };
        // The looks for a respawn come after the test: the one look is the stop's.
        Fixture f("autoRefreshEnabled=false", system, {}, Fixture::Place::File,
                  {.window = std::chrono::minutes(1)});
        f.vm->setOnScreen(false);
        PortEntry target = entry(pid, processName, 8080, owner);
        target.process.startTicks = 7;
        f.refreshWith({target}); // listed at every refresh
        const auto stage = [&] {
            return roleOfPort(f, 8080, PortListModel::StopStageRole).toString();
        };
        if (termSentBefore) {
            f.vm->stopProcess(target);
            QTRY_VERIFY(f.scans.size() == 2 && !f.vm->isLoading());
            kills.clear();
        }
        result = killReturns;
        QSignalSpy alerts(f.vm.get(), &PortListViewModel::killErrorChanged),
            loading(f.vm.get(), &PortListViewModel::isLoadingChanged);
        const qint64 pressedAt = now();
        f.vm->stopProcess(target);
        QCOMPARE(kills, (sent ? Kills{{pid, sent}} : Kills{}));
        QCOMPARE(stage(), termSentAfter ? "Force" : "Kill");
        QCOMPARE(f.vm->killError() ? f.vm->killError()->text : QString(), alert);
        if (killReturns == ESRCH) // nothing was stopped, so nothing can be restarted
            QVERIFY(!f.vm->isWatchingForRespawn());
        QCOMPARE(loading.wait(alert.isEmpty() ? 5000 : 600), alert.isEmpty());
        if (alert.isEmpty()) { // the look again 0.4 s later keeps a pid still listed
            QVERIFY(f.scans.last() - pressedAt >= 400);
            QTRY_VERIFY(!f.vm->isLoading());
            QCOMPARE(stage(), termSentAfter ? "Force" : "Kill");
            f.refreshWith({}); // gone: forgotten
            QVERIFY(f.vm->stopStages().isEmpty());
        } else { // the same failure again is a second alert
            const QUuid first = f.vm->killError()->id;
            f.vm->stopProcess(target);
            QCOMPARE(alerts.count(), 2);
            QVERIFY(f.vm->property("killError").value<KillMessage>().id != first);
        }
    }

    // The first tick's scan hangs: later ticks start none until it ends, while
    // what the user asks for still scans at once. Only the button (and
    // Ctrl+R, which calls the same) reads everything anew; the others may be
    // answered from the kernel's table alone.
    void tickWaitsForItsOwnScan_data() {
        QTest::addColumn<Act>("meanwhile");
        QTest::addColumn<bool>("inFull");
        QTest::newRow("refresh button") << Act(&PortListViewModel::refreshNow) << true;
        QTest::newRow("panel opens") << Act(&PortListViewModel::refreshAndRestartTimer) << false;
    }
    void tickWaitsForItsOwnScan() {
        QFETCH(Act, meanwhile);
        QFETCH(bool, inFull);
        Fixture f; // scans hang until finished
        f.vm->setRefreshInterval(1);
        QVERIFY(nextTick(f));
        QCOMPARE(f.scans.size(), 1);
        meanwhile(*f.vm);
        QCOMPARE(f.full, (QList<bool>{false, inFull}));
        for (int tick = 0; tick < 2; ++tick)
            QVERIFY(nextTick(f));
        QCOMPARE(f.scans.size(), 2);

        // Once it ends, ticks scan again.
        f.immediate = ScanResult{};
        f.finishPending();
        QVERIFY(nextTick(f));
        QCOMPARE(f.full, (QList<bool>{false, inFull, false}));
    }

    // A refresh that handed back a full scan's rows asks no service manager
    // or engine again: it gets that scan's answers, also where rows went.
    // A row no full scan brought is asked about.
    void keeperAnswersFollowTheFullScan_data() {
        QTest::addColumn<QString>("refreshed"); // rows of the refresh after a full scan of "abc"
        QTest::addColumn<int>("asked");         // annotations asked for in all
        QTest::newRow("nothing moved") << "abc" << 1;
        QTest::newRow("a row went") << "ac" << 1;
        QTest::newRow("a row no full scan brought") << "ad" << 2;
    }
    void keeperAnswersFollowTheFullScan() {
        QFETCH(QString, refreshed);
        QFETCH(int, asked);
        struct Counting final : KeeperService {
            int asked = 0;
            void annotate(PortEntryList &rows) override {
                ++asked;
                for (PortEntry &row : rows)
                    row.keeper.unit = row.processName + ".service";
            }
            std::optional<ContainerTies> containerTies(const Keeper &) override { return {}; }
            KeeperStopResult stop(const Keeper &) override { return {}; }
        };
        const auto keepers = std::make_shared<Counting>();
        KeeperAnnotation annotation(keepers);
        ScanResult full{rows("abc"), std::nullopt};
        annotation.apply(full);
        ScanResult again{rows(refreshed), std::nullopt};
        again.kind = ScanResult::Kind::Unchanged;
        annotation.apply(again);
        QCOMPARE(keepers->asked, asked);
        for (const PortEntry &row : again.entries)
            QCOMPARE(row.keeper.unit, row.processName + ".service");
    }

    // A keeper's stop: busy until it ends and not asked twice meanwhile; a
    // stop makes the list be read again, and a port still held then says so
    // on its row; anything else is the manager's or engine's reason in the
    // alert, never a stop.
    void keeperStopOutcome_data() {
        QTest::addColumn<KeeperStop>("stop");
        using Kind = KeeperStopResult::Kind;
        QTest::newRow("container already stopped, the port still held")
            << KeeperStop{.keeper = container("web-1", "always"),
                          .result = {Kind::AlreadyStopped, {}},
                          .refreshed = true,
                          .note = "Port 8080 is still held after the container web-1 stopped."};
        QTest::newRow("refused: nothing changed, no scan")
            << KeeperStop{.result = {Kind::Refused, "Access denied."},
                          .alert = "Not allowed to stop the service nginx.service: Access denied."};
        QTest::newRow("engine does not answer: it may have stopped")
            << KeeperStop{.keeper = container("web-1", "always"),
                          .result = {Kind::TimedOut, {}},
                          .refreshed = true,
                          .alert = "No answer in time to the stop of the container web-1; it may "
                                   "still be stopping."};
        // Asked of the engine first, through the same stop core as the
        // command line: not stopped where it does not tie the container to the port.
        QTest::newRow("a container its engine does not tie to the port: not asked to stop")
            << KeeperStop{.keeper = container("web-1", "always"),
                          .unpublished = true,
                          .alert =
                              "Did not stop the container web-1: no container engine says "
                              "that it publishes port 8080 or runs the process that holds it."};
        QTest::newRow("no way to stop keepers")
            << KeeperStop{.noStopper = true,
                          .alert = "Could not stop the service nginx.service: there is no service "
                                   "manager to ask."};
    }
    void keeperStopOutcome() {
        QFETCH(KeeperStop, stop);
        QPromise<KeeperStopResult> outcome;
        const auto keepers = TestKeepers::waitingFor(outcome);
        if (stop.unpublished) { // a stop asked in spite of it ends at once
            keepers->ties = ContainerTies{};
            outcome.addResult(KeeperStopResult{KeeperStopResult::Kind::Stopped, {}});
            outcome.finish();
        }
        Keeping keeping;
        if (!stop.noStopper)
            keeping.keepers = keepers;
        Fixture f({}, std::make_shared<FakeSystemCalls>(), {}, Fixture::Place::File, keeping);
        QAbstractItemModelTester tester(f.vm->filteredModel());
        PortEntry row = entry(42, "nginx", 8080), udp = entry(42, "nginx", 8080, "me", "UDP"),
                  other = entry(50, "other", 9090), newcomer = entry(43, "nginx", 8080);
        row.keeper = udp.keeper = newcomer.keeper = stop.keeper;
        f.refreshWith({row, udp, other});
        const int scans = f.scans.size();
        QSignalSpy busy(f.vm.get(), &PortListViewModel::keepersStoppingChanged);
        f.immediate = ScanResult{{newcomer, other}, std::nullopt}; // the port still held
        f.vm->stopKeeper(row);
        f.vm->stopKeeper(udp); // the same keeper: no second stop while it runs
        if (!stop.noStopper && !stop.unpublished) {
            QTRY_COMPARE(keepers->askedSoFar(), QList<Keeper>{stop.keeper});
            QCOMPARE(f.vm->keepersStopping(), QStringList{keeperKey(stop.keeper)});
            QCOMPARE(busy.count(), 1);
            const PortListModel *model = f.vm->filteredModel();
            QList<bool> rowsBusy;
            for (int i = 0; i < model->rowCount(); ++i)
                rowsBusy.append(model->index(i).data(PortListModel::KeeperBusyRole).toBool());
            QCOMPARE(rowsBusy, (QList<bool>{true, true, false}));
            outcome.addResult(stop.result);
            outcome.finish();
        }
        QTRY_VERIFY(f.vm->keepersStopping().isEmpty());
        QTRY_VERIFY(!f.vm->isLoading());
        if (stop.unpublished)
            QCOMPARE(keepers->askedSoFar(), QList<Keeper>());
        QCOMPARE(f.scans.size(), scans + (stop.refreshed ? 1 : 0));
        QCOMPARE(f.vm->killError() ? f.vm->killError()->text : QString(), stop.alert);
        QCOMPARE(roleOfPort(f, 8080, PortListModel::KeeperBusyRole).toBool(), false);
        QCOMPARE(roleOfPort(f, 8080, PortListModel::NoteRole).toString(), stop.note);
        if (stop.note.isEmpty())
            return;
        // Once the port is free the note goes, and does not come back with it.
        f.refreshWith({other});
        f.refreshWith({newcomer, other});
        QCOMPARE(roleOfPort(f, 8080, PortListModel::NoteRole).toString(), QString());
    }

    // Names that others chose (a process, its owner, a unit, a container as
    // its engine names it): every text the model hands the views carries them
    // escaped, so that none fakes a line, reorders the text around it or
    // drives a terminal; only a text's own line breaks stay. Markup and
    // length are the views' to render plainly and cut.
    void namesFromOutsideAreInert_data() {
        QTest::addColumn<PortEntry>("row");
        QTest::addColumn<QString>("raw");       // the hostile name, never to be shown as it is
        QTest::addColumn<QStringList>("shown"); // name, pid line, the keeper's question
        const QString rlo = "safe\u202egpj.exe";
        QTest::newRow("right-to-left override in a container name, no process known")
            << theirs(0, "", rlo, container(rlo)) << rlo
            << QStringList{"alice, safe\\u202egpj.exe", "no process known",
                           "Stop the container safe\\u202egpj.exe?"};
        PortEntry esc = entry(42, "a\x1b[2Jb", 8080);
        esc.keeper = service("x\x1b]0;y\a.service", "always");
        QTest::newRow("escapes in a process name and its unit")
            << esc << "\x1b"
            << QStringList{"a\\x1b[2Jb", "PID 42", "Stop the service x\\x1b]0;y\\x07.service?"};
        PortEntry owner = entry(42, "server", 8080, "m\x1b[8me");
        owner.keeper = service("demo.service", "always");
        QTest::newRow("escape in the owner's name")
            << owner << "\x1b" << QStringList{"server", "PID 42", "Stop the service demo.service?"};
        PortEntry markup = entry(42, "<b>x</b>", 8080);
        markup.keeper = container("<img src=x>");
        QTest::newRow("markup, for the views to show as it is")
            << markup << QString()
            << QStringList{"<b>x</b>", "PID 42", "Stop the container <img src=x>?"};
        const QString theirUnit = "x\x1b[8m.service";
        QTest::newRow("escape in another user's unit")
            << theirs(88, "nginx", theirUnit, service(theirUnit, "always")) << "\x1b"
            << QStringList{"nginx", "PID 88 \u00b7 alice, x\\x1b[8m.service",
                           "Stop the service x\\x1b[8m.service?"};
        const QString unit = QString(300, u'u') + ".service";
        QTest::newRow("308-character unit name, whole")
            << theirs(88, "postgres", unit, service(unit, "always")) << QString()
            << QStringList{"postgres", "PID 88 \u00b7 alice, " + unit,
                           "Stop the service " + unit + "?"};
    }
    void namesFromOutsideAreInert() {
        QFETCH(PortEntry, row);
        QFETCH(QString, raw);
        QFETCH(QStringList, shown);
        auto system = std::make_shared<FakeSystemCalls>();
        system->login = [] { return QStringLiteral("me"); };
        system->kill = [](qint32, int) { return 0; };
        system->processStat = [](qint32) {
            return ProcessStat{.comm = "x", .state = 'S', .startTicks = 7};
        };
        row.process.startTicks = 7;
        auto keepers = std::make_shared<TestKeepers>();
        // The engine's or manager's refusal echoes the name; the second stop works.
        std::atomic_int stops = 0;
        keepers->onStop = [&](const Keeper &) {
            return stops++ == 0 ? KeeperStopResult{KeeperStopResult::Kind::Failed, "no " + raw}
                                : KeeperStopResult{KeeperStopResult::Kind::Stopped, {}};
        };
        Fixture f({}, system, {}, Fixture::Place::File, {keepers});
        f.refreshWith({row});
        const PortListViewModel &vm = *f.vm;
        QCOMPARE((QStringList{vm.rowName(row), vm.pidLine(row), vm.keeperQuestion(row)}), shown);

        QStringList texts{vm.accessibleName(row), vm.identityText(row), vm.keeperRestartHint(row),
                          vm.keeperDetail(row), vm.keeperAction(row)};
        const QModelIndex index = vm.filteredModel()->index(0);
        for (const int role : vm.filteredModel()->roleNames().keys())
            if (index.data(role).typeId() == QMetaType::QString)
                texts << index.data(role).toString();
        texts << vm.stopToolTip(row, "Kill", index.data(PortListModel::StopRefusalRole).toString(),
                                index.data(PortListModel::StopCommandRole).toString());
        // The stop: why not (another user's), or a newcomer takes the port.
        f.vm->stopProcess(row);
        PortEntry newcomer = row;
        newcomer.pid = 43;
        if (!f.vm->killError()) {
            f.refreshWith({newcomer});
            QVERIFY(f.vm->respawnReport());
            // Both sentences: who took the port, and what keeps it.
            QVERIFY2(f.vm->respawnReport()->text.contains(". It "),
                     qPrintable(f.vm->respawnReport()->text));
        }
        texts << (f.vm->killError() ? f.vm->killError()->text : f.vm->respawnReport()->text);
        // The keeper's stop: refused, then done with the port still held.
        QSignalSpy alerts(f.vm.get(), &PortListViewModel::killErrorChanged);
        f.vm->stopKeeper(row);
        QVERIFY(alerts.wait());
        texts << f.vm->killError()->text;
        f.vm->stopKeeper(row);
        QTRY_VERIFY(!roleOfPort(f, 8080, PortListModel::NoteRole).toString().isEmpty());
        texts << roleOfPort(f, 8080, PortListModel::NoteRole).toString();

        for (const QString &text : std::as_const(texts)) {
            const QString why = escapeControlCharacters(text);
            QVERIFY2(
                std::none_of(text.begin(), text.end(),
                             [](QChar c) { return c != u'\n' && isHiddenCharacter(c.unicode()); }),
                qPrintable(why));
            QVERIFY2(raw.isEmpty() || !text.contains(raw), qPrintable(why));
        }
    }

    // A scan that began before the keeper's stop ended lists the port as it
    // was then: it must not say the port is still held afterwards.
    void heldNoteWaitsForALaterScan() {
        QPromise<KeeperStopResult> outcome;
        const auto keepers = TestKeepers::waitingFor(outcome);
        Fixture f({}, std::make_shared<FakeSystemCalls>(), {}, Fixture::Place::File, {keepers});
        PortEntry row = entry(42, "nginx", 8080);
        row.keeper = nginx;
        f.refreshWith({row});
        f.immediate.reset();
        f.vm->stopKeeper(row);
        f.vm->refresh(); // started before the stop ends; hangs
        QTRY_COMPARE(keepers->askedSoFar().size(), 1);
        outcome.addResult(KeeperStopResult{KeeperStopResult::Kind::Stopped, {}});
        outcome.finish();
        QTRY_COMPARE(f.pending.size(), 2u); // and the one after the stop
        for (const int which : {0, 1}) {
            f.pending[which].addResult(ScanResult{{row}, std::nullopt});
            f.pending[which].finish();
            QTRY_COMPARE(roleOfPort(f, 8080, PortListModel::NoteRole).toString(),
                         which == 0 ? QString()
                                    : "Port 8080 is still held after the service "
                                      "nginx.service stopped.");
        }
        f.pending.clear();
    }
};

QTEST_GUILESS_MAIN(TestViewModel)
#include "tst_viewmodel.moc"
