#include "viewmodel/PortListViewModel.h"

#include "model/DisplayText.h"
#include "model/PortFilter.h"
#include "stop/StopText.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/RowText.h"
#include "viewmodel/SettingsFile.h"

#include <QFutureWatcher>
#include <QPromise>
#include <QtConcurrent>
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
    , m_fullScan(dependencies.fullScan ? std::move(dependencies.fullScan) : m_scan)
    , m_settings(std::move(dependencies.settings))
    , m_keepers(std::move(dependencies.keepers))
    , m_keeperThreads(dependencies.keeperThreads ? dependencies.keeperThreads
                                                 : QThreadPool::globalInstance())
    , m_respawnWindow(dependencies.respawnWindow)
    , m_session(dependencies.selfUid >= 0 ? dependencies.selfUid : qint64(::getuid()),
                std::move(dependencies.system), std::move(dependencies.proc))
    , m_filteredModel(new PortListModel(this))
    , m_freePort(std::move(dependencies.freePorts), QThreadPool::globalInstance()) {
    connect(&m_freePort, &FreePortAnswer::changed, this, &PortListViewModel::freePortAnswerChanged);
    Q_ASSERT(m_scan);
    m_filteredModel->setStopStages(&m_session.stages());
    m_filteredModel->setSelfUid(m_session.selfUid());
    m_filteredModel->setKeeperState(&m_keepersStopping, &m_rowNotes);
    m_filteredModel->setHistory(&m_history);
    m_rowMarkTimer.setSingleShot(true);
    connect(&m_rowMarkTimer, &QTimer::timeout, this, &PortListViewModel::expireRowMarks);
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
    return startScan(m_scan);
}

QFuture<void> PortListViewModel::refreshInFull() {
    return startScan(m_fullScan);
}

QFuture<void> PortListViewModel::startScan(const ScanFunction &scan) {
    setIsLoading(true);
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> finished = promise->future();
    const quint64 serial = ++m_scansStarted;
    // If the model goes first, the watcher goes with it and the promise is
    // destroyed unfinished, which cancels the returned future.
    whenFinished(scan(), this, [this, promise, serial](const QFuture<ScanResult> &result) {
        if (result.isValid() && result.resultCount() > 0)
            applyScan(result.result(), serial);
        else
            setIsLoading(false);
        promise->finish();
    });
    return finished;
}

