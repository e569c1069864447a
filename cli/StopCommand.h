#pragma once

#include <QStringList>

class LsofRuns;

// quayline-cli stop [--force] [--timeout SECONDS] [--lsof PATH] PORT...: the
// panel's stop escalation for every process listening on one of the ports.
int runStopCommand(LsofRuns &runs, const QStringList &arguments);
