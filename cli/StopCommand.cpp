#include "cli/StopCommand.h"

#include "cli/CommandLine.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "model/Holder.h"
#include "process/ProcessHandle.h"
#include "process/Respawn.h"
#include "process/StopStages.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/PortScanner.h"
#include "scanner/SocketTable.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>
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
    "Usage: quayline-cli stop [--force] [--timeout SECONDS] [--watch SECONDS] [--lsof PATH] "
    "PORT...\n"
    "       quayline-cli stop --service|--container [--lsof PATH] PORT...\n",
    "Sends SIGTERM to every process listening on one of the PORTs (any protocol)\n"
    "and waits for them to exit, then scans once more to see whether another\n"
    "process now holds those ports. Where something may start a process again\n"
    "(a systemd unit, a container's restart policy, a parent such as a shell\n"
    "loop or a process supervisor), it watches the ports a little longer and\n"
    "names what took them again. Only processes you own are signalled, and only\n"
    "the very processes that the first scan listed. A port that a container\n"
    "publishes through docker-proxy, dockerd or conmon gets no signal: stop the\n"
    "container with --container.\n"
    "\n"
    "  --force            send SIGKILL to those still running after the timeout\n"
    "  --timeout SECONDS  how long to wait for them after a signal; default 3\n"
    "  --watch SECONDS    how long to watch the ports for a process started\n"
    "                     again; default 3, 0 to look only once\n"
    "  --service          stop the systemd unit that keeps each port instead\n"
    "  --container        stop the container that keeps each port instead\n"
    "  --lsof PATH        run this lsof instead of the built-in path\n"
    "  -h, --help         show this text\n"
    "\n"
    "A system unit's stop may ask for a password through the desktop's\n"
    "authentication agent; the container engine decides who may stop a\n"
    "container. Either works for ports of other users too.\n"
    "\n"
    "Exit status 0 when every process, unit or container it targeted is gone\n"
    "and nothing else holds their ports, 1 otherwise (also when a scan fails or\n"
    "a port was taken again), 2 for usage errors.\n"};

constexpr double maximumTimeoutSeconds = 86400;

// How long the ports are watched after the processes exited, where
// something may start one again: systemd's default RestartSec= is 100 ms,
// Docker's first restart delay as long, a shell loop restarts at once, and
// most servers listen within a second or two of their start.
constexpr milliseconds defaultWatch{3000};

struct StopOptions {
    enum class Target { Processes, Service, Container };
    Target target = Target::Processes;
    bool force = false;
    milliseconds timeout{3000};
    milliseconds watch = defaultWatch;
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
    const QCommandLineOption watch(QStringLiteral("watch"), {}, QStringLiteral("SECONDS"));
    const QCommandLineOption service(QStringLiteral("service"));
    const QCommandLineOption container(QStringLiteral("container"));
    for (const QCommandLineOption &o : {force, timeout, watch, service, container})
        commandLine.add(o);
    if (const std::optional<int> status = commandLine.parse(arguments))
        return *status;

