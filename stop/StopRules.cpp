#include "stop/StopRules.h"

#include "model/DisplayText.h"
#include "model/Holder.h"
#include "stop/StopText.h"

namespace {

// Parents that start or adopt processes without restarting any of them by
// themselves: pid 1 of the machine, the service manager (the system's, or the
// user's "systemd --user"), which restarts through a unit's Restart= instead,
// and the processes container runtimes put above a container. Names as the
// kernel keeps them, cut at 15 bytes.
bool keepsNothingInParticular(qint32 pid, const QByteArray &comm) {
    return pid <= 1 || comm == "systemd" || comm == "init" || comm.startsWith("containerd-shim") ||
           comm == "conmon";
}

// Whether every hierarchy that places the process of `first` below its root
// places the one of `other` in the same cgroup or below it (lines of
// /proc/PID/cgroup, "ID:CONTROLLERS:PATH"); false where `first` is nowhere
// in particular.
bool inCgroupsOf(const QByteArray &other, const QByteArray &first) {
    const QList<QByteArray> lines = other.split('\n');
    bool placed = false;
    for (const QByteArray &line : first.split('\n')) {
        const qsizetype colon = line.indexOf(':', line.indexOf(':') + 1);
        if (colon < 0 || line.size() - colon <= 2) // no path, or the root "/"
            continue;
        const QByteArrayView hierarchy = QByteArrayView(line).first(colon + 1);
        const QByteArrayView path = QByteArrayView(line).sliced(colon + 1);
        const bool inside = std::any_of(lines.cbegin(), lines.cend(), [&](const QByteArray &l) {
            if (!l.startsWith(hierarchy))
                return false;
            const QByteArrayView p = QByteArrayView(l).sliced(hierarchy.size());
            return p == path ||
                   (p.startsWith(path) && p.size() > path.size() && p[path.size()] == '/');
        });
        if (!inside)
            return false;
        placed = true;
    }
    return placed;
}

// A command for a shell, each word quoted where the shell would read it as
// anything but itself: names of units and containers are chosen by others.
QString shellCommand(const QStringList &words) {
    QByteArray raw;
    for (const QString &word : words)
        raw += word.toUtf8() + '\0';
    return shellQuotedCommandLine(raw);
}

// What stops a row's keeper from a shell, where the user may run it.
QString keeperCommand(const Keeper &keeper, const PortEntry &row) {
    if (!isStoppableKeeper(keeper))
        return {};
    if (keeper.kind == Keeper::Kind::Service)
        return keeper.userUnit ? shellCommand({"systemctl", "--user", "stop", keeper.unit})
                               : shellCommand({"systemctl", "stop", keeper.unit});
    const QString tool =
        row.process.containerTool.isEmpty() ? QStringLiteral("docker") : row.process.containerTool;
    return shellCommand(
        {tool, "stop",
         keeper.containerName.isEmpty() ? keeper.containerId.left(12) : keeper.containerName});
}

// The interface of a tunnel's port ("vxlan vx0": "vx0"); interface names
// hold no spaces.
QString kernelInterface(const PortEntry &row) {
    return row.kernelUse.section(u' ', 1);
}

Refusal engineRefusal(const PortEntry &row, qint64 selfUid) {
    const Keeper container = placeKeeper(row, selfUid);
    if (container.kind == Keeper::Kind::Container)
        return {Refusal::Kind::ContainerEngine, StopText::engineProcess(row, container),
                StopText::cliKeeperStop(container, row.port)};
    // A rootless engine's proxy that the user's engine did not confirm: it
    // may be one all the same, or a process of the user's named so.
    if (const ProxyEngine engine = rootlessProxyEngine(row.processName);
        engine != ProxyEngine::None) {
        const QString tool =
            engine == ProxyEngine::Docker ? QStringLiteral("docker") : QStringLiteral("podman");
        return {Refusal::Kind::ContainerEngine, StopText::unconfirmedProxy(row, tool),
                row.pid > 0 ? shellCommand({"kill", QString::number(row.pid)}) : QString()};
    }
    // The engine did not name it for this user (no access to its socket):
    // the engine's own listing finds it, and root may ask the engine.
    const QString tool = row.processName == u"conmon" || row.process.unit.startsWith(u"podman")
                             ? QStringLiteral("podman")
                             : QStringLiteral("docker");
    const QString command =
        selfUid == 0
            ? shellCommand({tool, "ps", "--filter", QStringLiteral("publish=%1").arg(row.port)})
            : QStringLiteral("sudo quayline-cli stop --container %1").arg(row.port);
    return {Refusal::Kind::ContainerEngine, StopText::engineProcessUnnamed(row, tool), command};
}

// The socket unit the keepers' service found on the row is stopped through
// the manager that holds the port: the system's with root's rights, the
// viewer's own as the viewer; another user's is out of reach.
Refusal managerRefusal(const PortEntry &row, const HoldingManager &manager, qint64 selfUid) {
    const bool user = manager.kind == HoldingManager::Kind::User;
    const Keeper &unit = row.keeper;
    const bool found = unit.kind == Keeper::Kind::Service && unit.userUnit == user &&
                       isStoppableKeeper(unit) && (!user || manager.uid == selfUid);
    QString command;
    if (found)
        command = keeperCommand(unit, row);
    if (found && !user && selfUid != 0)
        command.prepend(QStringLiteral("sudo "));
    return {Refusal::Kind::ServiceManager,
            StopText::serviceManager(row, found ? unit.unit : QString(), selfUid == 0), command};
}

} // namespace

