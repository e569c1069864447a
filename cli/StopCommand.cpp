#include "cli/StopCommand.h"

#include "cli/CommandLine.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "process/ProcessHandle.h"
#include "scanner/PortScanner.h"
#include "scanner/SocketWatch.h"
#include "scanner/StopScans.h"
#include "stop/KeeperService.h"
#include "stop/StopSession.h"
#include "stop/StopText.h"

#include <QDeadlineTimer>
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
    "publishes through the engine's own process (docker-proxy, dockerd, conmon,\n"
    "or a rootless engine's proxy: rootlessport, pasta, slirp4netns, rootlesskit)\n"
    "gets no signal: stop the container with --container. A process of yours by\n"
    "such a name is a proxy only where your engine lists a container publishing\n"
    "its port; where your engine does not answer, it is not signalled either.\n"
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
        const std::optional<qint64> port = parseNumber(arg);
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
    // What a scan's rows may lack (another user's socket, past the kernel
    // table's cap), said once: "nothing listening" and "stopped" rest on it.
    void noteOf(const ScanResult &scan) {
        if (scan.notice && !m_noted) {
            m_noted = true;
            complain(*scan.notice);
        }
    }

private:
    bool m_noted = false;
    OutputStream m_out{STDOUT_FILENO};
    OutputStream m_err{STDERR_FILENO};
};

// One target on its way out. Each signal and each wait opens the process
// anew, checked against the start time the first scan recorded, so that both
// signals and the waits go to that process and to no later holder of its pid,
// and so that the stop holds one descriptor at a time however many targets
// there are.
struct Stopping {
    const StopTarget *target;
    bool exited = false;
    bool unknown = false; // could not be looked at; already reported
};

