#pragma once

#include "model/PortEntry.h"
#include "process/StopStages.h"
#include "viewmodel/RowHistory.h"

#include <QAbstractListModel>

// A list model over port entries whose rows keep their identity (the entry's
// id) across updates: setEntries() removes, inserts, moves and changes rows
// instead of resetting, and emits nothing when the list is unchanged. Only a
// list with repeated ids, which a merged scan never gives, is taken by a reset.
// An update costs one comparison pass plus work in proportion to the rows
// between the first and the last difference.
//
// It also keeps the selection: the row the keyboard acts on. The selection
// is a row, not a place in the list: it follows its entry as rows come and go
// above it, and when its entry goes, nothing is selected (a stop must not
// pass to the row that moves up into its place).
class PortListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    // The selected row, or -1. Writing a row outside the list selects nothing.
    Q_PROPERTY(int selectedRow READ selectedRow WRITE setSelectedRow NOTIFY selectedRowChanged)

public:
    // The text roles are ready to show: every name from outside in them is
    // escaped. The entry is the row as scanned, to act on, not to show.
    enum Role {
        EntryRole = Qt::UserRole + 1,
        IdRole,
        PidRole,
        ProcessNameRole,
        UserRole,
        NetworkProtocolRole,
        IpVersionRole,
        AddressRole,
        PortRole,
        StateRole,
        SelectedRole,
        // "Kill" or "Force": the signal the row's stop button sends next,
        // SIGTERM or SIGKILL, to the very process the row lists.
        StopStageRole,
        // Why the row's process is not stopped here (another user's, the
        // container engine's, or no certain process), and what would stop it;
        // empty where the stop button stops it. Both to be shown, escaped as
        // every text role is: the clipboard takes the command from
        // PortListViewModel::stopCommand.
        StopRefusalRole,
        StopCommandRole,
        // "Stop Service", "Stop Container" or "": the keeper stop the row offers.
        KeeperActionRole,
        // The keeper would start the process again after a kill, so the
        // row's stop control offers the keeper's stop beside it.
        KeeperRestartsRole,
        // A stop of the row's keeper is under way.
        KeeperBusyRole,
        // What the row says about its port beyond its fields ("still held
        // after … stopped"); empty mostly.
        NoteRole,
        // When this program first saw the row (a QDateTime), or null for a
        // row that was there when it started.
        FirstSeenRole,
        // The row appeared a moment ago, or since the list was last on screen.
        IsNewRole,
        // The row's socket went: it is shown a little longer, not to be stopped.
        IsClosedRole,
    };
    Q_ENUM(Role)

    explicit PortListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const;
    // The rows; complete except while setEntries() is reporting its changes.
    const PortEntryList &entries() const { return m_entries; }
    void setEntries(const PortEntryList &entries);

    int selectedRow() const { return m_selectedRow; }
    void setSelectedRow(int row);
    // Moves the selection by step rows, staying inside the list; from no
    // selection, down starts at the first row and up at the last. Gives the
    // row now selected (-1 for an empty list).
    Q_INVOKABLE int moveSelection(int step);
    // The entry of a row; an empty entry outside the list.
    Q_INVOKABLE PortEntry entryAt(int row) const;
    // Where the rows' stopStage comes from; it must outlive the model.
    void setStopStages(const StopStages *stages) { m_stopStages = stages; }
    // Whose processes the rows' stops may signal.
    void setSelfUid(qint64 uid) { m_selfUid = uid; }
    // Reports the stopStage of every row as changed: call after the stages changed.
    void updateStopStages();
    // Where keeperBusy and note come from: the keys of the keepers being
    // stopped and the notes by "protocol/port". Both must outlive the model.
    void setKeeperState(const QStringList *stopping, const QHash<QString, QString> *notes) {
        m_keepersStopping = stopping;
        m_notes = notes;
    }
    // Reports keeperBusy and note of every row as changed.
    void updateKeeperState();
    // Where firstSeen, isNew and isClosed come from; it must outlive the model.
    void setHistory(const RowHistory *history) { m_history = history; }
    // Reports those three of every row as changed.
    void updateHistory();

signals:
    void countChanged();
    void selectedRowChanged();

private:
    const PortEntry &row(int row) const;
    void everyRowChanged(const QList<int> &roles);
    // After an update: the selected entry's row now, or no selection.
    void findSelection();

    PortEntryList m_entries;
    const StopStages *m_stopStages = nullptr;
    qint64 m_selfUid = -1;
    const QStringList *m_keepersStopping = nullptr;
    const QHash<QString, QString> *m_notes = nullptr;
    const RowHistory *m_history = nullptr;
    // While setEntries() reports its changes, the rows are: the first
    // m_prefix rows of m_entries, m_done (middle rows already matching the
    // new list), m_rest (middle rows of the old list not yet dealt with), and
    // the last m_suffix rows of m_entries. m_entries itself is replaced only
    // at the end.
    bool m_walking = false;
    qsizetype m_prefix = 0;
    qsizetype m_suffix = 0;
    PortEntryList m_done;
    PortEntryList m_rest;

    // The selected entry (valid while m_selectedRow >= 0) and its row.
    PortEntry m_selected;
    int m_selectedRow = -1;
};

// The key of a row's port among the notes: "TCP/8080".
QString portNoteKey(const PortEntry &entry);