void PortListViewModel::applyScan(const ScanResult &result, quint64 serial) {
    // A scan that started before the one shown read the machine earlier: its
    // rows would bring back a port that has closed since (refreshes overlap
    // whenever a port opens or closes while the timer's scan runs).
    if (serial < m_scanShown) {
        setIsLoading(false);
        return;
    }
    m_scanShown = serial;
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
    // A failed scan lists nothing: it says nothing of which rows went.
    const bool takeScan = !result.errorText && (entriesDiffer || !m_hasScanResult);
    const bool marksChanged =
        takeScan && m_history.take(m_entries, m_onScreen, QDateTime::currentDateTime(),
                                   RowHistory::Clock::now());
    if (entriesDiffer)
        updateShown();
    const bool stagesChanged = m_session.keepListed(m_entries);
    const bool notesChanged = updateHeldNotes(serial);
    const bool respawned = lookForRespawns();
    const bool wasLoading = std::exchange(m_isLoading, false);
    const bool firstResult = !std::exchange(m_hasScanResult, true);

    if (entriesDiffer) {
        updateFilteredModel();
        emit entriesChanged();
        emit filteredRowsChanged();
    } else {
        askAboutFreePort(); // a rescan may find the port taken or freed all the same
    }
    if (marksChanged)
        m_filteredModel->updateHistory();
    if (takeScan)
        scheduleRowMarks();
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

void PortListViewModel::setOnScreen(bool onScreen) {
    const bool changed = std::exchange(m_onScreen, onScreen) != onScreen;
    if (m_history.setOnScreen(onScreen, RowHistory::Clock::now())) {
        m_filteredModel->updateHistory();
        scheduleRowMarks();
    }
    if (changed)
        emit onScreenChanged();
}

void PortListViewModel::expireRowMarks() {
    if (m_history.expire(RowHistory::Clock::now())) {
        const qsizetype shown = m_shown.size();
        updateShown();
        if (m_shown.size() != shown) {
            updateFilteredModel();
            emit filteredRowsChanged();
        }
        m_filteredModel->updateHistory();
    }
    scheduleRowMarks();
}

void PortListViewModel::scheduleRowMarks() {
    const std::optional<RowHistory::Clock::time_point> next = m_history.nextExpiry();
    if (!next) {
        m_rowMarkTimer.stop();
        return;
    }
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*next - RowHistory::Clock::now());
    m_rowMarkTimer.start(std::max(wait, std::chrono::milliseconds::zero()));
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
    // A closed row lingers to be seen, not stopped: its pid may be anybody's now.
    if (m_history.isClosed(entry.id()))
        return;
    const StopPlan plan = planRowStop(entry, m_entries, m_session.selfUid(), m_session.proc());
    // Another user's port, the container engine's, or one whose process is
    // not certain: nothing is signalled; the alert says why, and what would.
    if (!plan.refusals.isEmpty()) {
        const Refusal &refusal = plan.refusals.constFirst();
        setKillError(
            KillMessage{QUuid::createUuid(), RowText::refusal(refusal.reason, refusal.command)});
        return;
    }
    const std::optional<KillError> error = m_session.press(plan.targets.constFirst());
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
    // Gone before the signal, or a row whose process could not be told apart
    // from a successor: nothing was stopped, so nothing is watched (as on the
    // command line).
    if (!error)
        watchForRespawn(plan);
}

void PortListViewModel::watchForRespawn(const StopPlan &plan) {
    m_session.watch(plan.targets.constFirst(), plan.before,
                    StopSession::Clock::now() + m_respawnWindow);
    // Where something may start the process again, the list is read at a
    // third, two thirds and the end of the window too.
    for (int third = 1; third <= 3; ++third)
        QTimer::singleShot(m_respawnWindow * third / 3, this, [this, third] {
            if (third == 3 ? m_session.isWatching()
                           : m_session.keepsWatching(StopSession::Clock::now()))
                refresh();
        });
}

bool PortListViewModel::lookForRespawns() {
    if (!m_session.isWatching())
        return false;
    const StopSession::Look look = m_session.look(m_entries, StopSession::Clock::now());
    // Only the kernel's table has the newcomer yet (it bound after lsof ran):
    // a look a moment later names its process.
    if (look.lookAgainSoon)
        QTimer::singleShot(stopRefreshDelay, this, [this] {
            if (m_session.isWatching())
                refresh();
        });
    if (look.found.isEmpty())
        return false;
    const Respawn &first = look.found.constFirst();
    // Its sentences name the newcomer and its keeper, and have no line break of their own.
    m_respawnReport = RespawnReport{
        QUuid::createUuid(), escapeControlCharacters(first.report()), first.holder,
        isStoppableKeeper(first.holder.keeper) ? StopText::keeperAction(first.holder.keeper)
                                               : QString()};
    return true;
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
    if (!isStoppableKeeper(entry.keeper))
        return; // nothing the panel offers to stop (or the engine's own unit)
    const QString key = keeperKey(entry.keeper);
    if (m_keepersStopping.contains(key))
        return; // one stop at a time: a second press must not queue another
    m_keepersStopping.append(key);
    keeperRolesChanged();
    PortEntryList onPort; // what the engine's answer is checked against
    for (const PortEntry &e : std::as_const(m_entries)) {
        if (e.port == entry.port)
            onPort.append(e);
    }
    QFuture<KeeperStopResult> stop =
        m_keepers
            ? QtConcurrent::run(m_keeperThreads,
                                [keepers = m_keepers, keeper = entry.keeper, port = entry.port,
                                 onPort = std::move(onPort), proc = m_session.proc()] {
                                    return stopKeeperOfPorts(*keepers, keeper, {port}, onPort,
                                                             proc);
                                })
            : QtFuture::makeReadyFuture(KeeperStopResult{KeeperStopResult::Kind::Unavailable, {}});
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
        m_heldNotes.insert(
            portNoteKey(entry),
            {escapeControlCharacters(StopText::stillHeldAfter(entry.keeper, entry.port)),
             m_scansStarted + 1});
        // The keeper is stopped: a report offering its stop has had its answer.
        if (m_respawnReport && keeperKey(m_respawnReport->holder.keeper) == key)
            setRespawnReport(std::nullopt);
    } else {
        // Never read as a stop: what failed, in the manager's or engine's
        // words. One sentence, so any line break in it is theirs.
        setKillError(
            KillMessage{QUuid::createUuid(),
                        escapeControlCharacters(StopText::keeperOutcome(entry.keeper, result))});
    }
    keeperRolesChanged();
    // A refusal or a dismissed prompt changed nothing; anything else may have.
    if (result.kind != Kind::Refused && result.kind != Kind::Cancelled &&
        result.kind != Kind::Unavailable && result.kind != Kind::Unconfirmed)
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
    return isStoppableKeeper(entry.keeper) ? StopText::keeperAction(entry.keeper) : QString();
}

