#pragma once

#include <QStringList>

// quayline-cli [--json] [--wide] [--lsof PATH] [FILTER]: one scan, printed.
int runListCommand(const QStringList &arguments);
