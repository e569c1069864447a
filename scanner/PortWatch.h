#pragma once

#include "scanner/ChangeCheck.h"
#include "scanner/PortEvent.h"
#include "scanner/SocketCloseWatch.h"

#include <QObject>
#include <QSet>
#include <QTimer>
#include <chrono>

// Follows the rows over time and tells which opened and which closed, for a
// watch that runs for hours: every poll it reads only the kernel's socket
// table (the sockets on the watched ports), and it asks its change check for
// the rows when that moved since its last look, when the kernel announces
// that a listed socket closed, when asked to, and every refresh interval
// (which catches what the table cannot show, and retries a scan that
// failed). One look at a time: a poll or a call that comes while one is under
// way is folded into one look after it. A look that the table asks for waits
// after the last one four times as long as that one took, so that a machine
// whose sockets come and go all the time (UDP clients) spends at most a fifth
// of its time on lsof for the watch.
class PortWatch : public QObject {
    Q_OBJECT

public:
    struct Options {
        std::chrono::milliseconds poll{1000};
        // 0: no look but those the table or a close asks for, once the first
        // scan stood (which is retried every defaultRefresh).
        std::chrono::milliseconds refresh{5000};
        // Whether the kernel's announcements of closed sockets bring a look
        // at once (SocketCloseWatch); off for a test's staged table.
        bool closeWatch = true;
    };
    static constexpr std::chrono::milliseconds defaultRefresh{5000};

    PortWatch(ChangeCheck &check, Options options, QObject *parent = nullptr);

    // The first look is the baseline: the rows already there are no events.
    void start();
    // Stops the polls; a look under way is forgotten. start() takes a new baseline.
    void stop();
    // Events only for rows on these ports; every port where empty.
    void setPorts(QSet<qint64> ports);
    void setPoll(std::chrono::milliseconds poll);
    void setRefresh(std::chrono::milliseconds refresh) { m_options.refresh = refresh; }
    bool isRunning() const { return m_timer.isActive(); }
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
    // The table's sockets on the watched ports; none where it cannot be read.
    std::optional<QList<KernelSocket>> watchedSockets() const;
    void watchCloses();

    ChangeCheck &m_check;
    Options m_options;
    SocketCloseWatch *m_closes = nullptr;
    // What the table showed on the watched ports when the last look began;
    // none before, or where it could not be read.
    std::optional<QList<KernelSocket>> m_seen;
    std::chrono::steady_clock::time_point m_lookEnded;
    std::chrono::steady_clock::duration m_lookTook{};
    QTimer m_timer;
    QSet<qint64> m_ports;
    PortEntryList m_entries;
    bool m_ready = false;
    bool m_looking = false;
    bool m_again = false;     // a look was asked for while one was under way
    quint64 m_generation = 0; // a look from before stop() is forgotten
    std::chrono::steady_clock::time_point m_lastLook;
};