std::optional<Refusal> refusalFor(const PortEntry &row, qint64 selfUid) {
    // Nothing to signal, and nothing this program should take down instead
    // (an interface, a module, the NFS server): it says where to look.
    if (row.kernelHeld)
        return Refusal{Refusal::Kind::Kernel,
                       StopText::kernel(row, kernelInterface(row).isEmpty()
                                                 ? QString()
                                                 : shellCommand({"ip", "-d", "link", "show",
                                                                 kernelInterface(row)})),
                       {}};
    // Another user's rootless proxy serves a container of theirs, which
    // neither this user's engine nor root's knows.
    if (isRootlessProxy(row) && heldByContainerEngine(row) && row.uid >= 0 && row.uid != selfUid)
        return Refusal{Refusal::Kind::OtherUser, StopText::otherUser(row),
                       keeperCommand(placeKeeper(row, selfUid), row)};
    if (isEngineHeld(row))
        return engineRefusal(row, selfUid);
    // A service manager holds the sockets of its socket units: signalling
    // the system's (pid 1) or a user's own would end the system or the
    // session, not free the port. Its socket unit is what to stop.
    if (const HoldingManager manager = holdingManager(row);
        manager.kind != HoldingManager::Kind::None)
        return managerRefusal(row, manager, selfUid);
    if (!row.fromKernel)
        return std::nullopt; // lsof's own rows: the owner check of the signal decides
    // Neither another user's socket nor another user's process: that the
    // kernel would refuse the signal is no reason to send it.
    if (row.uid != selfUid || (row.pid > 0 && row.process.uid != selfUid))
        return Refusal{Refusal::Kind::OtherUser, StopText::otherUser(row),
                       keeperCommand(placeKeeper(row, selfUid), row)};
    if (row.pid > 0)
        return std::nullopt;
    return Refusal{Refusal::Kind::Uncertain, StopText::uncertain(row),
                   keeperCommand(placeKeeper(row, selfUid), row)};
}

Keeper placeKeeper(const PortEntry &row, qint64 selfUid) {
    if (row.keeper.kind != Keeper::Kind::None)
        return row.keeper;
    Keeper keeper;
    if (!row.process.container.isEmpty() || !row.containerName.isEmpty()) {
        keeper.kind = Keeper::Kind::Container;
        keeper.containerId = row.process.container;
        keeper.containerName = row.containerName;
    } else if (isStoppableService(row.process, selfUid)) {
        // A scope is no keeper: the manager only groups what something else
        // started.
        keeper.kind = Keeper::Kind::Service;
        keeper.unit = row.process.unit;
        keeper.userUnit = row.process.userUnit;
    }
    return keeper;
}