bool PortListViewModel::isStoppingKeeper(const PortEntry &entry, const QStringList &stopping) {
    return isStoppableKeeper(entry.keeper) && stopping.contains(keeperKey(entry.keeper));
}

// The keeper's texts are single sentences, so escaping each whole escapes
// just the names in it.
QString PortListViewModel::keeperQuestion(const PortEntry &entry) {
    return escapeControlCharacters(StopText::keeperQuestion(entry.keeper));
}

QString PortListViewModel::keeperDetail(const PortEntry &entry) {
    return StopText::keeperDetail(entry.keeper);
}

QString PortListViewModel::keeperRestartHint(const PortEntry &entry) {
    return escapeControlCharacters(StopText::keeperRestartHint(entry.keeper));
}

QString PortListViewModel::stopCommand(const PortEntry &entry) const {
    const std::optional<Refusal> refusal = refusalFor(entry, m_session.selfUid());
    return refusal ? refusal->command : QString();
}

QString PortListViewModel::accessibleName(const PortEntry &entry) {
    return RowText::accessibleName(entry);
}

QString PortListViewModel::rowName(const PortEntry &entry) {
    return RowText::name(entry);
}

QString PortListViewModel::pidLine(const PortEntry &entry) {
    return RowText::pidLine(entry);
}

QString PortListViewModel::stopToolTip(const PortEntry &entry, const QString &stage,
                                       const QString &refusal, const QString &command) {
    return RowText::stopToolTip(entry, stage, refusal, command);
}

QString PortListViewModel::identityText(const PortEntry &entry) {
    return RowText::identity(entry, QDateTime::currentDateTimeUtc());
}

QString PortListViewModel::firstSeenText(const QVariant &firstSeen) {
    return RowText::firstSeen(firstSeen.toDateTime(), QDateTime::currentDateTime());
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

void PortListViewModel::updateShown() {
    m_shown = m_history.withClosedRows(m_entries, m_shown);
}

void PortListViewModel::updateFilteredModel() {
    m_filteredModel->setEntries(PortFilter(m_searchText).apply(m_shown));
    askAboutFreePort();
}

void PortListViewModel::askAboutFreePort() {
    // A port number that no row holds: whether a new listener can take it.
    // Asked again after every scan, as what holds it may have changed.
    const QString typed = m_searchText.trimmed();
    bool isNumber = false;
    const uint port = typed.toUInt(&isNumber);
    const bool question = m_hasScanResult && !m_lastScanError && m_filteredModel->count() == 0 &&
                          isNumber && port >= 1 && port <= 65535 && typed.at(0).isDigit();
    m_freePort.ask(question ? std::optional(quint16(port)) : std::nullopt);
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
