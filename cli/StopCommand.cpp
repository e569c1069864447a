#include "cli/StopCommand.h"

#include "cli/CommandLine.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "model/Holder.h"
#include "process/ProcessHandle.h"
#include "process/StopStages.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/PortScanner.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <unistd.h>
#include <utility>
#include <variant>
#include <vector>

namespace {

using std::chrono::milliseconds;

const CommandSyntax stopSyntax{
    "Usage: quayline-cli stop [--force] [--timeout SECONDS] [--lsof PATH] PORT...\n",
    "Sends SIGTERM to every process listening on one of the PORTs (any protocol)\n"
    "and waits for them to exit, then scans once more to see whether another\n"
    "process now holds those ports. Only processes you own are signalled, and\n"
    "only the very processes that the first scan listed.\n"
    "\n"
    "  --force            send SIGKILL to those still running after the timeout\n"
    "  --timeout SECONDS  how long to wait for them after a signal; default 3\n"
    "  --lsof PATH        run this lsof instead of the built-in path\n"
    "  -h, --help         show this text\n"
    "\n"
    "Exit status 0 when every process it targeted is gone and nothing else holds\n"
    "their ports, 1 otherwise (also when a scan fails), 2 for usage errors.\n"};

constexpr double maximumTimeoutSeconds = 86400;

struct StopOptions {
    bool force = false;
    milliseconds timeout{3000};
    QString lsofPath;
    QList<qint64> ports; // distinct, in the order given
};

// Digits only (no sign), 1 to 65535.
std::optional<qint64> parsePort(const QString &text) {
    if (text.isEmpty() || !text.front().isDigit())
        return std::nullopt;
    const std::optional<qint64> port = parseDecimal<qint64>(text);
    if (!port || *port < 1 || *port > 65535)
        return std::nullopt;
    return port;
}

// The options, or the status to exit with.
std::variant<StopOptions, int> parseStopArguments(const QStringList &arguments) {
    CommandLine commandLine(stopSyntax);
    const QCommandLineOption force(QStringLiteral("force"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("SECONDS"));
    commandLine.add(force);
    commandLine.add(timeout);
    if (const std::optional<int> status = commandLine.parse(arguments))
        return *status;

    StopOptions options;
    options.force = commandLine.parser.isSet(force);
    options.lsofPath = commandLine.lsofPath();
    if (commandLine.parser.isSet(timeout)) {
        const QString text = commandLine.parser.value(timeout);
        bool ok = false;
        const double seconds = text.toDouble(&ok);
        // The upper bound keeps the conversion to milliseconds in range.
        if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > maximumTimeoutSeconds)
            return commandLine.usageError(
                QStringLiteral("--timeout needs a number of seconds from 0 to %1: %2")
                    .arg(maximumTimeoutSeconds)
                    .arg(text));
        options.timeout = milliseconds(qint64(std::ceil(seconds * 1000)));
    }
    QSet<qint64> seen;
    for (const QString &arg : commandLine.parser.positionalArguments()) {
        const std::optional<qint64> port = parsePort(arg);
        if (!port)
            return commandLine.usageError(QStringLiteral("not a port number from 1 to 65535: ") +
                                          arg);
        if (!seen.contains(*port)) {
            seen.insert(*port);
            options.ports.append(*port);
        }
    }
    if (options.ports.isEmpty())
        return commandLine.usageError(QStringLiteral("stop needs at least one PORT"));
    return options;
}

// Lines for the user, each escaped for the terminal: reports on standard
// output, what went wrong on standard error. Standard output is flushed before
// each complaint, so both keep their order on one terminal.
class Console {
public:
    void say(const QString &line) { m_out << escapeControlCharacters(line) << '\n'; }
    void complain(const QString &line) {
        m_out.flush();
        m_err << escapeControlCharacters(line) << '\n';
        m_err.flush();
    }
    void flush() { m_out.flush(); }
    int finish() { return ::finish(m_out); }

private:
    OutputStream m_out{STDOUT_FILENO};
    OutputStream m_err{STDERR_FILENO};
};

// One process to stop, as the first scan listed it.
struct Target {
    qint32 pid = 0;
    QString processName;
    QString user;
    quint64 startTicks = 0; // what tells this process from a later one on its pid