int stopProcesses(StopScans &scans, const StopOptions &options, Console &console) {
    const ScanResult first = scans.first();
    console.noteOf(first);
    if (first.errorText) {
        console.complain(*first.errorText);
        return ExitFailure;
    }
    StopSession session(qint64(::getuid()));
    const StopPlan plan =
        planPortStop(first.entries, options.ports, session.selfUid(), session.proc());
    for (qint64 port : plan.unlisted)
        console.say(StopText::nothingListening(port));

    bool allGone = true;
    for (const Refusal &refusal : plan.refusals) {
        console.complain(refusal.reason);
        if (!refusal.command.isEmpty())
            console.complain(StopText::stopItWith(refusal.command));
        allGone = false;
    }
    // A refusal, or nothing: a process already gone is no failure.
    const auto failed = [&](const StopTarget &target, const std::optional<KillError> &error) {
        if (error && error->kind() == KillError::Kind::ProcessGone) {
            console.say(StopText::alreadyExited(target.describe()));
        } else if (error) {
            console.complain(QStringLiteral("PID %1: ").arg(target.pid) + error->message());
            allGone = false;
        }
        return error.has_value();
    };

    std::vector<Stopping> stopping;
    for (const StopTarget &target : plan.targets) {
        if (!failed(target, session.press(target)))
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
            std::optional<KillError> error;
            switch (
                ProcessHandle::waitForExit(s.target->pid, s.target->startTicks, deadline, &error)) {
            case ProcessHandle::Wait::Exited:
                s.exited = true;
                break;
            case ProcessHandle::Wait::Running:
                break;
            case ProcessHandle::Wait::Failed:
                s.unknown = true;
                failed(*s.target, error);
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
        } else if (const std::optional<KillError> error = session.press(*s.target)) {
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
    if (std::none_of(stopping.cbegin(), stopping.cend(), [](const auto &s) { return s.exited; }))
        return allGone ? console.finish() : ExitFailure;
    console.flush();

    // The ports of the processes that exited, watched from now on. The
    // socket table is read before the scan, so that a socket made after the
    // scan is new to the watch.
    const QDeadlineTimer watchEnd(options.watch);
    const auto until = StopSession::Clock::now() + options.watch;
    for (const Stopping &s : stopping) {
        if (s.exited)
            session.watch(*s.target, plan.before, until);
    }
    const auto keepsWatching = [&] { return session.keepsWatching(StopSession::Clock::now()); };
    std::optional<SocketWatch> portWatch;
    if (keepsWatching())
        portWatch.emplace(options.ports);

    ScanResult last = scans.within(lastDeadline);
    console.noteOf(last);
    if (last.errorText)
        console.complain(*last.errorText);
    for (const Stopping &s : stopping) {
        if (!s.exited)
            continue;
        if (last.errorText)
            console.complain(s.target->describe() +
                             QStringLiteral(" exited, but its ports could not be checked."));
        else
            console.say(StopText::stopped(s.target->describe()));
    }
    if (last.errorText)
        return ExitFailure;

    StopSession::Look look = session.look(last.entries, StopSession::Clock::now());
    while (look.found.isEmpty()) {
        if (look.lookAgainSoon)
            QThread::msleep(100); // the newcomer's process, listed by the next lsof
        else if (!portWatch || !portWatch->waitForNewSocket(watchEnd, keepsWatching))
            break;
        last = scans.within(watchEnd);
        console.noteOf(last);
        if (last.errorText) {
            // The ports were free after the stop; only the watch is cut short.
            console.complain(*last.errorText);
            console.complain(QStringLiteral("The ports were free, but could not be watched for a "
                                            "process started again."));
            break;
        }
        look = session.look(last.entries, StopSession::Clock::now());
    }
    for (const Respawn &respawn : look.found) {
        console.complain(respawn.taken);
        if (!respawn.kept.isEmpty())
            console.complain(respawn.kept);
        if (isStoppableKeeper(respawn.holder.keeper))
            console.complain(
                StopText::stopItWith(StopText::cliKeeperStop(respawn.holder.keeper, respawn.port)));
        allGone = false;
    }
    return allGone ? console.finish() : ExitFailure;
}

// How long the ports of a stopped keeper may take to come free: a unit's
// stop job ends once its processes are gone, but the engine's proxy of a
// container's port goes a moment after the container.
constexpr milliseconds keeperPortsGrace{3000};

int stopKeepers(StopScans &scans, const StopOptions &options, Console &console,
                KeeperService &keepers) {
    const Keeper::Kind want = options.target == StopOptions::Target::Service
                                  ? Keeper::Kind::Service
                                  : Keeper::Kind::Container;
    const ScanResult first = scans.first();
    console.noteOf(first);
    if (first.errorText) {
        console.complain(*first.errorText);
        return ExitFailure;
    }
    const KeeperStopPlan plan =
        planKeeperStop(first.entries, options.ports, want, qint64(::getuid()));
    for (qint64 port : plan.unlisted)
        console.say(StopText::nothingListening(port));
    bool ok = plan.refusals.isEmpty();
    for (const QStringList &refusal : plan.refusals) {
        for (const QString &line : refusal)
            console.complain(line);
    }

    // Each keeper once, whatever number of its ports were given.
    QList<qint64> freed;
    for (const KeeperStopPlan::Stop &stop : plan.stops) {
        const KeeperStopResult result =
            stopKeeperOfPorts(keepers, stop.keeper, stop.ports, first.entries, StatReader());
        const QString outcome = StopText::keeperOutcome(stop.keeper, result);
        if (result.succeeded()) {
            console.say(outcome);
            freed += stop.ports;
        } else {
            console.complain(outcome);
            ok = false;
        }
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
        console.noteOf(last);
        held.clear();
        if (last.errorText)
            break;
        for (const PortEntry &row : last.entries) {
            if (freed.contains(row.port) &&
                std::none_of(held.cbegin(), held.cend(),
                             [&](const PortEntry *e) { return e->port == row.port; }))
                held.append(&row);
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
            console.say(StopText::portFree(port));
        } else {
            console.complain(StopText::stillHeldBy(port, **it));
            ok = false;
        }
    }
    return ok ? console.finish() : ExitFailure;
}

} // namespace

int runStopCommand(LsofRuns &runs, const QStringList &arguments, KeeperService &keepers) {
    const std::variant<StopOptions, int> parsed = parseStopArguments(arguments);
    if (const int *status = std::get_if<int>(&parsed))
        return *status;
    const StopOptions &options = std::get<StopOptions>(parsed);
    Console console;
    StopScans scans(runs, options.lsofPath, keepers, options.ports);
    return options.target == StopOptions::Target::Processes
               ? stopProcesses(scans, options, console)
               : stopKeepers(scans, options, console, keepers);
}