bool isStoppableKeeper(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        return !keeper.unit.isEmpty() && !isContainerEngineUnit(keeper.unit) &&
               !keeper.unit.startsWith(u"user@");
    case Keeper::Kind::Container:
        return !keeper.containerId.isEmpty() || !keeper.containerName.isEmpty();
    case Keeper::Kind::None:
    case Keeper::Kind::Parent:
        break;
    }
    return false;
}

QString keeperKey(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        return (keeper.userUnit ? QStringLiteral("user-unit:") : QStringLiteral("unit:")) +
               keeper.unit;
    case Keeper::Kind::Container:
        // The short id: engines and cgroups give either length.
        return QStringLiteral("container:") +
               (keeper.containerId.isEmpty() ? keeper.containerName : keeper.containerId.left(12));
    case Keeper::Kind::None:
    case Keeper::Kind::Parent:
        break;
    }
    return {};
}

bool sameKeeper(const Keeper &a, const Keeper &b) {
    const QString key = keeperKey(a);
    return !key.isEmpty() && key == keeperKey(b);
}

Keeper parentKeeper(qint32 pid, quint64 startTicks, const StatReader &proc) {
    const StatReading self = proc.read(pid);
    if (!self.stat || (startTicks != 0 && self.stat->startTicks != startTicks))
        return {};
    const qint32 ppid = self.stat->ppid;
    const StatReading parent = proc.read(ppid);
    if (!parent.stat || keepsNothingInParticular(ppid, parent.stat->comm))
        return {};
    Keeper keeper;
    keeper.kind = Keeper::Kind::Parent;
    keeper.parentPid = ppid;
    keeper.parentStartTicks = parent.stat->startTicks;
    keeper.parentName = utf8Text(parent.stat->comm);
    return keeper;
}

bool parentAlive(const Keeper &parent, const StatReader &proc) {
    const StatReading now = proc.read(parent.parentPid);
    return now.stat ? now.stat->startTicks == parent.parentStartTicks && now.stat->state != 'Z'
                    : now.error != 0;
}

Keeper keeperOfProcess(const PortEntry &row, qint64 selfUid, const StatReader &proc) {
    const Keeper place = placeKeeper(row, selfUid);
    // What runs in a container was started by the container's own processes,
    // which the container restarts with them; a keeper the keepers' service
    // found is what the row says.
    if (place.kind == Keeper::Kind::Container || row.keeper.kind != Keeper::Kind::None)
        return place;
    if (row.pid > 0) {
        const Keeper parent = parentKeeper(row.pid, row.process.startTicks, proc);
        if (parent.kind != Keeper::Kind::None)
            return parent;
    }
    return place;
}

KeeperChoice chooseKeeper(const QList<const PortEntry *> &holders, Keeper::Kind want,
                          qint64 selfUid) {
    KeeperChoice choice;
    for (const PortEntry *row : holders) {
        choice.engineHeld = choice.engineHeld || isEngineHeld(*row);
        const Keeper keeper = placeKeeper(*row, selfUid);
        // The engine's own process in a unit: that unit runs every container.
        if (!isStoppableKeeper(keeper) ||
            (keeper.kind == Keeper::Kind::Service && isEngineHeld(*row)))
            continue;
        if (keeper.kind == want && !choice.wanted)
            choice.wanted = keeper;
        else if (keeper.kind != want && !choice.other)
            choice.other = keeper;
    }
    return choice;
}

bool containerHoldsPort(const ContainerTies &ties, const QList<const PortEntry *> &holders,
                        const StatReader &proc) {
    for (const PortEntry *row : holders) {
        if (ties.published.contains(std::pair{row->networkProtocol, row->port}))
            return true;
        if (ties.pid <= 0 || row->pid <= 0)
            continue;
        // Read before the start time is checked: the process was there
        // throughout, so they were its own and no later holder's of its pid.
        const QByteArray cgroups = row->pid == ties.pid ? QByteArray() : proc.cgroups(row->pid);
        const StatReading now = proc.read(row->pid);
        if (!now.stat ||
            (row->process.startTicks != 0 && now.stat->startTicks != row->process.startTicks))
            continue;
        if (row->pid == ties.pid || inCgroupsOf(cgroups, proc.cgroups(ties.pid)))
            return true;
    }
    return false;
}
