#pragma once

#include "model/PortEntry.h"

#include <QAbstractListModel>

// A list model over port entries whose rows keep their identity (the entry's
// id) across updates: setEntries() removes, inserts, moves and changes rows
// instead of resetting, and emits nothing when the list is unchanged. Only a
// list with repeated ids, which a merged scan never gives, is taken by a reset.
class PortListModel : public QAbstractListModel
{
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
    };
    Q_ENUM(Role)

    explicit PortListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return int(m_entries.size()); }
    const PortEntryList &entries() const { return m_entries; }
    void setEntries(const PortEntryList &entries);

signals:
    void countChanged();

private:
    PortEntryList m_entries;
    bool m_idsUnique = true; // false only after a reset to a list with repeated ids
};
