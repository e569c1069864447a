#include "viewmodel/PortListViewModel.h"

#include "model/Holder.h"
#include "model/PortFilter.h"
#include "viewmodel/KeeperActions.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/RowText.h"
#include "viewmodel/SettingsFile.h"

#include <QFutureWatcher>
#include <QPromise>
#include <cmath>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <utility>

namespace {

const QString autoRefreshKey = QStringLiteral("autoRefreshEnabled");
const QString refreshIntervalKey = QStringLiteral("refreshInterval");

// Calls done(future) on context's thread once future finishes, unless context
// is destroyed first. A watcher owned by context is used instead of
// QFuture::then(context, ...), which aborts in Qt 6.4 when the context dies
// before the future finishes.
template <typename T, typename Done>
void whenFinished(const QFuture<T> &future, QObject *context, Done done) {
    auto *watcher = new QFutureWatcher<T>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, done = std::move(done)]() mutable {
                         watcher->deleteLater();
                         done(watcher->future());
                     });
    watcher->setFuture(future);
}

// glibc keeps freed memory for later allocations, in the arena of the thread
// that freed it; malloc_trim gives the free pages of every arena back.
void releaseFreeMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

} // namespace

PortListViewModel::PortListViewModel(Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_scan(std::move(dependencies.scan))
    , m_settings(std::move(dependencies.settings))
    , m_system(std::move(dependencies.system))
    , m_stopKeeper(std::move(dependencies.stopKeeper))
    , m_keeperOf(std::move(dependencies.keeperOf))
    , m_parentOf(std::move(dependencies.parentOf))
    , m_respawnWindow(dependencies.respawnWindow)
    , m_filteredModel(new PortListModel(this)) {
    Q_ASSERT(m_scan);
    if (!m_system)
        m_system = std::shared_ptr<const SystemCalls>(&SystemCalls::real(), [](auto *) {});
    if (!m_keeperOf)
        m_keeperOf = [](const PortEntry &holder) { return keeperOfNewHolder(holder); };
    if (!m_parentOf)
        m_parentOf = [](const PortEntry &e) { return parentKeeper(e.pid, e.process.startTicks); };
    m_filteredModel->setStopStages(&m_stopStages);
    m_filteredModel->setKeeperState(&m_keepersStopping, &m_rowNotes);
    if (!m_settings)
        m_settings =
            std::make_unique<QSettings>(QStringLiteral("Quayline"), QStringLiteral("Quayline"));
    // Read once; nothing is written back and no timer starts until a setting
    // is assigned or restartTimer() is called.
    m_autoRefreshEnabled = settingToBool(m_settings->value(autoRefreshKey)).value_or(true);
    m_refreshInterval =
        settingToDouble(m_settings->value(refreshIntervalKey)).value_or(defaultRefreshInterval);

    m_timer.setParent(this); // found by name, so tests can watch its ticks
    m_timer.setObjectName(QStringLiteral("autoRefreshTimer"));
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &PortListViewModel::onTimerTick);
}

PortListViewModel::~PortListViewModel() = default;

void PortListViewModel::setAutoRefreshEnabled(bool enabled) {
    const bool changed = std::exchange(m_autoRefreshEnabled, enabled) != enabled;
    // Written and restarted even when equal, so the next tick is one full
    // period after the user's choice.
    const bool errorChanged = writeSetting(autoRefreshKey, enabled);
    if (changed)
        emit autoRefreshEnabledChanged();
    if (errorChanged)
        emit settingsErrorChanged();
    restartTimer();
}

void PortListViewModel::setRefreshInterval(double seconds) {
    // Bitwise equality, so that NaN assigned twice does not report twice.
    const bool changed =
        !(m_refreshInterval == seconds || (std::isnan(seconds) && std::isnan(m_refreshInterval)));
    m_refreshInterval = seconds;
    const bool errorChanged = writeSetting(refreshIntervalKey, seconds);
    if (changed)
        emit refreshIntervalChanged();
    if (errorChanged)
        emit settingsErrorChanged();
    restartTimer();
}

void PortListViewModel::setSearchText(const QString &text) {
    if (m_searchText == text)
        return;
    m_searchText = text;
    // The rows first, so that a binding on either signal sees them.
    updateFilteredModel();
    emit searchTextChanged();
    emit filteredRowsChanged();
}

