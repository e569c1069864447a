#include "viewmodel/PortListModel.h"

#include "model/DisplayText.h"
#include "stop/StopRules.h"
#include "stop/StopText.h"

#include <QSet>
#include <algorithm>
#include <utility>

PortListModel::PortListModel(QObject *parent)
    : QAbstractListModel(parent) {}

int PortListModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : count();
}

int PortListModel::count() const {
    if (!m_walking)
        return int(m_entries.size());
    return int(m_prefix + m_done.size() + m_rest.size() + m_suffix);
}

const PortEntry &PortListModel::row(int row) const {
    if (!m_walking || row < m_prefix)
        return m_entries.at(row);
    qsizetype at = row - m_prefix;
    if (at < m_done.size())
        return m_done.at(at);
    at -= m_done.size();
    if (at < m_rest.size())
        return m_rest.at(at);
    return m_entries.at(m_entries.size() - m_suffix + (at - m_rest.size()));
}

QVariant PortListModel::data(const QModelIndex &index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const PortEntry &e = row(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case IdRole:
        return e.id();
    case EntryRole:
        return QVariant::fromValue(e);
    case PidRole:
        return e.pid;
    case ProcessNameRole:
        return escapeControlCharacters(e.processName);
    case UserRole:
        return escapeControlCharacters(e.user);
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
    case SelectedRole:
        return m_selectedRow >= 0 && e.key() == m_selected.key();
    case StopStageRole:
        return m_stopStages &&
                       m_stopStages->next(e.pid, e.process.startTicks) == StopStages::Stage::Force
                   ? QStringLiteral("Force")
                   : QStringLiteral("Kill");
    case StopRefusalRole:
    case StopCommandRole: {
        const std::optional<Refusal> refusal = refusalFor(e, m_selfUid);
        return !refusal ? QString()
                        : escapeControlCharacters(role == StopRefusalRole ? refusal->reason
                                                                          : refusal->command);
    }
    case KeeperActionRole:
        return isStoppableKeeper(e.keeper) ? StopText::keeperAction(e.keeper) : QString();
    case KeeperRestartsRole:
        return e.keeper.restarts() && isStoppableKeeper(e.keeper);
    case KeeperBusyRole:
        return m_keepersStopping && isStoppableKeeper(e.keeper) &&
               m_keepersStopping->contains(keeperKey(e.keeper));
    case NoteRole:
        return m_notes ? m_notes->value(portNoteKey(e)) : QString();
    case FirstSeenRole:
        if (const QDateTime seen = m_history ? m_history->firstSeen(e.id()) : QDateTime();
            seen.isValid())
            return seen;
        return {};
    case IsNewRole:
        return m_history && m_history->isNew(e.id());
    case IsClosedRole:
        return m_history && m_history->isClosed(e.id());
    default:
        return {};
    }
}

QHash<int, QByteArray> PortListModel::roleNames() const {
    return {
        {EntryRole, "entry"},
        {IdRole, "entryId"},
        {PidRole, "pid"},
        {ProcessNameRole, "processName"},
        {UserRole, "user"},
        {NetworkProtocolRole, "networkProtocol"},
        {IpVersionRole, "ipVersion"},
        {AddressRole, "address"},
        {PortRole, "port"},
        {StateRole, "state"},
        {SelectedRole, "selected"},
        {StopStageRole, "stopStage"},
        {StopRefusalRole, "stopRefusal"},
        {StopCommandRole, "stopCommand"},
        {KeeperActionRole, "keeperAction"},
        {KeeperRestartsRole, "keeperRestarts"},
        {KeeperBusyRole, "keeperBusy"},
        {NoteRole, "note"},
        {FirstSeenRole, "firstSeen"},
        {IsNewRole, "isNew"},
        {IsClosedRole, "isClosed"},
    };
}

QString portNoteKey(const PortEntry &entry) {
    return entry.networkProtocol + u'/' + QString::number(entry.port);
}

void PortListModel::everyRowChanged(const QList<int> &roles) {
    if (const int rows = count(); rows > 0)
        emit dataChanged(index(0), index(rows - 1), roles);
}

void PortListModel::updateKeeperState() {
    everyRowChanged({KeeperBusyRole, NoteRole});
}

void PortListModel::updateStopStages() {
    everyRowChanged({StopStageRole});
}

void PortListModel::updateHistory() {
    everyRowChanged({FirstSeenRole, IsNewRole, IsClosedRole});
}

