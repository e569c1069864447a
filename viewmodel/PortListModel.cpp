#include "viewmodel/PortListModel.h"

#include <QSet>

PortListModel::PortListModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

int PortListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant PortListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const PortEntry &e = m_entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case IdRole:
        return e.id();
    case EntryRole:
        return QVariant::fromValue(e);
    case PidRole:
        return e.pid;
    case ProcessNameRole:
        return e.processName;
    case UserRole:
        return e.user;
    case NetworkProtocolRole:
        return e.networkProtocol;
    case IpVersionRole:
        return e.ipVersion;
    case AddressRole:
        return e.address;
    case PortRole:
        return e.port;
    case StateRole:
        return e.state;
    default:
        return {};
    }
}

QHash<int, QByteArray> PortListModel::roleNames() const
{
    return {
        {EntryRole, "entry"},         {IdRole, "entryId"},
        {PidRole, "pid"},             {ProcessNameRole, "processName"},
        {UserRole, "user"},           {NetworkProtocolRole, "networkProtocol"},
        {IpVersionRole, "ipVersion"}, {AddressRole, "address"},
        {PortRole, "port"},           {StateRole, "state"},
    };
}

void PortListModel::setEntries(const PortEntryList &next)
{
    if (next == m_entries)
        return;
    const int oldCount = count();

    // 1. Remove the rows whose id is gone, in contiguous runs from the end.
    QSet<QString> nextIds;
    nextIds.reserve(next.size());
    for (const PortEntry &e : next)
        nextIds.insert(e.id());
    if (nextIds.size() != next.size() || !m_idsUnique) {
        // Rows are matched by id; with an id repeated there is nothing sound to
        // match them by, and the walk below would run past the end.
        beginResetModel();
        m_entries = next;
        m_idsUnique = nextIds.size() == next.size();
        endResetModel();
        if (count() != oldCount)
            emit countChanged();
        return;
    }
    for (qsizetype last = m_entries.size() - 1; last >= 0;) {
        if (nextIds.contains(m_entries.at(last).id())) {
            --last;
            continue;
        }
        qsizetype first = last;
        while (first > 0 && !nextIds.contains(m_entries.at(first - 1).id()))
            --first;
        beginRemoveRows({}, int(first), int(last));
        m_entries.remove(first, last - first + 1);
        endRemoveRows();
        last = first - 1;
    }

    // 2. Walk the new list: keep, change, move or insert each row in place.
    // The old rows that remain are a subsequence of the new list in the usual
    // case (both sorted by port), so moves are rare and found close by.
    QSet<QString> remaining;
    remaining.reserve(m_entries.size());
    for (const PortEntry &e : std::as_const(m_entries))
        remaining.insert(e.id());
    for (qsizetype i = 0; i < next.size(); ++i) {
        const PortEntry &wanted = next.at(i);
        const QString id = wanted.id();
        if (i < m_entries.size() && m_entries.at(i).id() == id) {
            if (m_entries.at(i) != wanted) {
                m_entries[i] = wanted;
                const QModelIndex changed = index(int(i));
                emit dataChanged(changed, changed);
            }
            continue;
        }
        if (remaining.contains(id)) {
            qsizetype from = i + 1;
            while (m_entries.at(from).id() != id)
                ++from;
            beginMoveRows({}, int(from), int(from), {}, int(i));
            m_entries.move(from, i);
            endMoveRows();
            if (m_entries.at(i) != wanted) {
                m_entries[i] = wanted;
                const QModelIndex changed = index(int(i));
                emit dataChanged(changed, changed);
            }
            continue;
        }
        // A run of new rows goes in with one insert.
        qsizetype end = i + 1;
        while (end < next.size() && !remaining.contains(next.at(end).id()))
            ++end;
        beginInsertRows({}, int(i), int(end - 1));
        m_entries.insert(i, end - i, PortEntry());
        std::copy(next.begin() + i, next.begin() + end, m_entries.begin() + i);
        endInsertRows();
        i = end - 1;
    }
    Q_ASSERT(m_entries == next);
    if (count() != oldCount)
        emit countChanged();
}
