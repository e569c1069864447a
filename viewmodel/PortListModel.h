#pragma once

#include "model/PortEntry.h"
#include "process/StopStages.h"

#include <QAbstractListModel>

// A list model over port entries whose rows keep their identity (the entry's
// id) across updates: setEntries() removes, inserts, moves and changes rows
// instead of resetting, and emits nothing when the list is unchanged. Only a
// list with repeated ids, which a merged scan never gives, is taken by a reset.
// An update costs one comparison pass plus work in proportion to the rows
// between the first and the last difference.
class PortListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
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
        // "Kill" or "Force": the signal the row's stop button sends next,
        // SIGTERM or SIGKILL, to the very process the row lists.
        StopStageRole,
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

    // Where the rows' stopStage comes from; it must outlive the model.
    void setStopStages(const StopStages *stages) { m_stopStages = stages; }
    // Reports the stopStage of every row as changed: call after the stages changed.
    void updateStopStages();

signals:
    void countChanged();

private:
    const PortEntry &row(int row) const;

    PortEntryList m_entries;
    const StopStages *m_stopStages = nullptr;
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
};
