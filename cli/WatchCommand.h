#pragma once

#include <QStringList>

class LsofRuns;

// quayline-cli watch: a line for each row that opens or closes from now on,
// until a terminating signal, which makes quitFd readable once the lsof runs
// have been ended, or until standard output is closed.
int runWatchCommand(LsofRuns &runs, const QStringList &arguments, int quitFd);
