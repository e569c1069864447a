#include "scanner/ChangeCheck.h"

#include <QMutex>
#include <QPromise>
#include <QSet>
#include <algorithm>
#include <tuple>

namespace {

// The order of a fingerprint: every field it keeps, the inode first.
bool fingerprintOrder(const KernelSocket &a, const KernelSocket &b) {
    const auto fields = [](const KernelSocket &s) {
        return std::tie(s.inode, s.protocol, s.ipv6, s.address, s.port, s.uid);
    };
    return fields(a) < fields(b);
}

} // namespace

struct ChangeCheck::State {
    State(PortScanner s, Options o)
        : scanner(std::move(s))
        , options(withClock(std::move(o))) {}

    // Options made by hand may leave the clock out.
    static Options withClock(Options o) {
        if (!o.now)
            o.now = [] { return std::chrono::steady_clock::now(); };
        return o;
    }

    const PortScanner scanner;
    const Options options;

    QMutex mutex;
    // The last full scan that may stand for a refresh, and what it depended on.
    std::optional<ScanResult> rows;
    QList<KernelSocket> sockets;
    QHash<qint32, quint64> startTicks;
    std::chrono::steady_clock::time_point started;
    quint64 generation = 0; // counts the changes of the rows above

    std::optional<ScanResult> unchanged(const std::optional<QList<KernelSocket>> &now,
                                        std::chrono::steady_clock::time_point time) {
        if (!now)
            return std::nullopt;
        QHash<qint32, quint64> processes;
        std::optional<ScanResult> result;
        quint64 baseline = 0;
        bool closedOnly = false;
        {
            QMutexLocker lock(&mutex);
            if (!rows || time - started >= options.fullScanFloor)
                return std::nullopt;
            if (*now != sockets) {
                // Sockets that only went away take their rows with them; the
                // rest of the rows stand. Anything that opened may be a
                // process this program has not seen: lsof must name it.
                closedOnly = std::includes(sockets.cbegin(), sockets.cend(), now->cbegin(),
                                           now->cend(), fingerprintOrder);
                if (!closedOnly)
                    return std::nullopt;
            }
            processes = startTicks;
            result = rows;
            baseline = generation;
        }
        if (closedOnly && !dropClosed(result->entries, *now, processes))
            return std::nullopt;
        // A pid that passed to another process would leave its row naming the
        // wrong process, which a stop would then signal.
        for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
            const StatReading reading = options.proc.read(it.key());
            if (!reading.stat || reading.stat->startTicks != it.value())
                return std::nullopt;
        }
        if (closedOnly) {
            // The rows left stand on this table from now on, so that the next
            // refresh and tableMoved() compare against it. The full scan's
            // time stays: what the table cannot show is no fresher.
            QMutexLocker lock(&mutex);
            if (generation == baseline) {
                rows->entries = result->entries;
                sockets = *now;
                startTicks = processes;
                ++generation;
            }
        }
        result->kind = ScanResult::Kind::Unchanged;
        return result;
    }

    // Drops the rows whose every socket is gone from the table now, and the
    // gone sockets from the rows that keep another (one of folded IPv4/IPv6
    // twins); processes keeps the pids of the rows left. False where a row
    // without known sockets leaves it open whether it went.
    static bool dropClosed(PortEntryList &entries, const QList<KernelSocket> &now,
                           QHash<qint32, quint64> &processes) {
        QSet<quint64> open;
        open.reserve(now.size());
        for (const KernelSocket &s : now)
            open.insert(s.inode);
        for (PortEntry &row : entries) {
            if (row.inodes.isEmpty())
                return false;
            row.inodes.removeIf([&](quint64 inode) { return !open.contains(inode); });
        }
        entries.removeIf([](const PortEntry &row) { return row.inodes.isEmpty(); });
        QSet<qint32> pidsLeft;
        for (const PortEntry &row : std::as_const(entries))
            pidsLeft.insert(row.pid);
        processes.removeIf(
            [&](QHash<qint32, quint64>::iterator it) { return !pidsLeft.contains(it.key()); });
        return true;
    }

    void store(const ScanResult &result, const std::optional<QList<KernelSocket>> &table,
               std::chrono::steady_clock::time_point time) {
        // A scan missing other users' sockets would stay without them. A
        // start time the scan could not read (0) matches no live process.
        const bool reusable =
            table && !result.errorText &&
            !(result.notice && result.notice->startsWith(PortScanner::socketTableNotice()));
        QHash<qint32, quint64> processes;
        for (const PortEntry &row : result.entries) {
            if (row.pid > 0)
                processes.insert(row.pid, row.process.startTicks);
        }
        QMutexLocker lock(&mutex);
        // A slower scan that started earlier must not replace a later one.
        if (rows && time < started)
            return;
        if (!reusable) {
            rows.reset();
            ++generation;
            return;
        }
        rows = result;
        rows->kind = ScanResult::Kind::Full;
        ++generation;
        sockets = *table;
        startTicks = std::move(processes);
        started = time;
    }
};

