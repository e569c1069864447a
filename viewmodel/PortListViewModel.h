#pragma once

#include "model/Keeper.h"
#include "model/KillError.h"
#include "model/PortEntry.h"
#include "process/SystemCalls.h"
#include "scanner/PortScanner.h"
#include "stop/KeeperService.h"
#include "stop/StopSession.h"
#include "viewmodel/FreePortAnswer.h"
#include "viewmodel/RowHistory.h"

#include <QDeadlineTimer>
#include <QFuture>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QSettings>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class PortListModel;

// What the panel says when a stopped process's port was taken again at once:
// who took it, what keeps that holder (holder.keeper), and the keeper's stop
// where the panel can offer one.
struct RespawnReport {
    Q_GADGET
    Q_PROPERTY(QString id READ idText)
    Q_PROPERTY(QString text MEMBER text)
    Q_PROPERTY(PortEntry holder MEMBER holder)
    Q_PROPERTY(QString action MEMBER action)

public:
    QUuid id;
    QString text;
    PortEntry holder;
    QString action; // "Stop Service", "Stop Container" or empty

    QString idText() const { return id.toString(QUuid::WithoutBraces); }
};

Q_DECLARE_METATYPE(RespawnReport)

// The one state object behind every view: the last scan, the filter, the two
// persisted auto-refresh settings with their timer, and the stopping of
// processes with its SIGTERM-then-SIGKILL stages. Lives on the main thread.
class PortListViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool autoRefreshEnabled READ autoRefreshEnabled WRITE setAutoRefreshEnabled NOTIFY
                   autoRefreshEnabledChanged)
    Q_PROPERTY(double refreshInterval READ refreshInterval WRITE setRefreshInterval NOTIFY
                   refreshIntervalChanged)
    Q_PROPERTY(QList<PortEntry> entries READ entries NOTIFY entriesChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    // Whether any scan has finished: until one has, there is no list to show.
    Q_PROPERTY(bool hasScanResult READ hasScanResult NOTIFY hasScanResultChanged)
    // null while the last scan reported no error, otherwise its text
    Q_PROPERTY(QVariant lastScanError READ lastScanErrorValue NOTIFY lastScanErrorChanged)
    // Empty, or what the last scan could not cover (the sockets of other users)
    Q_PROPERTY(QString scanNotice READ scanNotice NOTIFY scanNoticeChanged)
    Q_PROPERTY(QString searchText READ searchText WRITE setSearchText NOTIFY searchTextChanged)
    // null or a KillMessage; writing null (or undefined) dismisses it
    Q_PROPERTY(
        QVariant killError READ killErrorValue WRITE setKillErrorValue NOTIFY killErrorChanged)
    // The entries that pass the filter, as a list model whose rows keep their
    // identity across refreshes
    Q_PROPERTY(PortListModel *filteredModel READ filteredModel CONSTANT)
    // Where the filter is a port number that no row holds: whether it is free
    // and the next free port after it (0 for none); empty until known.
    Q_PROPERTY(QString freePortText READ freePortText NOTIFY freePortAnswerChanged)
    Q_PROPERTY(int nextFreePort READ nextFreePort NOTIFY freePortAnswerChanged)
    // Why the last write of a setting did not reach the settings file; empty while it did.
    Q_PROPERTY(QString settingsError READ settingsError NOTIFY settingsErrorChanged)
    // null or a RespawnReport: a process stopped here was replaced on its
    // port at once. Writing null (or undefined) dismisses it.
    Q_PROPERTY(QVariant respawnReport READ respawnReportValue WRITE setRespawnReportValue NOTIFY
                   respawnReportChanged)
    // The keeperKey of every unit or container whose stop is under way.
    Q_PROPERTY(QStringList keepersStopping READ keepersStopping NOTIFY keepersStoppingChanged)
    // In milliseconds: how long a row that appeared stays marked new once on
    // screen, and how long one that went stays in the list, marked closed.
    // Zero turns the mark off. A change applies to the marks made after it.
    Q_PROPERTY(int newRowDuration READ newRowDuration WRITE setNewRowDuration)
    Q_PROPERTY(int closedRowDuration READ closedRowDuration WRITE setClosedRowDuration)

public:
    static constexpr double defaultRefreshInterval = 5.0;
    static constexpr std::chrono::milliseconds stopRefreshDelay{400};
    // Supervisors restart within a second or two (systemd's RestartSec is 100
    // ms by default, a container's first restart comes at once, a shell loop
    // at its next turn); besides the look at stopRefreshDelay, the list is
    // read again at a third, two thirds and the end of this window.
    static constexpr std::chrono::milliseconds defaultRespawnWindow{4500};

    using ScanFunction = std::function<QFuture<ScanResult>()>;

    // Everything the model needs from outside, so tests can replace each part.
    struct Dependencies {
        // The timer's and every other refresh: may hand back the last rows
        // where the kernel shows nothing moved. Required.
        ScanFunction scan;
        std::unique_ptr<QSettings> settings; // defaults to the user's Quayline settings
        std::shared_ptr<const SystemCalls> system = nullptr; // defaults to SystemCalls::real()
        // Units and containers; without it, a keeper's stop is reported as
        // unavailable. Its stops run on keeperThreads (defaults to Qt's global
        // pool), never on the main thread.
        std::shared_ptr<KeeperService> keepers = nullptr;
        QThreadPool *keeperThreads = nullptr;
        // Where parents are read, to tell what started a process again.
        StatReader proc = StatReader();
        // Whose processes are the user's own; defaults to the real user.
        qint64 selfUid = -1;
        // How long after a stop a new holder of its port counts as a respawn.
        std::chrono::milliseconds respawnWindow = defaultRespawnWindow;
        // A refresh the user asked for (the button, Ctrl+R): always reads
        // everything anew. scan when empty.
        ScanFunction fullScan = nullptr;
        // The machine as the free-port rule sees it, for the answer on a
        // port that no row holds; the real one where empty.
        FreePortAnswer::SystemFunction freePorts = nullptr;
    };

    explicit PortListViewModel(Dependencies dependencies, QObject *parent = nullptr);
    ~PortListViewModel() override;

    bool autoRefreshEnabled() const { return m_autoRefreshEnabled; }
    void setAutoRefreshEnabled(bool enabled);
    double refreshInterval() const { return m_refreshInterval; }
    void setRefreshInterval(double seconds);

    const PortEntryList &entries() const { return m_entries; }
    bool isLoading() const { return m_isLoading; }
    bool hasScanResult() const { return m_hasScanResult; }
    const std::optional<QString> &lastScanError() const { return m_lastScanError; }
    const QString &scanNotice() const { return m_scanNotice; }
    // Which signal the next stop of each listed process sends.
    const StopStages &stopStages() const { return m_session.stages(); }

    const QString &searchText() const { return m_searchText; }
    const QString &freePortText() const { return m_freePort.text(); }
    int nextFreePort() const { return m_freePort.nextFree(); }
    void setSearchText(const QString &text);

    const std::optional<KillMessage> &killError() const { return m_killError; }
    void setKillError(std::optional<KillMessage> message);

    const QString &settingsError() const { return m_settingsError; }
    PortListModel *filteredModel() const { return m_filteredModel; }

    // The auto-refresh timer's current period, after the guard against
    // non-positive, non-finite and oversized intervals; 0 while stopped.
    int timerIntervalMs() const;
    bool isTimerRunning() const { return m_timer.isActive(); }

    // Whether any window that shows the model is on screen. While none is, a
    // timer tick starts no scan: nobody would see its result, and a window
    // that comes back scans when it is shown. The timer itself keeps running.
    // True until told otherwise, so a model that no window drives refreshes
    // on every tick. Rows that appeared while none was on screen are marked
    // new when one comes.
    void setOnScreen(bool onScreen);
    bool isOnScreen() const { return m_onScreen; }

    int newRowDuration() const { return int(m_history.newFor.count()); }
    void setNewRowDuration(int ms) { m_history.newFor = std::chrono::milliseconds(ms); }
    int closedRowDuration() const { return int(m_history.closedFor.count()); }
    void setClosedRowDuration(int ms) { m_history.closedFor = std::chrono::milliseconds(ms); }

    // One scan cycle. The future finishes once the result is stored (it is
    // cancelled if the model is destroyed first). Overlapping calls are allowed;
    // the scan started last among those finished leaves its result.
    QFuture<void> refresh();
    // The same, through fullScan: for a refresh the user asked for.
    QFuture<void> refreshInFull();
    Q_INVOKABLE void restartTimer();
    // What the panel does each time it is shown: refresh, then restart the timer.
    Q_INVOKABLE void refreshAndRestartTimer();
    Q_INVOKABLE void refreshNow() { refreshInFull(); }
    Q_INVOKABLE void stopProcess(const PortEntry &entry);

    // Stops the unit or container that keeps the row's process (entry.keeper),
    // where isStoppableKeeper allows it; nothing while a stop of the same
    // keeper is under way. Afterwards the list is read again; a failure
    // becomes killError with the manager's or engine's reason.
    Q_INVOKABLE void stopKeeper(const PortEntry &entry);
    const QStringList &keepersStopping() const { return m_keepersStopping; }

    const std::optional<RespawnReport> &respawnReport() const { return m_respawnReport; }
    // Whether a stop's window for seeing its port taken again is still open.
    bool isWatchingForRespawn() const { return m_session.isWatching(); }
    void setRespawnReport(std::optional<RespawnReport> report);
    // What a row's keeper stop says and asks, for the views; the names in
    // them escaped, as in every text below but stopCommand's.
    Q_INVOKABLE static QString keeperAction(const PortEntry &entry);
    // Whether the row's keeper is among stopping (keepersStopping, passed in
    // so that a binding follows it).
    Q_INVOKABLE static bool isStoppingKeeper(const PortEntry &entry, const QStringList &stopping);
    Q_INVOKABLE static QString keeperQuestion(const PortEntry &entry);
    Q_INVOKABLE static QString keeperDetail(const PortEntry &entry);
    Q_INVOKABLE static QString keeperRestartHint(const PortEntry &entry);
    // Where the row's process is not stopped here: the command that would
    // stop it (may be empty, where nothing safe can be offered), as it is to
    // be pasted: for the clipboard, never shown as it stands.
    Q_INVOKABLE QString stopCommand(const PortEntry &entry) const;

    // The row texts of RowText, for the views; identityText reckons the age
    // from the moment it is called.
    Q_INVOKABLE static QString accessibleName(const PortEntry &entry);
    Q_INVOKABLE static QString rowName(const PortEntry &entry);
    Q_INVOKABLE static QString pidLine(const PortEntry &entry);
    Q_INVOKABLE static QString stopToolTip(const PortEntry &entry, const QString &stage,
                                           const QString &refusal, const QString &command);
    Q_INVOKABLE static QString identityText(const PortEntry &entry);
    // "First seen 14:02" for a row's firstSeen, or that it was there when
    // the program started (firstSeen null).
    Q_INVOKABLE static QString firstSeenText(const QVariant &firstSeen);
    Q_INVOKABLE static QString commandLineShown(const ProcessInfo &process);
    Q_INVOKABLE static QString commandLineToCopy(const ProcessInfo &process);

signals:
    void autoRefreshEnabledChanged();
    void refreshIntervalChanged();
    void entriesChanged();
    void isLoadingChanged();
    void lastScanErrorChanged();
    void scanNoticeChanged();
    // A row's stopStage may have changed (also reported by the list model).
    void stopStagesChanged();
    void searchTextChanged();
    void freePortAnswerChanged();
    void killErrorChanged();
    void filteredRowsChanged(); // after filteredModel's rows changed
    void hasScanResultChanged();
    void settingsErrorChanged();
    void respawnReportChanged();
    void keepersStoppingChanged();
    void onScreenChanged();

private:
    // A port whose keeper was stopped; from the first scan started after the
    // stop, its rows say that it is still held, until a scan lists it no more.
    struct HeldNote {
        QString text;
        quint64 firstScan = 0;
    };

    QVariant lastScanErrorValue() const;
    QVariant killErrorValue() const;
    void setKillErrorValue(const QVariant &value);
    QVariant respawnReportValue() const;
    void setRespawnReportValue(const QVariant &value);

    void setIsLoading(bool loading);
    QFuture<void> startScan(const ScanFunction &scan);
    void applyScan(const ScanResult &result, quint64 serial);
    void watchForRespawn(const StopPlan &plan);
    // After a scan: reports the first respawn found, ends watches whose window
    // has passed; notes the ports still held after a keeper stop.
    bool lookForRespawns();
    bool updateHeldNotes(quint64 serial);
    void keeperStopEnded(const PortEntry &entry, const QString &key,
                         const KeeperStopResult &result);
    void keeperRolesChanged();
    // The rows to show: the last scan's with the closed ones kept in place.
    void updateShown();
    void updateFilteredModel();
    void askAboutFreePort();
    // Ends the row marks whose time has come, and waits for the next.
    void expireRowMarks();
    void scheduleRowMarks();
    // Writes one setting through to the file and stores in m_settingsError
    // whether that worked; true when m_settingsError changed.
    bool writeSetting(const QString &key, const QVariant &value);
    void onTimerTick();

    ScanFunction m_scan;
    ScanFunction m_fullScan;
    std::unique_ptr<QSettings> m_settings;
    std::shared_ptr<KeeperService> m_keepers;
    QThreadPool *m_keeperThreads;
    std::chrono::milliseconds m_respawnWindow;

    bool m_autoRefreshEnabled = true;
    double m_refreshInterval = defaultRefreshInterval;
    PortEntryList m_entries;
    bool m_isLoading = false;
    bool m_hasScanResult = false;
    std::optional<QString> m_lastScanError;
    QString m_scanNotice;
    StopSession m_session;
    QString m_searchText;
    std::optional<KillMessage> m_killError;
    std::optional<RespawnReport> m_respawnReport;
    QStringList m_keepersStopping;
    // By "protocol/port"; shown in the rows through m_rowNotes.
    QHash<QString, HeldNote> m_heldNotes;
    QHash<QString, QString> m_rowNotes;
    quint64 m_scansStarted = 0;
    quint64 m_scanShown = 0; // the serial of the scan whose rows are shown
    QString m_settingsError;
    QTimer m_timer;
    bool m_onScreen = true;
    // A scan started by a tick is still running: the next tick waits for it
    // rather than pile up lsof runs behind a slow or hung one.
    bool m_tickScanRunning = false;
    RowHistory m_history;
    PortEntryList m_shown;
    QTimer m_rowMarkTimer;
    PortListModel *m_filteredModel;
    FreePortAnswer m_freePort;
};