void PortListViewModel::setKillError(std::optional<KillMessage> message) {
    // Every assignment reports: each message is its own alert.
    m_killError = std::move(message);
    emit killErrorChanged();
}

int PortListViewModel::timerIntervalMs() const {
    return m_timer.isActive() ? m_timer.interval() : 0;
}

QFuture<void> PortListViewModel::refresh() {
    setIsLoading(true);
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> finished = promise->future();
    const quint64 serial = ++m_scansStarted;
    // If the model goes first, the watcher goes with it and the promise is
    // destroyed unfinished, which cancels the returned future.
    whenFinished(m_scan(), this, [this, promise, serial](const QFuture<ScanResult> &scan) {
        if (scan.isValid() && scan.resultCount() > 0)
            applyScan(scan.result(), serial);
        else
            setIsLoading(false);
        promise->finish();
    });
    return finished;
}

void PortListViewModel::applyScan(const ScanResult &result, quint64 serial) {
    // Store the whole result before reporting any of it, so that a view
    // reacting to one change already sees the others (no new entries beside a
    // stale error text or a loading flag still up).
    const bool entriesDiffer = result.entries != m_entries;
    const bool rowsWent = result.entries.size() < m_entries.size();
    if (entriesDiffer)
        m_entries = result.entries;
    const bool errorDiffers = result.errorText != m_lastScanError;
    if (errorDiffers)
        m_lastScanError = result.errorText;
    const QString notice = result.notice.value_or(QString());
    const bool noticeDiffers = notice != m_scanNotice;
    if (noticeDiffers)
        m_scanNotice = notice;
    const bool stagesChanged = m_stopStages.keepListed(m_entries);
    const bool notesChanged = updateHeldNotes(serial);
    const bool respawned = lookForRespawns();
    const bool wasLoading = std::exchange(m_isLoading, false);
    const bool firstResult = !std::exchange(m_hasScanResult, true);

    if (entriesDiffer) {
        updateFilteredModel();
        emit entriesChanged();
        emit filteredRowsChanged();
    }
    if (firstResult)
        emit hasScanResultChanged();
    if (errorDiffers)
        emit lastScanErrorChanged();
    if (noticeDiffers)
        emit scanNoticeChanged();
    // The rows that went held their command lines (up to a scan's budget);
    // hand the pages they leave free back to the system.
    if (rowsWent)
        releaseFreeMemory();
    if (stagesChanged) {
        m_filteredModel->updateStopStages();
        emit stopStagesChanged();
    }
    if (notesChanged)
        m_filteredModel->updateKeeperState();
    if (respawned)
        emit respawnReportChanged();
    if (wasLoading)
        emit isLoadingChanged();
}

void PortListViewModel::restartTimer() {
    m_timer.stop();
    if (m_autoRefreshEnabled)
        m_timer.start(timerPeriodMs(m_refreshInterval, defaultRefreshInterval));
}

void PortListViewModel::onTimerTick() {
    if (!m_onScreen || m_tickScanRunning)
        return;
    m_tickScanRunning = true;
    whenFinished(refresh(), this, [this](const QFuture<void> &) { m_tickScanRunning = false; });
}

void PortListViewModel::refreshAndRestartTimer() {
    whenFinished(refresh(), this, [this](const QFuture<void> &) { restartTimer(); });
}

void PortListViewModel::stopProcess(const PortEntry &entry) {
    // Another user's port, or one whose process is not certain: nothing to
    // signal; the row itself says what would stop it.
    if (!entry.stopCommand().isEmpty())
        return;
    // The engine runs as root, so root's panel could signal it: never.
    if (heldByContainerEngine(entry)) {
        setKillError(KillMessage{QUuid::createUuid(), KeeperActions::engineRefusal(entry)});
        return;
    }
    // Read while the process is there: once it is gone, so is its parent's record.
    const Keeper parent = m_parentOf(entry);
    const std::optional<KillError> error =
        m_stopStages.press(entry.pid, entry.process.startTicks, entry.user, *m_system);
    if (error && error->kind() != KillError::Kind::ProcessGone) {
        // A refused stop changes nothing, so the row keeps offering the same signal.
        setKillError(KillMessage::from(*error));
        return;
    }
    m_filteredModel->updateStopStages();
    emit stopStagesChanged();
    // Give the process a moment to exit, then look again: gone, it leaves the
    // stages; still listed, its rows offer SIGKILL.
    QTimer::singleShot(stopRefreshDelay, this, [this] { refresh(); });
    watchForRespawn(entry, parent);
}

