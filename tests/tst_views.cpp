// Runs the QML view tests under tests/views against the real views, with the
// models and login items of ViewFixture.
#include "FakeSystemCalls.h"
#include "Quayline/DesktopActions.h"
#include "Quayline/LoginItem.h"
#include "QuickFullStacks.h"
#include "notify/PortNotifier.h"
#include "stop/StopRules.h"
#include "viewmodel/PortListViewModel.h"
#include "viewmodel/RowText.h"

#include <QAccessible>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMetaEnum>
#include <QMutex>
#include <QPromise>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>
#include <deque>

Q_IMPORT_QML_PLUGIN(QuaylinePlugin)

// Keeper stops that wait, on the model's keeper thread, until the test ends
// them with finishKeeperStop(); annotate finds nothing.
struct FixtureKeepers final : KeeperService {
    QMutex mutex;
    QStringList stops; // keeperKey of each stop asked for
    std::deque<std::shared_ptr<QPromise<KeeperStopResult>>> outcomes;
    QList<std::pair<QString, qint64>> published; // every container's row's port

    void annotate(PortEntryList &) override {}
    std::optional<ContainerTies> containerTies(const Keeper &) override {
        QMutexLocker lock(&mutex);
        return ContainerTies{published, 0};
    }
    KeeperStopResult stop(const Keeper &keeper) override {
        auto outcome = std::make_shared<QPromise<KeeperStopResult>>();
        outcome->start();
        {
            QMutexLocker lock(&mutex);
            stops.append(keeperKey(keeper));
            outcomes.push_back(outcome);
        }
        QFuture<KeeperStopResult> done = outcome->future();
        done.waitForFinished();
        return done.resultCount() ? done.result() : KeeperStopResult{};
    }
    // Ends every stop still waiting, so that no keeper thread is left blocked.
    void release() {
        QMutexLocker lock(&mutex);
        for (const auto &outcome : outcomes)
            outcome->finish();
        outcomes.clear();
        stops.clear();
    }
};

// What the QML view tests drive the real views with: models whose scans finish
// only when a test says so, whose settings live in a temporary folder and whose
// kill(2) only records what it was asked to send; login items over temporary
// autostart folders; and a record of what the views copied, opened or quit.
class ViewFixture : public QObject {
    Q_OBJECT

public:
    // Deletes the models, while the application still exists.
    void releaseModels() {
        m_keepers->release();
        qDeleteAll(std::exchange(m_models, {}));
        m_keeperThreads.waitForDone();
    }

