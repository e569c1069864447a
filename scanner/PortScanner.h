#pragma once

#include "model/PortEntry.h"
#include "scanner/SocketTable.h"

#include <QFuture>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

struct ScanResult {
    PortEntryList entries;            // merged, sorted by port then protocol; empty on failure
    std::optional<QString> errorText; // present when the scan failed: it lists nothing
    // Present when the kernel's socket table could not be read whole: lsof's
    // rows stand, but the sockets of other users' processes may be missing.
    std::optional<QString> notice = std::nullopt;
    // How the rows came about: Full ran lsof; Unchanged handed back the last
    // full scan's rows because the kernel showed nothing that could change
    // them (see ChangeCheck). The rows read the same either way.
    enum class Kind { Full, Unchanged };
    Kind kind = Kind::Full;
};

// What one lsof run gave: its output, or why it gave none.
struct RunResult {
    QString output;
    std::optional<QString> errorText; // present when the run failed; output is then empty
    // When lsof started, in clock ticks after boot as /proc/PID/stat counts
    // them; 0 when unknown. A process that started earlier and is still there
    // afterwards held its pid all through lsof's read.
    quint64 startTicks = 0;
};

// The lsof runs of this program: the thread pool they run on, the requests
// waiting for a thread, the children not yet reaped, and the /proc reader that
// follows each scan. One per program, owned by its main and made before any
// scanner that uses it. Destroying it ends the runs still going (as endAll())
// and waits for their threads, which then take at most the kill grace.
class LsofRuns {
public:
    LsofRuns();
    ~LsofRuns();
    LsofRuns(const LsofRuns &) = delete;
    LsofRuns &operator=(const LsofRuns &) = delete;

    // Kills every lsof run still going (and whatever it started) and makes later
    // runs fail without starting; for the program's quit, so that no lsof
    // outlives it. Safe to call from any thread, more than once.
    void endAll();

private:
    friend class PortScanner;
    struct Private;
    std::unique_ptr<Private> d;
};

// Takes one snapshot of the machine's listening TCP ports and UDP sockets by
// running lsof twice at once. Holds only its configuration and the runs it
// belongs to; scans are independent of each other. A scan either lists what lsof printed or fails
// with an error text, never both: a failed run must not read as an empty machine.
class PortScanner {
public:
    using Duration = std::chrono::milliseconds;

    // The lsof fixed at build time.
    static QString defaultLsofPath();
    // lsof can block on a dead network mount; a run still going after this is killed.
    static constexpr Duration defaultTimeLimit = std::chrono::seconds(30);
    // A run that prints more than this is stopped: no real listing comes near it,
    // and without a cap a runaway lsof grows the program without bound.
    static constexpr qint64 defaultOutputCap = qint64(256) * 1024 * 1024;

    static QStringList tcpArguments();
    static QStringList udpArguments();
    static QString missingLsofMessage(const QString &lsofPath);
    // The scan's notice when the kernel's socket table could not be read.
    static QString socketTableNotice();
    // How long a scan may search for the processes of the sockets lsof did
    // not list (other users', mostly), and its notice once that was cut.
    static constexpr Duration holderSearchLimit = std::chrono::seconds(5);
    static QString holderSearchNotice();

    // What reads the kernel's socket table beside the lsof runs: lsof cannot
    // see other users' sockets, the table can. SocketTable::read() unless
    // replaced; an empty function leaves the table out.
    using SocketTableRead = std::function<SocketTableResult()>;
    void setSocketTableRead(SocketTableRead read) { m_readSocketTable = std::move(read); }
    // SocketTable::read(), or nothing where QUAYLINE_SOCKET_TABLE=off.
    static SocketTableRead defaultSocketTableRead();

    explicit PortScanner(LsofRuns &runs, QString lsofPath = defaultLsofPath(),
                         Duration timeLimit = defaultTimeLimit);

    QString lsofPath() const { return m_lsofPath; }
    Duration timeLimit() const { return m_timeLimit; }
    qint64 outputCap() const { return m_outputCap; }
    void setOutputCap(qint64 bytes) { m_outputCap = bytes < 0 ? 0 : bytes; }
    // The wait for lsof's exit uses a pidfd where the kernel gives one, else a
    // bounded polling loop. Switching pidfds off forces that loop (for tests).
    void setUsePidFd(bool use) { m_usePidFd = use; }

    // Both runs start at once; parsing and merging happen off the calling thread.
    // When a run fails, the scan fails with its text; when both fail, with the
    // TCP run's (the first one started), so that equal failures read the same.
    QFuture<ScanResult> scan() const;
    // One lsof run on a background thread. A request equal to one still waiting
    // for a thread shares that one's future, so runs cannot pile up in the queue.
    QFuture<RunResult> run(const QStringList &arguments) const;
    // The blocking body of run(): launch, read stdout to the end, wait for the
    // exit, reap. Exit status is ignored; stderr goes to /dev/null. A run that
    // cannot be started, is over the time limit, ends by a signal, cannot be
    // read or prints more than the cap fails with an error text.
    RunResult runBlocking(const QStringList &arguments) const;

    // Parses both runs' texts the way scan() does (TCP records first).
    static PortEntryList combine(QStringView tcpOutput, QStringView udpOutput);

private:
    LsofRuns *m_runs;
    QString m_lsofPath;
    Duration m_timeLimit;
    qint64 m_outputCap = defaultOutputCap;
    bool m_usePidFd = true;
    SocketTableRead m_readSocketTable = defaultSocketTableRead();
};
