#pragma once

#include <QStringList>

// quayline-cli free [--count N] [--tcp | --udp | --both] [--json] [PORT]: the
// first N ports from PORT upward that a new listener can take, or with
// --json every port looked at and why it is not free.
int runFreeCommand(const QStringList &arguments);