    QString describe() const { return QStringLiteral("PID %1 (%2)").arg(pid).arg(processName); }
};

// The processes listening on the ports, each pid once, in the order of the
// ports given; the ports listed, and the ports that nothing listens on.
struct Selection {
    QList<Target> targets;
    QList<qint64> listed, unlisted;
    // Holders this program will not signal (other users', or no certain
    // process), each with why and what would stop it.
    QList<StopHint> refused;
};

// The entries of one scan by port: their indices sorted by port once, then a
// binary search per port, so that asking for many ports costs a logarithm per
// port rather than a pass over the whole scan.
class PortIndex {
public:
    explicit PortIndex(const PortEntryList &entries)
        : m_entries(entries)
        , m_byPort(size_t(entries.size())) {
        for (qsizetype i = 0; i < entries.size(); ++i)
            m_byPort[size_t(i)] = i;
        std::stable_sort(m_byPort.begin(), m_byPort.end(), [&](qsizetype a, qsizetype b) {
            return entries[a].port < entries[b].port;
        });
    }

    // The entries on port, in the scan's order.
    QList<const PortEntry *> on(qint64 port) const {
        const auto first =
            std::lower_bound(m_byPort.cbegin(), m_byPort.cend(), port,
                             [&](qsizetype i, qint64 p) { return m_entries[i].port < p; });
        QList<const PortEntry *> result;
        for (auto it = first; it != m_byPort.cend() && m_entries[*it].port == port; ++it)
            result.append(&m_entries[*it]);
        return result;
    }

private:
    const PortEntryList &m_entries;
    std::vector<qsizetype> m_byPort;
};

Selection select(const PortEntryList &entries, const QList<qint64> &ports) {
    const PortIndex index(entries);
    Selection selection;
    QSet<qint32> chosen;
    for (qint64 port : ports) {
        const QList<const PortEntry *> holders = index.on(port);
        (holders.isEmpty() ? selection.unlisted : selection.listed).append(port);
        for (const PortEntry *e : holders) {
            if (const std::optional<StopHint> hint = stopHint(*e, qint64(::getuid()))) {
                if (!selection.refused.contains(*hint))
                    selection.refused.append(*hint);
                continue;
            }
            // lsof printed no pid: there is nothing to signal (and pid 0 would
            // name the caller's own process group).
            if (e->pid < 1) {
                const StopHint unknown{
                    QStringLiteral("lsof gave no process for port %1.").arg(e->port), {}};
                if (!selection.refused.contains(unknown))
                    selection.refused.append(unknown);
                continue;
            }
            if (!chosen.contains(e->pid)) {
                chosen.insert(e->pid);
                selection.targets.append({e->pid, e->processName, e->user, e->process.startTicks});
            }
        }
    }
    return selection;
}

// The scans of one stop. The first may take the scanner's usual time limit.
// The one after the waits may take what is left of the last wait, but at
// least the allowance for one scan (twice what the first one took, from 1
// second up to the usual limit): a hung lsof holds the command at most that
// allowance past its --timeout.
class Scans {
public:
    Scans(LsofRuns &runs, QString lsofPath)
        : m_runs(runs)
        , m_lsofPath(std::move(lsofPath)) {}

    ScanResult first() {
        QElapsedTimer took;
        took.start();
        ScanResult result = PortScanner(m_runs, m_lsofPath).scan().result();
        m_allowance = std::clamp(milliseconds(2 * took.elapsed()), milliseconds(1000),
                                 PortScanner::defaultTimeLimit);
        return result;
    }

