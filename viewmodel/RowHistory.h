#pragma once

#include "model/PortEntry.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <chrono>
#include <optional>

// What the panel remembers of its rows beyond the last scan: when this program
// first saw each one, which are new (appeared since the list was last on
// screen, or a moment ago while it is), and the rows that went, kept for a
// while so that the eye can follow what closed. Rows are told apart by their
// id. Only scans that listed something are taken: a failed scan closes nothing.
class RowHistory {
public:
    using Clock = std::chrono::steady_clock;

    // How long a row stays marked new once it is on screen, and how long a
    // row that went stays shown as closed; zero turns either mark off.
    std::chrono::milliseconds newFor{8000};
    std::chrono::milliseconds closedFor{4000};

    // Takes the rows of a scan that worked. The first scan's rows were there
    // when the program started: they have no time and are not new. Gives
    // whether the marks changed of a row that was in the list before and
    // stays (it closed, or came back while closed); rows that come or go
    // have theirs when they are inserted.
    bool take(const PortEntryList &live, bool onScreen, const QDateTime &wallNow,
              Clock::time_point now);
    // Rows that appeared while no window showed them start their new mark
    // when one does.
    bool setOnScreen(bool onScreen, Clock::time_point now);
    // Ends the marks whose time has passed; gives whether any did.
    bool expire(Clock::time_point now);
    // When the next mark ends, if any is under way.
    std::optional<Clock::time_point> nextExpiry() const;

    // live with the closed rows kept where they were in before (the list
    // shown until now), each after the row it followed.
    PortEntryList withClosedRows(const PortEntryList &live, const PortEntryList &before) const;

    bool hasClosedRows() const { return !m_closed.isEmpty(); }
    // Invalid for a row that was there when the program started.
    QDateTime firstSeen(const QString &id) const { return m_firstSeen.value(id); }
    bool isNew(const QString &id) const { return m_newUntil.contains(id); }
    bool isClosed(const QString &id) const { return m_closed.contains(id); }

private:
    struct Closed {
        PortEntry entry;
        Clock::time_point until;
    };

    void markNew(const QString &id, bool onScreen, Clock::time_point now);

    bool m_started = false;
    // The last scan's rows (shared with the caller's list, not copied), and
    // where each id is among them.
    PortEntryList m_liveRows;
    QHash<QString, qsizetype> m_live;

    QHash<QString, QDateTime> m_firstSeen;
    QHash<QString, Clock::time_point> m_newUntil;
    QSet<QString> m_newWhenShown; // appeared while no window was on screen
    QHash<QString, Closed> m_closed;
};
