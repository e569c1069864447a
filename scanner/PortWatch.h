#pragma once

#include "scanner/ChangeCheck.h"
#include "scanner/PortEvent.h"

#include <QObject>
#include <QSet>
#include <QTimer>
#include <chrono>

// Follows the rows over time and tells which opened and which closed, for a
// watch that runs for hours: every poll it reads only the kernel's socket
// table, and it asks its change check for the rows when the table moved, when
// asked to, and every refresh interval (which catches what the table cannot
// show, and retries a scan that failed). One look at a time: a poll or a call
// that comes while one is under way is folded into one look after it.
class PortWatch : public QObject {
    Q_OBJECT

public:
    struct Options {
        std::chrono::milliseconds poll{1000};
        std::chrono::milliseconds refresh{5000};
    };

    PortWatch(ChangeCheck &check, Options options, QObject *parent = nullptr);

    // A first full scan is the baseline: the rows already there are no events.
    void start();
    // Stops the polls; a look under way is forgotten. start() takes a new baseline.
    void stop();
    // Events only for rows on these ports; every port where empty.
    void setPorts(QSet<qint64> ports) { m_ports = std::move(ports); }
    // A look now (or right after the one under way), for a close the kernel
    // announced.
    void checkNow();

    // Every row of the last look, whatever the ports.
    const PortEntryList &entries() const { return m_entries; }
    bool isReady() const { return m_ready; }

signals:
    // The rows that opened or closed since the last look (a row whose
    // sockets were all replaced did both): the closed ones first (a port that
    // passed to another holder closed before it opened), each in the order of
    // its list. Never empty.
    void events(const PortEventList &events);
    void ready();
    // The look failed; the rows stay as they were. Before ready(), the next
    // refresh interval tries the first scan again.
    void scanFailed(const QString &text);

private:
    void poll();
    void look();
    void take(const ScanResult &result);
    PortEventList changes(const PortEntryList &rows) const;

    ChangeCheck &m_check;
    const Options m_options;
    QTimer m_timer;
    QSet<qint64> m_ports;
    PortEntryList m_entries;
    bool m_ready = false;
    bool m_looking = false;
    bool m_again = false;     // a look was asked for while one was under way
    quint64 m_generation = 0; // a look from before stop() is forgotten
    std::chrono::steady_clock::time_point m_lastLook;
};
