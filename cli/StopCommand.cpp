#include "cli/StopCommand.h"

#include "cli/CommandLine.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/PortScanner.h"
#include "viewmodel/SignalProcess.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <unistd.h>
#include <utility>
#include <variant>
#include <vector>

namespace {

using std::chrono::milliseconds;

const CommandSyntax stopSyntax{
    "Usage: quayline-cli stop [--force] [--timeout SECONDS] [--lsof PATH] PORT...\n",
    "Sends SIGTERM to every process listening on one of the PORTs (any protocol),\n"
    "then looks again every 0.4 seconds until none of them is listed or the\n"
    "timeout has passed. Only processes you own are signalled.\n"
    "\n"
    "  --force            send SIGKILL to those still listed after the timeout\n"
    "  --timeout SECONDS  how long to wait for them after a signal; default 3\n"
    "  --lsof PATH        run this lsof instead of the built-in path\n"
    "  -h, --help         show this text\n"
    "\n"
    "Exit status 0 when every process it targeted is gone, 1 otherwise (also when\n"
    "a scan fails), 2 for usage errors.\n"};

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

    QString describe() const { return QStringLiteral("PID %1 (%2)").arg(pid).arg(processName); }
};

// The processes listening on the ports, each pid once, in the order of the
// ports given; and the ports that nothing listens on.
struct Selection {
    QList<Target> targets;
    QList<qint64> unlisted;
};

Selection select(const PortEntryList &entries, const QList<qint64> &ports) {
    // The entries' indices sorted by port, once, then a binary search per port:
    // a pass over the whole scan per port made all 65,535 ports take seconds.
    std::vector<qsizetype> byPort(size_t(entries.size()));
    for (qsizetype i = 0; i < entries.size(); ++i)
        byPort[size_t(i)] = i;
    std::stable_sort(byPort.begin(), byPort.end(),
                     [&](qsizetype a, qsizetype b) { return entries[a].port < entries[b].port; });

    Selection selection;
    QSet<qint32> chosen;
    for (qint64 port : ports) {
        const auto first =
            std::lower_bound(byPort.cbegin(), byPort.cend(), port,
                             [&](qsizetype i, qint64 p) { return entries[i].port < p; });
        const auto last = std::upper_bound(
            first, byPort.cend(), port, [&](qint64 p, qsizetype i) { return p < entries[i].port; });
        if (first == last)
            selection.unlisted.append(port);
        for (auto it = first; it != last; ++it) {
            const PortEntry &e = entries[*it];
            if (!chosen.contains(e.pid)) {
                chosen.insert(e.pid);
                selection.targets.append({e.pid, e.processName, e.user});
            }
        }
    }
    return selection;
}

// The scans of one stop. The first may take the scanner's usual time limit.
// Each later one, made while waiting for processes to exit, may take what is
// left of the wait, but at least the allowance for one scan (twice what the
// first one took, from 1 second up to the usual limit): a scan started just
// before the timeout still has time to finish, and a hung lsof holds the
// command at most that allowance past its --timeout.
class Scans {
public:
    explicit Scans(QString lsofPath)
        : m_lsofPath(std::move(lsofPath)) {}

    ScanResult first() {
        QElapsedTimer took;
        took.start();
        ScanResult result = PortScanner(m_lsofPath).scan().result();
        m_allowance = std::clamp(milliseconds(2 * took.elapsed()), milliseconds(1000),
                                 PortScanner::defaultTimeLimit);
        return result;
    }

    ScanResult within(const QDeadlineTimer &deadline) const {
        const auto left = std::chrono::ceil<milliseconds>(deadline.remainingTimeAsDuration());
        const milliseconds limit =
            std::min(std::max(left, m_allowance), PortScanner::defaultTimeLimit);
        return PortScanner(m_lsofPath, limit).scan().result();
    }

private:
    QString m_lsofPath;
    milliseconds m_allowance{1000};
};