    StopOptions options;
    options.force = commandLine.parser.isSet(force);
    options.lsofPath = commandLine.lsofPath();
    if (commandLine.parser.isSet(service) && commandLine.parser.isSet(container))
        return commandLine.usageError(
            QStringLiteral("--service and --container exclude each other"));
    if (commandLine.parser.isSet(service) || commandLine.parser.isSet(container)) {
        options.target = commandLine.parser.isSet(service) ? StopOptions::Target::Service
                                                           : StopOptions::Target::Container;
        // They signal no process: the options of a process's stop mean nothing.
        for (const QCommandLineOption *o : {&force, &timeout, &watch}) {
            if (commandLine.parser.isSet(*o))
                return commandLine.usageError(
                    QStringLiteral("--%1 applies to stopping processes, not to --%2")
                        .arg(o->names().constFirst(),
                             commandLine.parser.isSet(service) ? "service" : "container"));
        }
    }
    const auto seconds = [&](const QCommandLineOption &option,
                             milliseconds *value) -> std::optional<int> {
        if (!commandLine.parser.isSet(option))
            return std::nullopt;
        const QString text = commandLine.parser.value(option);
        bool ok = false;
        const double number = text.toDouble(&ok);
        // The upper bound keeps the conversion to milliseconds in range.
        if (!ok || !std::isfinite(number) || number < 0 || number > maximumTimeoutSeconds)
            return commandLine.usageError(
                QStringLiteral("--%1 needs a number of seconds from 0 to %2: %3")
                    .arg(option.names().constFirst())
                    .arg(maximumTimeoutSeconds)
                    .arg(text));
        *value = milliseconds(qint64(std::ceil(number * 1000)));
        return std::nullopt;
    };
    if (const std::optional<int> status = seconds(timeout, &options.timeout))
        return *status;
    if (const std::optional<int> status = seconds(watch, &options.watch))
        return *status;
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

// One process to stop, as the first scan listed it.
struct Target {
    qint32 pid = 0;
    QString processName;
    QString user;
    quint64 startTicks = 0; // what tells this process from a later one on its pid
    QList<PortEntry> rows;  // its rows on the ports asked for
    Keeper parent;          // its parent, where that is a process that may restart it
    Keeper keeper;          // what would start it again, as far as known before the stop
    bool mayRestart = false;

    QString describe() const { return QStringLiteral("PID %1 (%2)").arg(pid).arg(processName); }
};

// Whether the keeper of a process may start it again after it exits: a
// unit or a container whose restart setting is not "no" (or could not be
// read), or a parent process (a shell loop, a supervisor, or merely a shell:
// nothing tells them apart from here).
bool mayRestart(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::None:
        return false;
    case Keeper::Kind::Parent:
        return true;
    case Keeper::Kind::Service:
        return keeper.restart.isEmpty() || keeper.restarts();
    case Keeper::Kind::Container:
        return keeper.restartPolicy.isEmpty() || keeper.restarts();
    }
    return true;
}

// "the service demo.service", "the container web-1".
QString keeperName(const Keeper &keeper) {
    if (keeper.kind == Keeper::Kind::Container)
        return QStringLiteral("the container ") + (keeper.containerName.isEmpty()
                                                       ? keeper.containerId.left(12)
                                                       : keeper.containerName);
    return QStringLiteral("the service ") + keeper.unit;
}

// The rows of the ports asked for, in the order of the ports.
PortEntryList rowsOn(const PortEntryList &entries, const QList<qint64> &ports) {
    const PortIndex index(entries);
    PortEntryList rows;
    for (qint64 port : ports) {
        for (const PortEntry *e : index.on(port))
            rows.append(*e);
    }
    return rows;
}

// The processes listening on the ports, each pid once, in the order of the
// ports given; the ports listed, and the ports that nothing listens on.
struct Selection {
    QList<Target> targets;
    QList<qint64> listed, unlisted;
    // Holders this program will not signal (other users', the container
    // engine's, or no certain process), each with why and what would stop it.
    QList<StopHint> refused;
};

// A port that a container publishes through the engine's own process.
StopHint engineHint(const PortEntry &row) {
    const Keeper keeper = placeKeeper(row);
    const QString through = keeper.kind == Keeper::Kind::Container
                                ? QStringLiteral("by %1 through %2").arg(keeperName(keeper))
                                : QStringLiteral("by a container through %2");
    return {QStringLiteral("Port %1 is published %2; signalling %3 would break the port and "
                           "leave the container running.")
                .arg(row.port)
                .arg(through.arg(row.processName))
                .arg(row.processName),
            QStringLiteral("quayline-cli stop --container %1").arg(row.port)};
}

