#include "process/Respawn.h"

#include "model/Holder.h"

#include <unistd.h>

namespace {

// Parents that start or adopt processes without restarting any of them by
// themselves: the service manager (the system's, or the user's "systemd
// --user"), which restarts through a unit's Restart= instead, and the
// processes container runtimes put above a container. Names as the kernel
// keeps them, cut at 15 bytes.
bool keepsNothingInParticular(qint32 pid, const QByteArray &comm) {
    return pid <= 1 || comm == "systemd" || comm == "init" || comm.startsWith("containerd-shim") ||
           comm == "conmon";
}

bool sameProcess(qint32 pid, quint64 startTicks, const PortEntry &row) {
    // Where either start time is unknown the pid alone decides: nothing then
    // shows that the pid passed to another process.
    return row.pid == pid &&
           (startTicks == 0 || row.process.startTicks == 0 || row.process.startTicks == startTicks);
}

} // namespace

StoppedProcess StoppedProcess::from(const PortEntry &entry) {
    return {entry.pid, entry.process.startTicks, entry.processName, entry.networkProtocol,
            entry.port};
}

std::optional<PortEntry> takenAgain(const StoppedProcess &stopped, const PortEntryList &now) {
    std::optional<PortEntry> found;
    for (const PortEntry &row : now) {
        if (row.port != stopped.port || row.networkProtocol != stopped.networkProtocol ||
            sameProcess(stopped.pid, stopped.startTicks, row))
            continue;
        // A row that names its process says more than one of the kernel's
        // that knows only the owner.
        if (row.pid > 0)
            return row;
        if (!found)
            found = row;
    }
    return found;
}

QString takenAgainText(const StoppedProcess &stopped, const PortEntry &holder) {
    QString newcomer;
    if (holder.pid > 0) {
        newcomer = QStringLiteral("PID %1 (%2)").arg(holder.pid).arg(holder.processName);
    } else {
        const QString place = holderPlace(holder);
        newcomer = holder.user.isEmpty() ? QStringLiteral("another process")
                                         : QStringLiteral("a process of %1").arg(holder.user);
        if (!place.isEmpty())
            newcomer += QStringLiteral(" (%1)").arg(place);
    }
    return QStringLiteral("Port %1 was taken again by %2 right after PID %3 stopped.")
        .arg(stopped.port)
        .arg(newcomer)
        .arg(stopped.pid);
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
    keeper.parentName = QString::fromUtf8(parent.stat->comm);
    return keeper;
}

Keeper keeperOfNewHolder(const PortEntry &holder) {
    return keeperOfNewHolder(holder, StatReader());
}

Keeper placeKeeper(const PortEntry &row) {
    if (row.keeper.kind != Keeper::Kind::None)
        return row.keeper;
    Keeper keeper;
    if (!row.process.container.isEmpty() || !row.containerName.isEmpty()) {
        keeper.kind = Keeper::Kind::Container;
        keeper.containerId = row.process.container;
        keeper.containerName = row.containerName;
    } else if (isStoppableService(row.process, qint64(::getuid()))) {
        // A scope is no keeper: the manager only groups what something else
        // started.
        keeper.kind = Keeper::Kind::Service;
        keeper.unit = row.process.unit;
        keeper.userUnit = row.process.userUnit;
    }
    return keeper;
}

Keeper keeperOfNewHolder(const PortEntry &holder, const StatReader &proc) {
    const Keeper place = placeKeeper(holder);
    // What runs in a container was started by the container's own processes,
    // which the container restarts with them.
    if (place.kind == Keeper::Kind::Container || holder.keeper.kind != Keeper::Kind::None)
        return place;
    // A parent that restarts its child is closer to the cause than the unit
    // both run in (a shell loop inside a terminal's service, say); a unit's
    // main process has the service manager for its parent.
    if (holder.pid > 0) {
        const Keeper parent = parentKeeper(holder.pid, holder.process.startTicks, proc);
        if (parent.kind != Keeper::Kind::None)
            return parent;
    }
    return place;
}

QString keeperSentence(const Keeper &keeper, const Keeper &stoppedParent) {
    if (keeper.kind == Keeper::Kind::Parent &&
        (stoppedParent.kind != Keeper::Kind::Parent ||
         stoppedParent.parentPid != keeper.parentPid ||
         stoppedParent.parentStartTicks != keeper.parentStartTicks))
        return QStringLiteral("It was started by %1.").arg(keeper.text());
    return keeperSentence(keeper);
}

QString keeperSentence(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::None:
        return {};
    case Keeper::Kind::Service:
    case Keeper::Kind::Container:
        return QStringLiteral("It is kept by %1.").arg(keeper.text());
    case Keeper::Kind::Parent:
        return QStringLiteral("It was started again by %1.").arg(keeper.text());
    }
    return {};
}