    // Forgets the previous test: its scans finish empty (and any it starts
    // later at once), nothing is recorded as sent and kill(2) succeeds again.
    Q_INVOKABLE void reset() {
        ++m_generation;
        while (!m_pending.empty())
            finishScan();
        m_killResult = 0;
        m_signalsSent.clear();
        m_copied.clear();
        m_opened.clear();
        m_quitRequests = 0;
        m_keepers->release();
    }
    // A fresh model with auto-refresh off, so that no timer scan slips in.
    // With unwritableSettings its settings file lies below a plain file, so
    // that no write reaches it, also for root.
    Q_INVOKABLE PortListViewModel *newModel(bool unwritableSettings = false) {
        QString file = m_dir.filePath("settings-" + QString::number(++m_files));
        if (unwritableSettings) {
            QFile blocker(file);
            if (!blocker.open(QIODevice::WriteOnly))
                qWarning("cannot create %s", qPrintable(file));
            file += "/quayline.conf";
        }
        QSettings(file, QSettings::IniFormat).setValue(QStringLiteral("autoRefreshEnabled"), false);
        PortListViewModel::Dependencies deps;
        deps.scan = [this, generation = m_generation] {
            // A model left over from an earlier test gets an empty scan at once.
            if (generation != m_generation)
                return QtFuture::makeReadyFuture(ScanResult{});
            m_pending.push_back(std::make_shared<QPromise<ScanResult>>());
            m_pending.back()->start();
            return m_pending.back()->future();
        };
        deps.settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        auto system = std::make_shared<FakeSystemCalls>();
        system->login = [] { return QStringLiteral("me"); };
        // Never the real kill(2): only recorded.
        system->kill = [this](qint32 pid, int signal) {
            m_signalsSent.append(QVariantMap{{"pid", pid}, {"signal", signal}});
            return m_killResult;
        };
        // Every pid still holds the process listed (start time 1, see finishScan).
        system->processStat = [](qint32) {
            return ProcessStat{.comm = "proc", .state = 'S', .startTicks = 1};
        };
        deps.system = std::move(system);
        // Keeper stops wait for finishKeeperStop(); the keeper of a newcomer
        // is its row's, as no process has a parent in an empty /proc.
        deps.keepers = m_keepers;
        deps.keeperThreads = &m_keeperThreads;
        deps.proc = StatReader(QFile::encodeName(m_dir.filePath("no-proc")));
        // An ordinary user's machine with no socket open: ports from 40000 to
        // 40100 ephemeral, 7000 reserved, 5000 published by web-1 with no
        // socket, and 6000 taken by the time its probe binds.
        deps.freePorts = [] {
            FreePorts::System machine;
            machine.uid = 1000;
            machine.readSetting = [](const char *name) {
                const QByteArrayView file(name);
                return QByteArray(file == "ip_local_port_range"       ? "40000 40100"
                                  : file == "ip_local_reserved_ports" ? "7000"
                                                                      : "1024");
            };
            machine.published = {{"TCP", 5000, "*", "web-1\x1b[31m"}};
            machine.probe = [](int, int, quint16 port) { return port == 6000 ? EADDRINUSE : 0; };
            return machine;
        };
        m_models.append(new PortListViewModel(std::move(deps), this));
        // Rows come and go at once, unmarked, but where a test asks for the marks.
        m_models.back()->setNewRowDuration(0);
        m_models.back()->setClosedRowDuration(0);
        return m_models.back();
    }
    // Finishes the oldest pending scan with these entries ({pid, processName,
    // port, ..., containerName, process: {commandLine, commandLineCut, cwd, cwdDeleted, unit,
    // container, startedAt}}), error text (null for none) and notice. The
    // command line's raw bytes are its arguments in UTF-8, each ended by a NUL.
    Q_INVOKABLE void finishScan(const QVariantList &entries = {}, const QVariant &error = {},
                                const QString &notice = {}) {
        if (m_pending.empty())
            return qWarning("finishScan: no scan is pending");
        ScanResult result;
        for (const QVariant &e : entries) {
            const QVariantMap f = e.toMap();
            PortEntry entry(
                f.value("pid", 100).toInt(), f.value("processName", "proc").toString(),
                f.value("user", "me").toString(), f.value("networkProtocol", "TCP").toString(),
                f.value("ipVersion", "IPv4").toString(), f.value("address", "*").toString(),
                f.value("port", 80).toLongLong(), f.value("state", "LISTEN").toString());
            const QVariantMap process = f.value("process").toMap();
            entry.process.commandLine = process.value("commandLine").toStringList();
            for (const QString &argument : std::as_const(entry.process.commandLine))
                entry.process.rawCommandLine += argument.toUtf8() + '\0';
            entry.process.commandLineCut = process.value("commandLineCut").toBool();
            entry.process.cwd = process.value("cwd").toString();
            entry.process.cwdDeleted = process.value("cwdDeleted").toBool();
            entry.process.unit = process.value("unit").toString();
            entry.process.container = process.value("container").toString();
            entry.process.startedAt = process.value("startedAt").toDateTime().toUTC();
            entry.fromKernel = f.value("fromKernel", false).toBool();
            entry.uid = f.value("uid", -1).toLongLong();
            entry.containerName = f.value("containerName").toString();
            // {kind: "service" or "container", unit, userUnit, restart, name, policy}
            const QVariantMap keeper = f.value("keeper").toMap();
            const QString kind = keeper.value("kind").toString();
            entry.keeper.kind = kind == u"service"     ? Keeper::Kind::Service
                                : kind == u"container" ? Keeper::Kind::Container
                                                       : Keeper::Kind::None;
            entry.keeper.unit = keeper.value("unit").toString();
            entry.keeper.userUnit = keeper.value("userUnit").toBool();
            entry.keeper.restart = keeper.value("restart").toString();
            if (entry.keeper.kind == Keeper::Kind::Container)
                entry.keeper.containerId = "c0ffee" + QString(58, u'0');
            entry.keeper.containerName = keeper.value("name").toString();
            entry.keeper.restartPolicy = keeper.value("policy").toString();
            if (entry.keeper.kind == Keeper::Kind::Container) {
                QMutexLocker lock(&m_keepers->mutex);
                m_keepers->published.append({entry.networkProtocol, entry.port});
            }
            // Every pid still holds the process listed (start time 1, see processStat).
            entry.process.startTicks = 1;
            result.entries.append(entry);
        }
        if (!error.isNull())
            result.errorText = error.toString();
        if (!notice.isEmpty())
            result.notice = notice;
        m_pending.front()->addResult(result);
        m_pending.front()->finish();
        m_pending.pop_front();
        // The model hears of the result through a posted event; deliver it (and
        // what it posts in turn) now, so a test sees the stored result at once.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents();
    }
    // The keepers asked to stop, as keeperKey, once every stop that the
    // models started has reached them.
    Q_INVOKABLE QStringList keeperStops() const {
        QStringList stops;
        if (!QTest::qWaitFor([&] {
                QMutexLocker lock(&m_keepers->mutex);
                stops = m_keepers->stops;
                return qsizetype(m_keepers->outcomes.size()) >= keepersStopping();
            }))
            qWarning("keeperStops: a stop the models started never reached the keepers");
        return stops;
    }
    // Ends the oldest keeper stop under way with a KeeperStopResult::Kind
    // (by name: "Stopped", "Refused", ...) and message.
    Q_INVOKABLE void finishKeeperStop(const QString &kind, const QString &message = {}) {
        std::shared_ptr<QPromise<KeeperStopResult>> outcome;
        if (!QTest::qWaitFor([&] {
                QMutexLocker lock(&m_keepers->mutex);
                if (!m_keepers->outcomes.empty()) {
                    outcome = m_keepers->outcomes.front();
                    m_keepers->outcomes.pop_front();
                }
                return outcome != nullptr;
            }))
            return qWarning("finishKeeperStop: no stop is under way");
        bool ok = false;
        const int value = QMetaEnum::fromType<KeeperStopResult::Kind>().keyToValue(
            kind.toLatin1().constData(), &ok);
        if (!ok)
            qWarning("finishKeeperStop: no kind %s", qPrintable(kind));
        const qsizetype before = keepersStopping();
        outcome->addResult(KeeperStopResult{KeeperStopResult::Kind(value), message});
        outcome->finish();
        // The model hears of the outcome once the keeper thread returns it.
        if (!QTest::qWaitFor([&] { return keepersStopping() < before; }))
            qWarning("finishKeeperStop: the model did not hear of the outcome");
    }
    // What kill(2) answers from now on: 0, or an errno value.
    Q_INVOKABLE void setKillResult(int errorNumber) { m_killResult = errorNumber; }
    // A login item over a new autostart folder; with broken, a plain file stands
    // where the folder should be, so that writing the entry fails, also for root.
    Q_INVOKABLE LoginItem *newLoginItem(bool broken) {
        QFile folder(m_dir.filePath("autostart-" + QString::number(++m_files)));
        if (broken && !folder.open(QIODevice::WriteOnly))
            qWarning("cannot create %s", qPrintable(folder.fileName()));
        return new LoginItem(folder.fileName(), "/opt/quayline test/quayline", this);
    }
    // A notifier with no bus to send on, its settings holding this list.
    Q_INVOKABLE PortNotifier *newNotifier(const QString &stored) {
        const QString file = m_dir.filePath("notifier-" + QString::number(++m_files));
        QSettings(file, QSettings::IniFormat).setValue(QStringLiteral("watchedPorts"), stored);
        return new PortNotifier(
            {std::make_unique<QSettings>(file, QSettings::IniFormat), QDBusConnection(QString())},
            this);
    }
    // A new folder, or with asFile a plain file, of this name in a temporary folder.
    Q_INVOKABLE QString makePath(const QString &name, bool asFile = false) {
        const QString path = m_dir.filePath(QString::number(++m_files) + u'/' + name);
        QDir().mkpath(asFile ? QFileInfo(path).path() : path);
        if (asFile && !QFile(path).open(QIODevice::WriteOnly))
            qWarning("cannot create %s", qPrintable(path));
        return path;
    }
    // The signals that kill(2) was asked to send, as {pid, signal}.
    Q_INVOKABLE QVariantList signalsSent() const { return m_signalsSent; }
    Q_INVOKABLE int pendingScans() const { return int(m_pending.size()); }

