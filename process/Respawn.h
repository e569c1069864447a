#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"

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

// "It is kept by the service demo.service (Restart=always)." and the like;
// empty for None.
QString keeperSentence(const Keeper &keeper);
