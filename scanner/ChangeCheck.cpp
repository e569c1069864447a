#include "scanner/ChangeCheck.h"

#include <QMutex>
#include <QPromise>
#include <algorithm>
#include <tuple>

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

    std::optional<ScanResult> unchanged(const std::optional<QList<KernelSocket>> &now,
                                        std::chrono::steady_clock::time_point time) {
        if (!now)
            return std::nullopt;
        QHash<qint32, quint64> processes;
        std::optional<ScanResult> result;
        {
            QMutexLocker lock(&mutex);
            if (!rows || time - started >= options.fullScanFloor || *now != sockets)
                return std::nullopt;
            processes = startTicks;
            result = rows;
        }
        // A pid that passed to another process would leave its row naming the
        // wrong process, which a stop would then signal.
        for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
            const StatReading reading = options.proc.read(it.key());
            if (!reading.stat || reading.stat->startTicks != it.value())
                return std::nullopt;
        }
        result->kind = ScanResult::Kind::Unchanged;
        return result;
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
            return;
        }
        rows = result;
        rows->kind = ScanResult::Kind::Full;
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
    const auto order = [](const KernelSocket &s) {
        return std::tie(s.inode, s.protocol, s.ipv6, s.address, s.port, s.uid);
    };
    std::sort(sockets.begin(), sockets.end(),
              [&](const KernelSocket &a, const KernelSocket &b) { return order(a) < order(b); });
    return sockets;
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