// Looks again every stopRecheckDelay, at least once, until no pid of waiting
// is listed or the timeout has passed; waiting keeps the pids still listed.
// A scan that fails ends the wait with false and waiting as it was: nothing is
// known about those processes then, and taking the failed scan for "all gone"
// would report success for processes that may still run.
bool waitUntilUnlisted(const Scans &scans, QSet<qint32> &waiting, milliseconds timeout,
                       Console &console) {
    console.flush();
    const QDeadlineTimer deadline(timeout);
    while (!waiting.isEmpty()) {
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
            stopRecheckDelay, deadline.remainingTimeAsDuration()));
        const ScanResult scan = scans.within(deadline);
        if (scan.errorText) {
            console.complain(*scan.errorText);
            return false;
        }
        pruneTermSent(waiting, scan.entries);
        if (deadline.hasExpired())
            break;
    }
    return true;
}

int stop(const StopOptions &options) {
    Console console;
    Scans scans(options.lsofPath);
    const ScanResult first = scans.first();
    if (first.errorText) {
        console.complain(*first.errorText);
        return ExitFailure;
    }
    const Selection selection = select(first.entries, options.ports);
    for (qint64 port : selection.unlisted)
        console.say(QStringLiteral("Nothing is listening on port %1").arg(port));
    const QList<Target> &targets = selection.targets;

    bool allGone = true;
    QSet<qint32> termSent; // the panel's escalation memory
    // One press of the panel's stop button; true when the signal went out.
    const auto press = [&](const Target &target) {
        const std::optional<KillError> error = escalateStop(termSent, target.pid, target.user);
        if (error && error->kind() == KillError::Kind::ProcessGone) {
            console.say(target.describe() + QStringLiteral(" had already exited."));
        } else if (error) {
            console.complain(QStringLiteral("PID %1: ").arg(target.pid) + error->message());
            allGone = false;
        }
        return !error;
    };

    for (const Target &target : targets)
        press(target);
    const QSet<qint32> sentTerm = termSent;
    const bool checked = waitUntilUnlisted(scans, termSent, options.timeout, console);

    QSet<qint32> sentKill;
    for (const Target &target : targets) {
        if (!sentTerm.contains(target.pid))
            continue;
        if (!checked && termSent.contains(target.pid)) {
            // No SIGKILL on a pid that nothing shows to be still the same process.
            console.complain(
                target.describe() +
                QStringLiteral(": sent SIGTERM, but could not check whether it exited."));
            allGone = false;
        } else if (!termSent.contains(target.pid)) {
            console.say(target.describe() + QStringLiteral(" stopped."));
        } else if (!options.force) {
            console.complain(target.describe() + QStringLiteral(" is still running."));
            allGone = false;
        } else if (press(target)) { // SIGKILL this time: the pid is in termSent
            console.say(target.describe() +
                        QStringLiteral(" did not exit after SIGTERM; sent SIGKILL."));
            sentKill.insert(target.pid);
        }
    }
    if (checked && !options.force && !termSent.isEmpty())
        console.complain(QStringLiteral("--force sends SIGKILL to processes still running."));
    if (!sentKill.isEmpty()) {
        QSet<qint32> stillListed = sentKill;
        const bool killChecked = waitUntilUnlisted(scans, stillListed, options.timeout, console);
        for (const Target &target : targets) {
            if (!sentKill.contains(target.pid))
                continue;
            if (!killChecked && stillListed.contains(target.pid)) {
                console.complain(
                    target.describe() +
                    QStringLiteral(": sent SIGKILL, but could not check whether it exited."));
                allGone = false;
            } else if (stillListed.contains(target.pid)) {
                console.complain(target.describe() +
                                 QStringLiteral(" is still running after SIGKILL."));
                allGone = false;
            } else {
                console.say(target.describe() + QStringLiteral(" stopped."));
            }
        }
    }
    const int written = console.finish();
    return allGone ? written : ExitFailure;
}

} // namespace

int runStopCommand(const QStringList &arguments) {
    const std::variant<StopOptions, int> parsed = parseStopArguments(arguments);
    if (const int *status = std::get_if<int>(&parsed))
        return *status;
    return stop(std::get<StopOptions>(parsed));
}