Selection select(const PortEntryList &rows, const QList<qint64> &ports) {
    const PortIndex index(rows);
    Selection selection;
    QHash<qint32, qsizetype> chosen; // pid: its place in targets
    const auto refuse = [&](const StopHint &hint) {
        if (!selection.refused.contains(hint))
            selection.refused.append(hint);
    };
    for (qint64 port : ports) {
        const QList<const PortEntry *> holders = index.on(port);
        (holders.isEmpty() ? selection.unlisted : selection.listed).append(port);
        for (const PortEntry *e : holders) {
            // Before the owner's check: the engine runs as root, and the
            // answer is the container's stop whoever asks.
            if (heldByContainerEngine(*e)) {
                refuse(engineHint(*e));
                continue;
            }
            if (const std::optional<StopHint> hint = stopHint(*e, qint64(::getuid()))) {
                refuse(*hint);
                continue;
            }
            // lsof printed no pid: there is nothing to signal (and pid 0 would
            // name the caller's own process group).
            if (e->pid < 1) {
                refuse({QStringLiteral("lsof gave no process for port %1.").arg(e->port), {}});
                continue;
            }
            auto it = chosen.find(e->pid);
            if (it == chosen.end()) {
                it = chosen.insert(e->pid, selection.targets.size());
                Target target;
                target.pid = e->pid;
                target.processName = e->processName;
                target.user = e->user;
                target.startTicks = e->process.startTicks;
                target.parent = parentKeeper(e->pid, e->process.startTicks);
                target.keeper = keeperOfNewHolder(*e);
                target.mayRestart = mayRestart(target.keeper);
                selection.targets.append(target);
            }
            selection.targets[*it].rows.append(*e);
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

// The first scan's rows on the ports, with their keepers; nothing, after
// saying why, where the scan failed.
std::optional<PortEntryList> firstRows(Scans &scans, Console &console, const QList<qint64> &ports,
                                       const KeeperAccess &keepers) {
    const ScanResult first = scans.first();
    if (first.errorText) {
        console.complain(*first.errorText);
        return std::nullopt;
    }
    PortEntryList rows = rowsOn(first.entries, ports);
    if (keepers.annotate && !rows.isEmpty())
        keepers.annotate(rows);
    return rows;
}

// Waits, until deadline, for a socket that is not in the baseline on one of
// the ports, looking at the kernel's socket table (cheap, unlike a scan);
// true when one showed up. Where the table cannot be read it waits a short
// while and says yes, so that a scan looks instead.
class PortWatch {
public:
    explicit PortWatch(const QList<std::pair<QString, qint64>> &ports)
        : m_ports(ports) {
        m_usable = qgetenv("QUAYLINE_SOCKET_TABLE") != "off";
        for (const KernelSocket &socket : read())
            m_baseline.insert(socket.inode);
    }

    // Gives up early once keeperAlive says nothing is left that could start
    // a process again.
    bool waitForNewSocket(const QDeadlineTimer &deadline,
                          const std::function<bool()> &keeperAlive) {
        while (!deadline.hasExpired() && keeperAlive()) {
            const milliseconds left =
                std::chrono::ceil<milliseconds>(deadline.remainingTimeAsDuration());
            QThread::msleep(ulong(std::min(left, m_usable ? tableInterval : scanInterval).count()));
            if (!m_usable)
                return true;
            for (const KernelSocket &socket : read()) {
                if (!m_baseline.contains(socket.inode))
                    return true;
            }
        }
        return false;
    }

private:
    static constexpr milliseconds tableInterval{25};
    static constexpr milliseconds scanInterval{150};

    // The sockets on the ports; none where the table cannot be read (and
    // from then on the watch falls back to scans).
    QList<KernelSocket> read() {
        if (!m_usable)
            return {};
        SocketTable::Options options;
        options.timeLimit = milliseconds(500);
        const SocketTableResult table = SocketTable::read(options);
        if (table.source == SocketTableResult::Source::None) {
            m_usable = false;
            return {};
        }
        QList<KernelSocket> on;
        for (const KernelSocket &socket : table.sockets) {
            if (m_ports.contains(std::pair{socket.protocol, qint64(socket.port)}))
                on.append(socket);
        }
        return on;
    }

    QList<std::pair<QString, qint64>> m_ports;
    QSet<quint64> m_baseline;
    bool m_usable = true;
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

// A port taken by a process that the first scan did not list, right after
// a target exited.
struct Newcomer {
    StoppedProcess stopped;
    PortEntry holder;
    const Target *target;
};

int stopProcesses(LsofRuns &runs, const StopOptions &options, const KeeperAccess &keepers) {
    Console console;
    Scans scans(runs, options.lsofPath);
    std::optional<PortEntryList> scanned = firstRows(scans, console, options.ports, keepers);
    if (!scanned)
        return ExitFailure;
    PortEntryList &rows = *scanned;
    const Selection selection = select(rows, options.ports);
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

    // The ports of the processes that exited, watched from now on where one
    // of them may be started again. The socket table is read before the scan,
    // so that a socket made after the scan is new to the watch.
    QList<std::pair<QString, qint64>> freed;
    bool watch = false;
    for (const Stopping &s : stopping) {
        if (!s.exited)
            continue;
        watch = watch || s.target->mayRestart;
        for (const PortEntry &row : s.target->rows) {
            if (!freed.contains(std::pair{row.networkProtocol, row.port}))
                freed.append({row.networkProtocol, row.port});
        }
    }
    watch = watch && options.watch > milliseconds(0);
    const QDeadlineTimer watchEnd(watch ? options.watch : milliseconds(0));
    std::optional<PortWatch> portWatch;
    if (watch)
        portWatch.emplace(freed);

    ScanResult last = scans.within(lastDeadline);
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

    // Holders that the first scan listed and that were no target (refused
    // ones) hold their ports as before; anything else on a freed port is new.
    QSet<std::pair<QString, quint64>> before;
    for (const PortEntry &row : rows)
        before.insert({row.id(), row.process.startTicks});
    const auto newcomers = [&](const PortEntryList &entries) {
        PortEntryList fresh;
        for (const PortEntry &e : rowsOn(entries, selection.listed)) {
            if (!running.contains(e.pid) && !before.contains({e.id(), e.process.startTicks}))
                fresh.append(e);
        }
        QList<Newcomer> found;
        QSet<std::pair<QString, qint64>> reported;
        for (const Stopping &s : stopping) {
            if (!s.exited)
                continue;
            for (const PortEntry &row : s.target->rows) {
                const StoppedProcess stopped = StoppedProcess::from(row);
                if (reported.contains({stopped.networkProtocol, stopped.port}))
                    continue;
                if (const std::optional<PortEntry> holder = takenAgain(stopped, fresh)) {
                    reported.insert({stopped.networkProtocol, stopped.port});
                    found.append({stopped, *holder, s.target});
                }
            }
        }
        return found;
    };
    // A parent that went with its child restarts nothing (a shell that ran
    // the server as its one command, say); a unit or a container may yet.
    const auto keeperAlive = [&] {
        const StatReader proc;
        for (const Stopping &s : stopping) {
            if (!s.exited || !s.target->mayRestart)
                continue;
            const Keeper &keeper = s.target->keeper;
            if (keeper.kind != Keeper::Kind::Parent)
                return true;
            const StatReading now = proc.read(keeper.parentPid);
            // Alive; or unknown, where the look itself failed.
            if (now.stat ? now.stat->startTicks == keeper.parentStartTicks && now.stat->state != 'Z'
                         : now.error != 0)
                return true;
        }
        return false;
    };
    QList<Newcomer> found = newcomers(last.entries);
    while (found.isEmpty() && portWatch && portWatch->waitForNewSocket(watchEnd, keeperAlive)) {
        last = scans.within(watchEnd);
        if (last.errorText) {
            // The ports were free after the stop; only the watch is cut short.
            console.complain(*last.errorText);
            console.complain(QStringLiteral("The ports were free, but could not be watched for a "
                                            "process started again."));
            break;
        }
        found = newcomers(last.entries);
    }

    for (Newcomer &n : found) {
        console.complain(takenAgainText(n.stopped, n.holder));
        PortEntryList one{n.holder};
        if (keepers.annotate)
            keepers.annotate(one);
        const Keeper keeper = keeperOfNewHolder(one.constFirst());
        if (const QString sentence = keeperSentence(keeper, n.target->parent); !sentence.isEmpty())
            console.complain(sentence);
        if (keeper.kind == Keeper::Kind::Service || keeper.kind == Keeper::Kind::Container)
            console.complain(
                QStringLiteral("To stop it: quayline-cli stop --%1 %2")
                    .arg(keeper.kind == Keeper::Kind::Service ? "service" : "container")
                    .arg(n.stopped.port));
        allGone = false;
    }
    return allGone ? console.finish() : ExitFailure;
}

// The stop of one keeper, for people; whether it is no longer running.
bool reportKeeperStop(Console &console, const Keeper &keeper, const KeeperStopResult &result) {
    const QString name = keeperName(keeper);
    QString reason = result.message.trimmed();
    while (reason.endsWith(u'.'))
        reason.chop(1);
    // "...: the manager's words." where it gave any.
    const auto with = [&](const QString &text) {
        return reason.isEmpty() ? text + u'.' : text + QStringLiteral(": ") + reason + u'.';
    };
    switch (result.kind) {
    case KeeperStopResult::Kind::Stopped:
        console.say(QStringLiteral("Stopped %1.").arg(name));
        return true;
    case KeeperStopResult::Kind::AlreadyStopped:
        console.say(QStringLiteral("T%1 was already stopped.").arg(name.sliced(1)));
        return true;
    case KeeperStopResult::Kind::Gone:
        console.complain(QStringLiteral("T%1 no longer exists.").arg(name.sliced(1)));
        return false;
    case KeeperStopResult::Kind::Refused:
        console.complain(with(QStringLiteral("Not allowed to stop %1").arg(name)));
        return false;
    case KeeperStopResult::Kind::Cancelled:
        console.complain(
            QStringLiteral("Did not stop %1: the password prompt was dismissed.").arg(name));
        return false;
    case KeeperStopResult::Kind::Unavailable:
        console.complain(
            QStringLiteral("Could not stop %1: there is no %2 to ask%3.")
                .arg(name,
                     keeper.kind == Keeper::Kind::Service ? QStringLiteral("service manager")
                                                          : QStringLiteral("container engine"),
                     reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason)));
        return false;
    case KeeperStopResult::Kind::TimedOut:
        console.complain(QStringLiteral("No answer in time to the stop of %1; it may still be "
                                        "stopping.")
                             .arg(name));
        return false;
    case KeeperStopResult::Kind::Failed:
        break;
    }
    console.complain(with(QStringLiteral("Could not stop %1").arg(name)));
    return false;
}

// How long the ports of a stopped keeper may take to come free: a unit's
// stop job ends once its processes are gone, but the engine's proxy of a
// container's port goes a moment after the container.
constexpr milliseconds keeperPortsGrace{3000};

int stopKeepers(LsofRuns &runs, const StopOptions &options, const KeeperAccess &keepers) {
    const bool wantService = options.target == StopOptions::Target::Service;
    const Keeper::Kind want = wantService ? Keeper::Kind::Service : Keeper::Kind::Container;
    Console console;
    Scans scans(runs, options.lsofPath);
    std::optional<PortEntryList> scanned = firstRows(scans, console, options.ports, keepers);
    if (!scanned)
        return ExitFailure;
    PortEntryList &rows = *scanned;
    const PortIndex index(rows);

    bool ok = true;
    QList<Keeper> toStop;
    QHash<qsizetype, QList<qint64>> portsOf; // place in toStop: its ports
    for (qint64 port : options.ports) {
        const QList<const PortEntry *> holders = index.on(port);
        if (holders.isEmpty()) {
            console.say(QStringLiteral("Nothing is listening on port %1").arg(port));
            continue;
        }
        std::optional<Keeper> found;
        std::optional<Keeper> other;
        bool engine = false;
        for (const PortEntry *e : holders) {
            const Keeper keeper = placeKeeper(*e);
            engine = engine || heldByContainerEngine(*e);
            // Never the engine's own unit: that would stop every container.
            if (keeper.kind == Keeper::Kind::Service &&
                (heldByContainerEngine(*e) || isContainerEngineUnit(keeper.unit)))
                continue;
            if (keeper.kind == want && !found)
                found = keeper;
            else if (keeper.kind != Keeper::Kind::None && !other)
                other = keeper;
        }
        if (!found) {
            const QString holder = holders.constFirst()->pid > 0
                                       ? QStringLiteral("PID %1 (%2)")
                                             .arg(holders.constFirst()->pid)
                                             .arg(holders.constFirst()->processName)
                                       : holderText(*holders.constFirst());
            if (wantService && engine)
                console.complain(QStringLiteral("Port %1 is published by a container; stopping "
                                                "the container engine's service would stop "
                                                "every container.")
                                     .arg(port));
            else
                console.complain(QStringLiteral("No %1 keeps port %2; it is held by %3.")
                                     .arg(wantService ? "service" : "container")
                                     .arg(port)
                                     .arg(holder));
            if (other && other->kind != Keeper::Kind::Parent)
                console.complain(QStringLiteral("It is kept by %1. To stop it: quayline-cli stop "
                                                "--%2 %3")
                                     .arg(keeperName(*other), other->kind == Keeper::Kind::Service
                                                                  ? QStringLiteral("service")
                                                                  : QStringLiteral("container"))
                                     .arg(port));
            ok = false;
            continue;
        }
        const auto same = [&](const Keeper &k) {
            return wantService ? k.unit == found->unit && k.userUnit == found->userUnit
                               : (!k.containerId.isEmpty() && !found->containerId.isEmpty()
                                      ? k.containerId.startsWith(found->containerId) ||
                                            found->containerId.startsWith(k.containerId)
                                      : k.containerName == found->containerName);
        };
        const auto it = std::find_if(toStop.cbegin(), toStop.cend(), same);
        const qsizetype at = it - toStop.cbegin();
        if (it == toStop.cend())
            toStop.append(*found);
        portsOf[at].append(port);
    }

    // Each keeper once, whatever number of its ports were given.
    QList<qint64> freed;
    for (qsizetype i = 0; i < toStop.size(); ++i) {
        const KeeperStopResult result =
            keepers.stop ? keepers.stop(toStop[i])
                         : KeeperStopResult{KeeperStopResult::Kind::Unavailable, {}};
        if (reportKeeperStop(console, toStop[i], result))
            freed += portsOf[i];
        else
            ok = false;
        console.flush();
    }
    if (freed.isEmpty())
        return ok ? console.finish() : ExitFailure;

    // What holds those ports now: nothing, once the keeper's processes are
    // gone; or a process that was no part of it.
    const QDeadlineTimer deadline(keeperPortsGrace);
    ScanResult last;
    QList<const PortEntry *> held;
    do {
        if (!held.isEmpty())
            QThread::msleep(100);
        last = scans.within(deadline);
        held.clear();
        if (last.errorText)
            break;
        const PortIndex now(last.entries);
        for (qint64 port : freed) {
            if (const QList<const PortEntry *> on = now.on(port); !on.isEmpty())
                held.append(on.constFirst());
        }
    } while (!held.isEmpty() && !deadline.hasExpired());
    if (last.errorText) {
        console.complain(*last.errorText);
        console.complain(QStringLiteral("The ports could not be checked."));
        return ExitFailure;
    }
    for (qint64 port : freed) {
        const auto it = std::find_if(held.cbegin(), held.cend(),
                                     [&](const PortEntry *e) { return e->port == port; });
        if (it == held.cend()) {
            console.say(QStringLiteral("Port %1 is free.").arg(port));
            continue;
        }
        const PortEntry &e = **it;
        console.complain(QStringLiteral("Port %1 is still held by %2.")
                             .arg(port)
                             .arg(e.pid > 0
                                      ? QStringLiteral("PID %1 (%2)").arg(e.pid).arg(e.processName)
                                      : holderText(e)));
        ok = false;
    }
    return ok ? console.finish() : ExitFailure;
}

} // namespace

int runStopCommand(LsofRuns &runs, const QStringList &arguments, const KeeperAccess &keepers) {
    const std::variant<StopOptions, int> parsed = parseStopArguments(arguments);
    if (const int *status = std::get_if<int>(&parsed))
        return *status;
    const StopOptions &options = std::get<StopOptions>(parsed);
    return options.target == StopOptions::Target::Processes ? stopProcesses(runs, options, keepers)
                                                            : stopKeepers(runs, options, keepers);
}