    ScanResult within(const QDeadlineTimer &deadline) const {
        const auto left = std::chrono::ceil<milliseconds>(deadline.remainingTimeAsDuration());
        const milliseconds limit =
            std::min(std::max(left, m_allowance), PortScanner::defaultTimeLimit);
        return PortScanner(m_runs, m_lsofPath, limit).scan().result();
    }

private:
    LsofRuns &m_runs;
    QString m_lsofPath;
    milliseconds m_allowance{1000};
};

// One target on its way out. Each signal and each wait opens the process
// anew, checked against the start time the first scan recorded, so that both
// signals and the waits go to that process and to no later holder of its pid,
// and so that the stop holds one descriptor at a time however many targets
// there are.
struct Stopping {
    const Target *target;
    bool exited = false;
    bool unknown = false; // could not be looked at; already reported
};

int stop(LsofRuns &runs, const StopOptions &options) {
    Console console;
    Scans scans(runs, options.lsofPath);
    const ScanResult first = scans.first();
    if (first.errorText) {
        console.complain(*first.errorText);
        return ExitFailure;
    }
    const Selection selection = select(first.entries, options.ports);
    for (qint64 port : selection.unlisted)
        console.say(QStringLiteral("Nothing is listening on port %1").arg(port));

    bool allGone = true;
    for (const StopHint &hint : selection.refused) {
        console.complain(hint.reason);
        if (!hint.command.isEmpty())
            console.complain(QStringLiteral("To stop it: ") + hint.command);
        allGone = false;
    }
    // A refusal, or nothing: a process already gone is no failure.
    const auto failed = [&](const Target &target, const std::optional<KillError> &error) {
        if (error && error->kind() == KillError::Kind::ProcessGone) {
            console.say(target.describe() + QStringLiteral(" had already exited."));
        } else if (error) {
            console.complain(QStringLiteral("PID %1: ").arg(target.pid) + error->message());
            allGone = false;
        }
        return error.has_value();
    };

    StopStages stages;
    std::vector<Stopping> stopping;
    for (const Target &target : selection.targets) {
        if (!failed(target, stages.press(target.pid, target.startTicks, target.user)))
            stopping.push_back({&target});
    }
    console.flush();

    // Waits for the exits through pidfds (one open at a time), not by
    // looking at lsof's list. A process that cannot be looked at is no
    // process that exited.
    const auto waitForExits = [&] {
        const QDeadlineTimer deadline(options.timeout);
        for (Stopping &s : stopping) {
            if (s.exited || s.unknown)
                continue;
            const ProcessHandle handle = ProcessHandle::open(s.target->pid, s.target->startTicks);
            if (!handle.isOpen()) {
                s.exited = handle.error()->kind() == KillError::Kind::ProcessGone;
                s.unknown = !s.exited;
                if (s.unknown)
                    failed(*s.target, handle.error());
                continue;
            }
            int error = 0;
            switch (handle.waitForExit(deadline, &error)) {
            case ProcessHandle::Wait::Exited:
                s.exited = true;
                break;
            case ProcessHandle::Wait::Running:
                break;
            case ProcessHandle::Wait::Failed:
                s.unknown = true;
                failed(*s.target, KillError::failed(error));
                break;
            }
        }
        return deadline;
    };
    QDeadlineTimer lastDeadline = waitForExits();
    QSet<qint32> sentKill;
    bool stillRunning = false;
    for (Stopping &s : stopping) {
        if (s.exited || s.unknown)
            continue;
        if (!options.force) {
            console.complain(s.target->describe() + QStringLiteral(" is still running."));
            stillRunning = true;
            allGone = false;
        } else if (const std::optional<KillError> error =
                       stages.press(s.target->pid, s.target->startTicks, s.target->user)) {
            s.exited = error->kind() == KillError::Kind::ProcessGone;
            if (!s.exited)
                failed(*s.target, error);
        } else {
            console.say(s.target->describe() +
                        QStringLiteral(" did not exit after SIGTERM; sent SIGKILL."));
            sentKill.insert(s.target->pid);
        }
    }
    if (stillRunning)
        console.complain(QStringLiteral("--force sends SIGKILL to processes still running."));
    if (!sentKill.isEmpty()) {
        console.flush();
        lastDeadline = waitForExits();
        for (const Stopping &s : stopping) {
            if (sentKill.contains(s.target->pid) && !s.exited && !s.unknown) {
                console.complain(s.target->describe() +
                                 QStringLiteral(" is still running after SIGKILL."));
                allGone = false;
            }
        }
    }

    // One scan for the ports: the processes are gone, but something else may
    // hold their ports now. Without it nothing is claimed as stopped.
    const bool anyExited =
        std::any_of(stopping.cbegin(), stopping.cend(), [](const auto &s) { return s.exited; });
    if (!anyExited)
        return allGone ? console.finish() : ExitFailure;
    console.flush();
    const ScanResult last = scans.within(lastDeadline);
    if (last.errorText)
        console.complain(*last.errorText);
    QSet<qint32> running; // targets still running, which hold their ports as before
    for (const Stopping &s : stopping) {
        if (!s.exited)
            running.insert(s.target->pid);
        else if (last.errorText)
            console.complain(s.target->describe() +
                             QStringLiteral(" exited, but its ports could not be checked."));
        else
            console.say(s.target->describe() + QStringLiteral(" stopped."));
    }
    if (last.errorText)
        return ExitFailure;
    const PortIndex now(last.entries);
    for (qint64 port : selection.listed) {
        for (const PortEntry *e : now.on(port)) {
            if (!running.contains(e->pid)) {
                console.complain(QStringLiteral("Port %1 is now held by %2")
                                     .arg(port)
                                     .arg(e->pid > 0
                                              ? Target{e->pid, e->processName, {}, 0}.describe()
                                              : holderText(*e)));
                allGone = false;
                break;
            }
        }
    }
    return allGone ? console.finish() : ExitFailure;
}

} // namespace

int runStopCommand(LsofRuns &runs, const QStringList &arguments) {
    const std::variant<StopOptions, int> parsed = parseStopArguments(arguments);
    if (const int *status = std::get_if<int>(&parsed))
        return *status;
    return stop(runs, std::get<StopOptions>(parsed));
}
