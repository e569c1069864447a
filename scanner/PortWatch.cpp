#include "scanner/PortWatch.h"

#include <QFutureWatcher>
#include <algorithm>
#include <utility>

PortWatch::PortWatch(ChangeCheck &check, Options options, QObject *parent)
    : QObject(parent)
    , m_check(check)
    , m_options(options) {
    m_timer.setInterval(m_options.poll);
    connect(&m_timer, &QTimer::timeout, this, &PortWatch::poll);
}

void PortWatch::setPorts(QSet<qint64> ports) {
    m_ports = std::move(ports);
    // What the table showed on the other ports is no baseline for these.
    m_seen.reset();
    if (m_ready)
        watchCloses();
}

void PortWatch::setPoll(std::chrono::milliseconds poll) {
    m_options.poll = poll;
    m_timer.setInterval(poll);
}

std::optional<QList<KernelSocket>> PortWatch::watchedSockets() const {
    std::optional<QList<KernelSocket>> sockets = m_check.readSockets();
    if (sockets && !m_ports.isEmpty())
        sockets->removeIf([this](const KernelSocket &s) { return !m_ports.contains(s.port); });
    return sockets;
}

void PortWatch::watchCloses() {
    if (!m_closes || !m_closes->isActive())
        return;
    QSet<quint64> inodes;
    for (const PortEntry &row : std::as_const(m_entries)) {
        if (m_ports.isEmpty() || m_ports.contains(row.port))
            inodes.unite(QSet<quint64>(row.inodes.cbegin(), row.inodes.cend()));
    }
    m_closes->setInodes(std::move(inodes));
}

void PortWatch::start() {
    stop();
    m_ready = false;
    m_entries.clear();
    // Only while it runs: the kernel wakes a member of its groups for every
    // UDP socket that closes, which a program at rest has no use for.
    if (m_options.closeWatch) {
        m_closes = new SocketCloseWatch(this);
        connect(m_closes, &SocketCloseWatch::closed, this, &PortWatch::checkNow);
        // Announcements were lost: only a look can tell what closed.
        connect(m_closes, &SocketCloseWatch::overrun, this, &PortWatch::checkNow);
    }
    m_timer.start();
    look();
}

void PortWatch::stop() {
    m_timer.stop();
    delete std::exchange(m_closes, nullptr);
    ++m_generation;
    m_looking = false;
    m_again = false;
}

void PortWatch::checkNow() {
    if (m_timer.isActive())
        look();
}

void PortWatch::poll() {
    // The look under way read the table when it began; when it ends, the
    // next poll compares against what it found.
    if (m_looking)
        return;
    // Before the first scan stood there is nothing the table could have
    // moved from, nor where it cannot be read: the refresh interval tries.
    const auto now = std::chrono::steady_clock::now();
    const auto every = m_options.refresh.count() > 0 ? m_options.refresh : defaultRefresh;
    const std::optional<QList<KernelSocket>> sockets =
        m_ready ? watchedSockets() : std::optional<QList<KernelSocket>>();
    if (!sockets) {
        if (now - m_lastLook >= every)
            look();
        return;
    }
    if (m_options.refresh.count() > 0 && now - m_lastLook >= m_options.refresh)
        look();
    else if (sockets != m_seen && now - m_lookEnded >= 4 * m_lookTook)
        look();
}

void PortWatch::look() {
    if (m_looking) {
        m_again = true;
        return;
    }
    m_looking = true;
    m_again = false;
    // Read before the look's own, so that what moves while it runs shows
    // at the next poll.
    m_seen = watchedSockets();
    m_lastLook = std::chrono::steady_clock::now();
    const quint64 generation = m_generation;
    // A watcher of this object's, not a continuation: one whose object went
    // away first would still be called.
    auto *watcher = new QFutureWatcher<ScanResult>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        if (generation != m_generation)
            return;
        m_looking = false;
        m_lookEnded = std::chrono::steady_clock::now();
        m_lookTook = m_lookEnded - m_lastLook;
        take(watcher->result());
        watchCloses();
        if (m_again && generation == m_generation)
            look();
    });
    // The first look too may stand on a full scan that another user of the
    // check (the panel) has just made.
    watcher->setFuture(m_check.refresh());
}

void PortWatch::take(const ScanResult &result) {
    // A failed scan lists nothing, which must not read as every port closed.
    if (result.errorText) {
        // What the table showed then is still to be looked at.
        m_seen.reset();
        emit scanFailed(*result.errorText);
        return;
    }
    if (!m_ready) {
        m_entries = result.entries;
        m_ready = true;
        emit ready();
        return;
    }
    const PortEventList found = changes(result.entries);
    m_entries = result.entries;
    if (!found.isEmpty())
        emit events(found);
}

PortEventList PortWatch::changes(const PortEntryList &rows) const {
    // A row by its id, unless its sockets were all replaced: the port was
    // closed and bound again between two looks (by the same process), which
    // is a close and an open.
    const auto ids = [](const PortEntryList &list) {
        QHash<QString, const PortEntry *> byId;
        byId.reserve(list.size());
        for (const PortEntry &row : list)
            byId.insert(row.id(), &row);
        return byId;
    };
    const auto same = [](const PortEntry &a, const PortEntry *b) {
        return b && (a.inodes.isEmpty() || b->inodes.isEmpty() ||
                     std::any_of(a.inodes.cbegin(), a.inodes.cend(),
                                 [&](quint64 inode) { return b->inodes.contains(inode); }));
    };
    const QHash<QString, const PortEntry *> before = ids(m_entries), after = ids(rows);
    const QDateTime time = QDateTime::currentDateTime();
    PortEventList found;
    const auto add = [&](const PortEntryList &list, const QHash<QString, const PortEntry *> &other,
                         PortEvent::Kind kind) {
        for (const PortEntry &row : list) {
            if ((m_ports.isEmpty() || m_ports.contains(row.port)) &&
                !same(row, other.value(row.id())))
                found.append(PortEvent{kind, row, time});
        }
    };
    add(m_entries, after, PortEvent::Kind::Closed);
    add(rows, before, PortEvent::Kind::Opened);
    return found;
}
