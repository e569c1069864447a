#include "scanner/PortScanner.h"

#include "process/ChildProcess.h"
#include "scanner/CgroupPaths.h"
#include "scanner/ContainerEngine.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/KernelRows.h"
#include "scanner/ProcessReader.h"
#include "scanner/UserEngine.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QPromise>
#include <QThreadPool>
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef QUAYLINE_LSOF_PATH
#define QUAYLINE_LSOF_PATH "/usr/bin/lsof"
#endif

namespace {

// Runs that wait for a thread of the pool, by everything that decides their
// result. A request equal to a waiting one joins it instead of queueing another
// lsof: its result would be just as fresh. Once a run has started, later
// requests queue a new one.
struct WaitingRuns {
    using Promises = std::vector<std::shared_ptr<QPromise<RunResult>>>;
    QMutex mutex;
    QHash<QString, std::shared_ptr<Promises>> byKey;
};

bool isExecutableFile(const QByteArray &path) {
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.constData(), X_OK) == 0;
}

RunResult failedRun(QString text) {
    return RunResult{{}, std::move(text)};
}

QString sizeText(qint64 bytes) {
    constexpr qint64 mb = 1024 * 1024;
    return bytes % mb == 0 ? QStringLiteral("%1 MB").arg(bytes / mb)
                           : QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

struct LsofRuns::Private {
    WaitingRuns waiting;
    // The lsof children not reaped yet, for endAll().
    ChildProcesses children;
    // Reads /proc right after each scan's runs.
    const ProcessReader reader;
    // The paths of the cgroups of other users' sockets, and the container
    // engine's names, kept from scan to scan.
    CgroupPaths cgroups;
    ContainerEngine engine;
    // The user's own rootless engine, asked only about its proxies' rows.
    UserEngine userEngine;
    // lsof runs block on I/O, not on the CPU, so they get their own pool instead
    // of queueing on the global one (two threads on a two-core machine). Last,
    // so that it is destroyed first: its threads use everything above.
    QThreadPool pool;
};

LsofRuns::LsofRuns()
    : d(std::make_unique<Private>()) {
    d->pool.setMaxThreadCount(16);
    d->pool.setObjectName(QStringLiteral("lsof"));
}

LsofRuns::~LsofRuns() {
    // Killed runs end within the kill grace; queued ones no longer start.
    endAll();
    d->pool.waitForDone();
}

void LsofRuns::endAll() {
    d->children.endAll();
    d->userEngine.endAll();
}

QString PortScanner::defaultLsofPath() {
    return QStringLiteral(QUAYLINE_LSOF_PATH);
}

QStringList PortScanner::tcpArguments() {
    // "f" is asked for although its value is unused: without f lines lsof on
    // Linux puts every socket of a process into one file set and all but the
    // last are lost.
    return {QStringLiteral("-nP"), QStringLiteral("-iTCP"), QStringLiteral("-sTCP:LISTEN"),
            QStringLiteral("-FpcLfPtnT")};
}

QStringList PortScanner::udpArguments() {
    return {QStringLiteral("-nP"), QStringLiteral("-iUDP"), QStringLiteral("-FpcLfPtnT")};
}

QString PortScanner::missingLsofMessage(const QString &lsofPath) {
    return QStringLiteral("Could not find lsof at ") + lsofPath + u'.';
}

PortScanner::PortScanner(LsofRuns &runs, QString lsofPath, Duration timeLimit)
    : m_runs(&runs)
    , m_lsofPath(std::move(lsofPath))
    , m_timeLimit(timeLimit) {}

PortEntryList PortScanner::combine(QStringView tcpOutput, QStringView udpOutput) {
    // One list for both, its room reserved once (see parseFieldOutput), and
    // merged in place.
    PortEntryList all;
    all.reserve((tcpOutput.size() + udpOutput.size()) / 40);
    appendFieldOutput(all, tcpOutput, QStringLiteral("TCP"));
    appendFieldOutput(all, udpOutput, QStringLiteral("UDP"));
    return mergeEntries(std::move(all));
}

QFuture<ScanResult> PortScanner::scan() const {
    if (!isExecutableFile(QFile::encodeName(m_lsofPath)))
        return QtFuture::makeReadyFuture(ScanResult{{}, missingLsofMessage(m_lsofPath)});

    QList<QFuture<RunResult>> runs{run(tcpArguments()), run(udpArguments())};
    return QtFuture::whenAll(runs.begin(), runs.end())
        // On the thread that finished the last run, a thread of the runs' pool,
        // whose destruction waits for it: nothing is scheduled anywhere else, so
        // a scan that ends while the program quits finds everything it uses.
        .then(QtFuture::Launch::Sync, [runs = m_runs, readTable = m_readSocketTable](
                                          const QList<QFuture<RunResult>> &done) {
            const RunResult tcp = done.at(0).result();
            const RunResult udp = done.at(1).result();
            // Half a listing would read as "nothing else is listening".
            if (tcp.errorText || udp.errorText)
                return ScanResult{{}, tcp.errorText ? tcp.errorText : udp.errorText, {}};
            PortEntryList records;
            records.reserve((tcp.output.size() + udp.output.size()) / 40);
            appendFieldOutput(records, tcp.output, QStringLiteral("TCP"));
            appendFieldOutput(records, udp.output, QStringLiteral("UDP"));
            // Right after lsof returned, so that a pid has had little time to
            // pass to another process; one read of /proc per distinct pid.
            if (std::optional<QString> error = runs->d->reader.fill(records))
                return ScanResult{{}, std::move(error), {}};
            ScanResult result;
            // Read after lsof, never beside it: a socket that lsof listed and
            // this later table lacks has closed, whereas one read beside lsof
            // could predate a socket bound a moment later and strip its
            // listed process of its identity. It takes milliseconds.
            const SocketTableResult sockets = readTable ? readTable() : SocketTableResult{};
            if (sockets.source != SocketTableResult::Source::None) {
                const KernelRows kernel(runs->d->reader, runs->d->cgroups);
                // Only a whole table can tell that a pid no longer holds its socket.
                kernel.confirmHolders(
                    records, sockets.sockets,
                    tcp.startTicks && udp.startTicks ? std::min(tcp.startTicks, udp.startTicks) : 0,
                    !sockets.errorText);
                bool cut = false;
                records.append(kernel.unattributed(records, sockets.sockets,
                                                   QDeadlineTimer(holderSearchLimit), &cut));
                if (cut)
                    result.notice = holderSearchNotice();
            }
            if (readTable && sockets.errorText)
                result.notice = result.notice ? socketTableNotice() + u' ' + *result.notice
                                              : socketTableNotice();
            result.entries = mergeEntries(std::move(records));
            // The user's own proxies first: which of them a container's
            // engine runs, so that the engines' listing below leaves them be.
            runs->d->userEngine.annotate(result.entries);
            // Names for containers' ports, where the engine's socket may be
            // opened; absent otherwise. Kept per container id.
            runs->d->engine.annotate(result.entries);
            return result;
        });
}

PortScanner::SocketTableRead PortScanner::defaultSocketTableRead() {
    if (qgetenv("QUAYLINE_SOCKET_TABLE") == "off")
        return {};
    return [] { return SocketTable::read(); };
}

QString PortScanner::socketTableNotice() {
    return QStringLiteral("Ports of other users may be missing: the kernel\u2019s socket table "
                          "could not be read.");
}

QString PortScanner::holderSearchNotice() {
    return QStringLiteral("Some ports of other users are shown without their processes: finding "
                          "them took longer than %1 seconds.")
        .arg(std::chrono::duration_cast<std::chrono::seconds>(holderSearchLimit).count());
}

QFuture<RunResult> PortScanner::run(const QStringList &arguments) const {
    // Everything that decides the run's result.
    const QString key = QStringList{m_lsofPath, QString::number(m_timeLimit.count()),
                                    QString::number(m_outputCap), QString::number(m_usePidFd)}
                            .join(QChar(0)) +
                        QChar(1) + arguments.join(QChar(0));
    auto promise = std::make_shared<QPromise<RunResult>>();
    promise->start();
    QFuture<RunResult> future = promise->future();

    WaitingRuns &waiting = m_runs->d->waiting;
    QMutexLocker lock(&waiting.mutex);
    if (const auto it = waiting.byKey.constFind(key); it != waiting.byKey.cend()) {
        (*it)->push_back(std::move(promise));
        return future;
    }
    auto promises = std::make_shared<WaitingRuns::Promises>();
    promises->push_back(std::move(promise));
    waiting.byKey.insert(key, promises);
    m_runs->d->pool.start([scanner = *this, arguments, key, promises] {
        {
            // From here on, nobody joins: promises is complete once the lock is left.
            WaitingRuns &waiting = scanner.m_runs->d->waiting;
            QMutexLocker lock(&waiting.mutex);
            if (waiting.byKey.value(key) == promises)
                waiting.byKey.remove(key);
        }
        const RunResult result = scanner.runBlocking(arguments);
        for (const auto &p : *promises) {
            p->addResult(result);
            p->finish();
        }
    });
    return future;
}

RunResult PortScanner::runBlocking(const QStringList &arguments) const {
    QList<QByteArray> argv;
    argv.reserve(arguments.size());
    for (const QString &a : arguments)
        argv.append(a.toLocal8Bit());
    const ChildRun run = m_runs->d->children.run(QFile::encodeName(m_lsofPath), argv,
                                                 {m_timeLimit, m_outputCap, m_usePidFd});
    switch (run.ending) {
    case ChildRun::Ending::Exited:
        return RunResult{QString::fromUtf8(run.output.view()), std::nullopt, run.startTicks};
    case ChildRun::Ending::NotStarted:
        return failedRun(QStringLiteral("Could not run lsof at %1: %2.")
                             .arg(m_lsofPath, qt_error_string(run.error)));
    case ChildRun::Ending::Signalled:
        return failedRun(QStringLiteral("lsof was ended by signal %1.").arg(run.signal));
    case ChildRun::Ending::TimedOut:
        return failedRun(QStringLiteral("lsof did not finish within %1 seconds.")
                             .arg(double(m_timeLimit.count()) / 1000.0));
    case ChildRun::Ending::TooLong:
        return failedRun(QStringLiteral("lsof printed more than %1; the scan was stopped.")
                             .arg(sizeText(m_outputCap)));
    case ChildRun::Ending::ReadFailed:
        return failedRun(
            QStringLiteral("Could not read lsof's output: %1.").arg(qt_error_string(run.error)));
    }
    Q_UNREACHABLE();
}