    // From now on the views' clipboard and links reach only copied() and opened().
    Q_INVOKABLE void captureDesktopActions(DesktopActions *actions) {
        actions->setEffects({
            [this](const QString &text) { m_copied.append(text); },
            [this](const QUrl &url) {
                m_opened.append(url.toString(QUrl::FullyEncoded));
                return true;
            },
        });
    }
    Q_INVOKABLE QStringList copied() const { return m_copied; }
    Q_INVOKABLE QStringList opened() const { return m_opened; }

    // Counts the Qt.quit() calls of the views, which the test engine must not obey.
    void watchEngine(QQmlEngine *engine) {
        connect(engine, &QQmlEngine::quit, this, [this] { ++m_quitRequests; });
    }
    Q_INVOKABLE int quitRequests() const { return m_quitRequests; }

    // A key typed into another window than the test's own, where TestCase sends its keys.
    Q_INVOKABLE void keyClick(QWindow *window, int key) { QTest::keyClick(window, Qt::Key(key)); }

    // What a screen reader is told of an item.
    Q_INVOKABLE QString accessibleName(QQuickItem *item) const {
        return accessibleText(item, QAccessible::Name);
    }
    Q_INVOKABLE QString accessibleDescription(QQuickItem *item) const {
        return accessibleText(item, QAccessible::Description);
    }

private:
    // The keeper stops under way in every model.
    qsizetype keepersStopping() const {
        qsizetype n = 0;
        for (const PortListViewModel *model : m_models)
            n += model->keepersStopping().size();
        return n;
    }
    static QString accessibleText(QQuickItem *item, QAccessible::Text kind) {
        QAccessibleInterface *face = item ? QAccessible::queryAccessibleInterface(item) : nullptr;
        return face ? face->text(kind) : QString();
    }

    QTemporaryDir m_dir;
    int m_generation = 0;
    int m_files = 0;
    int m_killResult = 0;
    std::deque<std::shared_ptr<QPromise<ScanResult>>> m_pending;
    QVariantList m_signalsSent;
    QStringList m_copied;
    QStringList m_opened;
    int m_quitRequests = 0;
    QList<PortListViewModel *> m_models;
    std::shared_ptr<FixtureKeepers> m_keepers = std::make_shared<FixtureKeepers>();
    QThreadPool m_keeperThreads;
};

class Setup : public QObject {
    Q_OBJECT

public slots:
    void applicationAvailable() {
        // A locale that groups digits, so that any number shown with grouping fails.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        RowText::installTranslations();
    }
    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:/"));
        qmlRegisterSingletonInstance("QuaylineTest", 1, 0, "Fixture", &m_fixture);
        m_fixture.watchEngine(engine);
    }
    void cleanupTestCase() { m_fixture.releaseModels(); }

private:
    ViewFixture m_fixture;
};

QUICK_TEST_MAIN_WITH_SETUP(tst_views, Setup)
#include "tst_views.moc"