void PortListModel::setEntries(const PortEntryList &next) {
    // Rows equal at both ends stay as they are; only the middle is walked.
    const qsizetype oldSize = m_entries.size();
    const qsizetype nextSize = next.size();
    qsizetype prefix = 0;
    while (prefix < oldSize && prefix < nextSize && m_entries.at(prefix) == next.at(prefix))
        ++prefix;
    if (prefix == oldSize && prefix == nextSize)
        return; // the same list: not a single signal
    qsizetype suffix = 0;
    while (suffix < oldSize - prefix && suffix < nextSize - prefix &&
           m_entries.at(oldSize - 1 - suffix) == next.at(nextSize - 1 - suffix))
        ++suffix;
    const int oldCount = count();
    const qsizetype oldMiddle = oldSize - prefix - suffix;
    const qsizetype nextEnd = nextSize - suffix;

    // The keys refer to the texts of next and m_entries, which both outlive
    // the sets (m_entries is replaced only when they are no longer used).
    QSet<PortEntry::Key> nextKeys, oldKeys;
    nextKeys.reserve(nextEnd - prefix);
    for (qsizetype i = prefix; i < nextEnd; ++i)
        nextKeys.insert(next.at(i).key());
    oldKeys.reserve(oldMiddle);
    for (qsizetype i = prefix; i < prefix + oldMiddle; ++i)
        oldKeys.insert(m_entries.at(i).key());
    if (nextKeys.size() != nextEnd - prefix || oldKeys.size() != oldMiddle) {
        // Rows are matched by id; with an id repeated there is nothing sound
        // to match them by.
        beginResetModel();
        m_entries = next;
        endResetModel();
        if (count() != oldCount)
            emit countChanged();
        findSelection();
        return;
    }

    // One walk down the middle: the rows above `done` already match next, the
    // ones below it are what is left of the old middle. Each step removes a
    // run of gone rows, keeps (and maybe changes) a row, moves a row up, or
    // inserts a run of new rows, always at row `done`. Rows are only appended
    // above and taken off the front below, so however many runs a keystroke
    // in the filter brings, no row is shifted.
    m_walking = true;
    m_prefix = prefix;
    m_suffix = suffix;
    m_rest = m_entries.sliced(prefix, oldMiddle);
    m_done.reserve(nextEnd - prefix);
    qsizetype i = prefix;
    while (i < nextEnd || !m_rest.isEmpty()) {
        const int done = int(prefix + m_done.size());
        if (!m_rest.isEmpty() && !nextKeys.contains(m_rest.front().key())) {
            qsizetype gone = 1;
            while (gone < m_rest.size() && !nextKeys.contains(m_rest.at(gone).key()))
                ++gone;
            beginRemoveRows({}, done, done + int(gone) - 1);
            m_rest.remove(0, gone);
            endRemoveRows();
            continue;
        }
        // Every old row left is in next, so next cannot run out before them.
        Q_ASSERT(i < nextEnd);
        const PortEntry &wanted = next.at(i);
        if (!m_rest.isEmpty() && m_rest.front().key() == wanted.key()) {
            const bool changed = m_rest.front() != wanted;
            m_done.append(wanted); // the same row, now above `done`
            m_rest.removeFirst();
            if (changed)
                emit dataChanged(index(done), index(done));
            ++i;
            continue;
        }
        if (oldKeys.contains(wanted.key())) {
            // Further down: entries with the same port and protocol can trade
            // places between scans. Rare, so the shift in m_rest does not matter.
            qsizetype from = 1;
            while (m_rest.at(from).key() != wanted.key())
                ++from;
            beginMoveRows({}, done + int(from), done + int(from), {}, done);
            m_done.append(m_rest.takeAt(from));
            endMoveRows();
            if (m_done.last() != wanted) {
                m_done.last() = wanted;
                emit dataChanged(index(done), index(done));
            }
            ++i;
            continue;
        }
        qsizetype end = i + 1;
        while (end < nextEnd && !oldKeys.contains(next.at(end).key()))
            ++end;
        beginInsertRows({}, done, done + int(end - i) - 1);
        m_done.append(next.sliced(i, end - i));
        endInsertRows();
        i = end;
    }
    // The rows now read as next does; take its list (shared, not copied).
    m_walking = false;
    m_done = PortEntryList();
    m_rest = PortEntryList();
    m_entries = next;
    if (count() != oldCount)
        emit countChanged();
    findSelection();
}

void PortListModel::findSelection() {
    if (m_selectedRow < 0)
        return;
    const PortEntry::Key key = m_selected.key();
    const auto found = std::find_if(m_entries.cbegin(), m_entries.cend(),
                                    [&](const PortEntry &e) { return e.key() == key; });
    const int row = found == m_entries.cend() ? -1 : int(found - m_entries.cbegin());
    if (row < 0)
        m_selected = PortEntry();
    else
        m_selected = *found; // the same row; its other fields may have changed
    if (std::exchange(m_selectedRow, row) != row)
        emit selectedRowChanged();
}

void PortListModel::setSelectedRow(int row) {
    if (row < 0 || row >= count())
        row = -1;
    if (row == m_selectedRow)
        return;
    const int old = std::exchange(m_selectedRow, row);
    m_selected = row < 0 ? PortEntry() : m_entries.at(row);
    const QList<int> roles{SelectedRole};
    if (old >= 0)
        emit dataChanged(index(old), index(old), roles);
    if (row >= 0)
        emit dataChanged(index(row), index(row), roles);
    emit selectedRowChanged();
}

int PortListModel::moveSelection(int step) {
    const int rows = count();
    if (rows == 0)
        return -1;
    const int next = m_selectedRow < 0 ? (step > 0 ? 0 : rows - 1)
                                       : std::clamp(m_selectedRow + step, 0, rows - 1);
    setSelectedRow(next);
    return next;
}

PortEntry PortListModel::entryAt(int row) const {
    return row >= 0 && row < count() ? m_entries.at(row) : PortEntry();
}
