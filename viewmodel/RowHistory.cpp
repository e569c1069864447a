#include "viewmodel/RowHistory.h"

#include <algorithm>
#include <utility>

bool RowHistory::take(const PortEntryList &live, bool onScreen, const QDateTime &wallNow,
                      Clock::time_point now) {
    QHash<QString, qsizetype> next;
    next.reserve(live.size());
    for (qsizetype i = 0; i < live.size(); ++i)
        next.insert(live.at(i).id(), i);
    const QHash<QString, qsizetype> before = std::exchange(m_live, std::move(next));
    const PortEntryList beforeRows = std::exchange(m_liveRows, live);
    if (!std::exchange(m_started, true))
        return false;
    bool changed = false;
    for (auto row = m_live.cbegin(); row != m_live.cend(); ++row) {
        if (before.contains(row.key()))
            continue;
        // Back on the same id while still shown as closed is a new opening
        // too: the row stops being closed and is new instead.
        changed |= m_closed.remove(row.key());
        m_firstSeen.insert(row.key(), wallNow);
        markNew(row.key(), onScreen, now);
    }
    for (auto row = before.cbegin(); row != before.cend(); ++row) {
        if (m_live.contains(row.key()))
            continue;
        m_newUntil.remove(row.key());
        m_newWhenShown.remove(row.key());
        if (closedFor > std::chrono::milliseconds::zero()) {
            m_closed.insert(row.key(), {beforeRows.at(row.value()), now + closedFor});
            changed = true;
        } else {
            m_firstSeen.remove(row.key());
        }
    }
    return changed;
}

void RowHistory::markNew(const QString &id, bool onScreen, Clock::time_point now) {
    if (newFor <= std::chrono::milliseconds::zero())
        return;
    if (onScreen)
        m_newUntil.insert(id, now + newFor);
    else
        m_newWhenShown.insert(id);
}

bool RowHistory::setOnScreen(bool onScreen, Clock::time_point now) {
    if (!onScreen || m_newWhenShown.isEmpty())
        return false;
    for (const QString &id : std::as_const(m_newWhenShown))
        m_newUntil.insert(id, now + newFor);
    m_newWhenShown.clear();
    return true;
}

bool RowHistory::expire(Clock::time_point now) {
    const qsizetype marks = m_newUntil.size() + m_closed.size();
    m_newUntil.removeIf([now](const auto &mark) { return mark.value() <= now; });
    m_closed.removeIf([&](const auto &closed) {
        if (closed.value().until > now)
            return false;
        m_firstSeen.remove(closed.key());
        return true;
    });
    return m_newUntil.size() + m_closed.size() != marks;
}

std::optional<RowHistory::Clock::time_point> RowHistory::nextExpiry() const {
    std::optional<Clock::time_point> next;
    const auto consider = [&](Clock::time_point until) {
        if (!next || until < *next)
            next = until;
    };
    for (const Clock::time_point until : m_newUntil)
        consider(until);
    for (const Closed &closed : m_closed)
        consider(closed.until);
    return next;
}

PortEntryList RowHistory::withClosedRows(const PortEntryList &live,
                                         const PortEntryList &before) const {
    if (m_closed.isEmpty())
        return live;
    // Each closed row goes after the live row it last followed ("" for the
    // top), several after one in the order they had: so no row moves when
    // one above or below it closes.
    QHash<QString, PortEntryList> after;
    QString anchor;
    for (const PortEntry &e : before) {
        QString id = e.id();
        if (const auto closed = m_closed.constFind(id); closed != m_closed.cend())
            after[anchor].append(closed->entry);
        else if (m_live.contains(id))
            anchor = std::move(id);
    }
    PortEntryList shown = after.value(QString());
    shown.reserve(live.size() + m_closed.size());
    for (const PortEntry &e : live) {
        shown.append(e);
        if (const auto closed = after.constFind(e.id()); closed != after.cend())
            shown.append(*closed);
    }
    return shown;
}