void PortListViewModel::watchForRespawn(const PortEntry &entry, const Keeper &parent) {
    // Every port of the process, the pressed row's first: a supervisor
    // brings all of them back, and one report says so.
    RespawnWatch watch{{StoppedProcess::from(entry)}, parent, QDeadlineTimer(m_respawnWindow)};
    for (const PortEntry &e : std::as_const(m_entries))
        if (e.pid == entry.pid && e.process.startTicks == entry.process.startTicks &&
            e.key() != entry.key())
            watch.rows.append(StoppedProcess::from(e));
    // SIGKILL after SIGTERM: the window starts again from the later stop.
    m_respawnWatches.removeIf([&](const RespawnWatch &w) {
        return w.rows.first().pid == entry.pid &&
               w.rows.first().startTicks == entry.process.startTicks;
    });
    m_respawnWatches.append(watch);
    for (int third = 1; third <= 3; ++third)
        QTimer::singleShot(m_respawnWindow * third / 3, this, [this] {
            if (!m_respawnWatches.isEmpty())
                refresh();
        });
}

bool PortListViewModel::lookForRespawns() {
    bool reported = false;
    bool unnamed = false;
    for (auto watch = m_respawnWatches.begin(); watch != m_respawnWatches.end();) {
        bool taken = false;
        for (const StoppedProcess &stopped : std::as_const(watch->rows)) {
            std::optional<PortEntry> holder = takenAgain(stopped, m_entries);
            if (!holder)
                continue;
            // Only the kernel's table has the newcomer yet (it bound after
            // lsof ran): a look a moment later names its process.
            if (holder->pid <= 0 && !watch->until.hasExpired()) {
                unnamed = true;
                continue;
            }
            holder->keeper = m_keeperOf(*holder);
            const QString sentence = keeperSentence(holder->keeper, watch->parent);
            QString text = takenAgainText(stopped, *holder);
            if (!sentence.isEmpty())
                text += u' ' + sentence;
            m_respawnReport = RespawnReport{QUuid::createUuid(), text, *holder,
                                            KeeperActions::action(holder->keeper)};
            reported = taken = true;
            break;
        }
        if (taken || watch->until.hasExpired())
            watch = m_respawnWatches.erase(watch);
        else
            ++watch;
    }
    if (unnamed)
        QTimer::singleShot(stopRefreshDelay, this, [this] {
            if (!m_respawnWatches.isEmpty())
                refresh();
        });
    return reported;
}

bool PortListViewModel::updateHeldNotes(quint64 serial) {
    bool changed = false;
    for (auto note = m_heldNotes.begin(); note != m_heldNotes.end();) {
        if (serial < note->firstScan) { // a scan from before the stop ended
            ++note;
            continue;
        }
        const bool held =
            std::any_of(m_entries.cbegin(), m_entries.cend(),
                        [&](const PortEntry &e) { return portNoteKey(e) == note.key(); });
        if (held) {
            if (m_rowNotes.value(note.key()) != note->text) {
                m_rowNotes.insert(note.key(), note->text);
                changed = true;
            }
            ++note;
        } else {
            changed |= m_rowNotes.remove(note.key()) > 0;
            note = m_heldNotes.erase(note);
        }
    }
    return changed;
}

void PortListViewModel::stopKeeper(const PortEntry &entry) {
    if (KeeperActions::action(entry.keeper).isEmpty())
        return; // nothing the panel offers to stop (or the engine's own unit)
    const QString key = KeeperActions::key(entry.keeper);
    if (m_keepersStopping.contains(key))
        return; // one stop at a time: a second press must not queue another
    m_keepersStopping.append(key);
    keeperRolesChanged();
    QFuture<KeeperStopResult> stop =
        m_stopKeeper ? m_stopKeeper(entry.keeper)
                     : QtFuture::makeReadyFuture(KeeperStopResult{
                           KeeperStopResult::Kind::Unavailable,
                           KeeperActions::tr("Quayline cannot reach a service manager or "
                                             "container engine to stop %1.")
                               .arg(KeeperActions::name(entry.keeper))});
    whenFinished(stop, this, [this, entry, key](const QFuture<KeeperStopResult> &done) {
        keeperStopEnded(entry, key,
                        done.isValid() && done.resultCount() > 0
                            ? done.result()
                            : KeeperStopResult{KeeperStopResult::Kind::Failed, {}});
    });
}

