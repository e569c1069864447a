#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"
#include "process/ProcStat.h"

#include <optional>

// A process that was stopped, as the scan before the stop listed it: what a
// later scan is compared with to see whether something took its port again.
struct StoppedProcess {
    qint32 pid = 0;
    quint64 startTicks = 0;
    QString processName;
    QString networkProtocol;
    qint64 port = 0;

    static StoppedProcess from(const PortEntry &entry);
};

// The row of a later scan that holds the stopped process's port (same
// protocol and port) and is another process (another pid, or the same pid
// with another start time); nothing while the port is free or still held by
// the stopped process itself.
std::optional<PortEntry> takenAgain(const StoppedProcess &stopped, const PortEntryList &now);

// "Port 8080 was taken again by PID M (node) right after PID N stopped."
QString takenAgainText(const StoppedProcess &stopped, const PortEntry &holder);

// Who started the new holder: the row's own keeper where the scan found one
// (its unit or container), else its parent process read from /proc (kind
// Parent), else None (a parent that is pid 1 or the user's service manager
// keeps nothing in particular).
Keeper keeperOfNewHolder(const PortEntry &holder);
// The same, reading processes under a proc root of the caller's choice.
Keeper keeperOfNewHolder(const PortEntry &holder, const StatReader &proc);

// The parent of the process that holds pid and started at startTicks (0: any
// start), as a Parent keeper; None where that process is gone, its parent
// cannot be read, or the parent is one that adopts or starts everything
// (pid 1, a service manager, a container runtime's shim), which restarts
// nothing of its own accord.
Keeper parentKeeper(qint32 pid, quint64 startTicks, const StatReader &proc = StatReader());

// "It is kept by the service demo.service (Restart=always)." and the like;
// empty for None.
QString keeperSentence(const Keeper &keeper);
// The same, knowing the parent of the process that was stopped (parentKeeper
// before the stop): a newcomer of another parent was not started again but
// by something else ("It was started by PID 900 (sh).").
QString keeperSentence(const Keeper &keeper, const Keeper &stoppedParent);

// The keeper of a row as far as the row itself tells: its own keeper where
// set, else the container or the .service unit that its cgroup names (never
// the container engine's own unit); None otherwise.
Keeper placeKeeper(const PortEntry &row);
