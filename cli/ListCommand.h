#pragma once

#include <QStringList>

class LsofRuns;

// quayline-cli [--json] [--wide] [--lsof PATH] [FILTER]: one scan, printed.
int runListCommand(LsofRuns &runs, const QStringList &arguments);