void PortListViewModel::keeperStopEnded(const PortEntry &entry, const QString &key,
                                        const KeeperStopResult &result) {
    m_keepersStopping.removeAll(key);
    using Kind = KeeperStopResult::Kind;
    if (result.succeeded()) {
        // The row goes with the next scan; a port still held then says so.
        m_heldNotes.insert(portNoteKey(entry), {KeeperActions::stillHeld(entry.keeper, entry.port),
                                                m_scansStarted + 1});
        // The keeper is stopped: a report offering its stop has had its answer.
        if (m_respawnReport && KeeperActions::key(m_respawnReport->holder.keeper) == key)
            setRespawnReport(std::nullopt);
    } else {
        // Never read as a stop: the manager's or engine's own words.
        QString message = result.message;
        if (message.isEmpty())
            message =
                KeeperActions::tr("Could not stop %1.").arg(KeeperActions::name(entry.keeper));
        setKillError(KillMessage{QUuid::createUuid(), message});
    }
    keeperRolesChanged();
    // A refusal or a dismissed prompt changed nothing; anything else may have.
    if (result.kind != Kind::Refused && result.kind != Kind::Cancelled &&
        result.kind != Kind::Unavailable)
        refresh();
}

void PortListViewModel::keeperRolesChanged() {
    m_filteredModel->updateKeeperState();
    emit keepersStoppingChanged();
}

void PortListViewModel::setRespawnReport(std::optional<RespawnReport> report) {
    m_respawnReport = std::move(report);
    emit respawnReportChanged();
}

QString PortListViewModel::keeperAction(const PortEntry &entry) {
    return KeeperActions::action(entry.keeper);
}

bool PortListViewModel::isStoppingKeeper(const PortEntry &entry, const QStringList &stopping) {
    const QString key = KeeperActions::key(entry.keeper);
    return !key.isEmpty() && stopping.contains(key);
}

QString PortListViewModel::keeperQuestion(const PortEntry &entry) {
    return KeeperActions::question(entry.keeper);
}

QString PortListViewModel::keeperDetail(const PortEntry &entry) {
    return KeeperActions::detail(entry.keeper);
}

QString PortListViewModel::keeperRestartHint(const PortEntry &entry) {
    return KeeperActions::restartHint(entry.keeper);
}

QString PortListViewModel::accessibleName(const PortEntry &entry) {
    return RowText::accessibleName(entry);
}

QString PortListViewModel::identityText(const PortEntry &entry) {
    return RowText::identity(entry, QDateTime::currentDateTimeUtc());
}

QString PortListViewModel::commandLineShown(const ProcessInfo &process) {
    return RowText::commandLineShown(process);
}

QString PortListViewModel::commandLineToCopy(const ProcessInfo &process) {
    return RowText::commandLineToCopy(process);
}

void PortListViewModel::setIsLoading(bool loading) {
    if (m_isLoading == loading)
        return;
    m_isLoading = loading;
    emit isLoadingChanged();
}

bool PortListViewModel::writeSetting(const QString &key, const QVariant &value) {
    const QString error = writeSettingThrough(m_settings, key, value);
    return std::exchange(m_settingsError, error) != error;
}

void PortListViewModel::updateFilteredModel() {
    m_filteredModel->setEntries(PortFilter(m_searchText).apply(m_entries));
}

QVariant PortListViewModel::lastScanErrorValue() const {
    return m_lastScanError ? QVariant(*m_lastScanError) : QVariant();
}

QVariant PortListViewModel::killErrorValue() const {
    return m_killError ? QVariant::fromValue(*m_killError) : QVariant();
}

QVariant PortListViewModel::respawnReportValue() const {
    return m_respawnReport ? QVariant::fromValue(*m_respawnReport) : QVariant();
}

void PortListViewModel::setRespawnReportValue(const QVariant &value) {
    if (value.metaType() == QMetaType::fromType<RespawnReport>())
        setRespawnReport(value.value<RespawnReport>());
    else
        setRespawnReport(std::nullopt);
}

void PortListViewModel::setKillErrorValue(const QVariant &value) {
    if (value.canConvert<KillMessage>() && value.metaType() == QMetaType::fromType<KillMessage>())
        setKillError(value.value<KillMessage>());
    else
        setKillError(std::nullopt);
}
