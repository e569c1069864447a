#pragma once

#include <QStringList>

class KeeperService;
class LsofRuns;

// quayline-cli stop [--force] [--timeout SECONDS] [--watch SECONDS]
// [--service | --container] [--lsof PATH] PORT...: the panel's stop
// escalation for every process listening on one of the ports, watching the
// ports for a process that takes them again; or the stop of the unit or the
// container that keeps each port.
int runStopCommand(LsofRuns &runs, const QStringList &arguments, KeeperService &keepers);
