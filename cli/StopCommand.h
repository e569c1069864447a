#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"

#include <QStringList>
#include <functional>

class LsofRuns;

// What the stop command asks about keepers: the systemd unit or container
// behind rows, with their restart settings, and the stop of one. Blocking.
struct KeeperAccess {
    std::function<void(PortEntryList &)> annotate;
    std::function<KeeperStopResult(const Keeper &)> stop;
};

// quayline-cli stop [--force] [--timeout SECONDS] [--watch SECONDS]
// [--service | --container] [--lsof PATH] PORT...: the panel's stop
// escalation for every process listening on one of the ports, watching the
// ports for a process that takes them again; or the stop of the unit or the
// container that keeps each port.
int runStopCommand(LsofRuns &runs, const QStringList &arguments, const KeeperAccess &keepers);
