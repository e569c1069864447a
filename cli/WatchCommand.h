#pragma once

#include "scanner/PortWatch.h"

#include <QStringList>

class LsofRuns;

// How often the watch reads the kernel's socket table: a port open or closed
// for a second is seen at three reads at least, whatever their phase.
constexpr PortWatch::Options watchOptions{std::chrono::milliseconds(250), std::chrono::seconds(5)};

// quayline-cli watch: a line for each row that opens or closes from now on,
// until a terminating signal, which makes quitFd readable once the lsof runs
// have been ended, or until standard output is closed.
int runWatchCommand(LsofRuns &runs, const QStringList &arguments, int quitFd);