ChangeCheck::Options ChangeCheck::defaultOptions() {
    return Options{PortScanner::defaultSocketTableRead(), StatReader(), {}, defaultFullScanFloor};
}

ChangeCheck::ChangeCheck(PortScanner scanner)
    : ChangeCheck(std::move(scanner), defaultOptions()) {}

ChangeCheck::ChangeCheck(PortScanner scanner, Options options)
    : m_state(std::make_shared<State>(std::move(scanner), std::move(options))) {
    m_pool.setMaxThreadCount(1);
    m_pool.setObjectName(QStringLiteral("change check"));
}

ChangeCheck::~ChangeCheck() {
    m_pool.waitForDone();
}

QFuture<ScanResult> ChangeCheck::refresh() {
    return start(true);
}

QFuture<ScanResult> ChangeCheck::fullScan() {
    return start(false);
}

std::optional<QList<KernelSocket>> ChangeCheck::fingerprint(const SocketTableResult &table) {
    if (table.source == SocketTableResult::Source::None || table.errorText)
        return std::nullopt;
    QList<KernelSocket> sockets = table.sockets;
    for (KernelSocket &s : sockets)
        s.cgroupId = 0;
    std::sort(sockets.begin(), sockets.end(), fingerprintOrder);
    return sockets;
}

std::optional<QList<KernelSocket>> ChangeCheck::readSockets() const {
    if (!m_state->options.readTable)
        return std::nullopt;
    return fingerprint(m_state->options.readTable());
}

bool ChangeCheck::tableMoved() const {
    const std::optional<QList<KernelSocket>> now = readSockets();
    if (!now)
        return false;
    QMutexLocker lock(&m_state->mutex);
    return m_state->rows && *now != m_state->sockets;
}

QFuture<ScanResult> ChangeCheck::start(bool mayReuse) {
    auto promise = std::make_shared<QPromise<ScanResult>>();
    promise->start();
    QFuture<ScanResult> future = promise->future();
    m_pool.start([state = m_state, promise, mayReuse] {
        // Read before lsof starts, so that a socket that opens or closes while
        // lsof runs differs from the next refresh's table.
        const auto time = state->options.now();
        const std::optional<QList<KernelSocket>> table =
            state->options.readTable ? fingerprint(state->options.readTable())
                                     : std::optional<QList<KernelSocket>>();
        if (mayReuse) {
            if (std::optional<ScanResult> same = state->unchanged(table, time)) {
                promise->addResult(std::move(*same));
                promise->finish();
                return;
            }
        }
        state->scanner.scan().then(QtFuture::Launch::Sync,
                                   [state, promise, table, time](const ScanResult &result) {
                                       state->store(result, table, time);
                                       promise->addResult(result);
                                       promise->finish();
                                   });
    });
    return future;
}
