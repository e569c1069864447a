#pragma once

#include "model/KillError.h"

#include <functional>
#include <optional>

// The two system calls behind stopping a process, replaceable so that tests
// can exercise refusals without signalling anybody else's process.
struct SystemCalls
{
    // Login name of the real user, in the form lsof prints in its L field.
    std::function<QString()> loginName;
    // kill(2): 0 on success, otherwise the errno value.
    std::function<int(qint32 pid, int signal)> kill;

    static SystemCalls real();
};

// Sends SIGTERM (or SIGKILL when force) to pid after the pid and owner checks.
// Returns nothing on success. Touches no state of its own.
std::optional<KillError> signalProcess(qint32 pid, const QString &owner, bool force,
                                       const SystemCalls &system = SystemCalls::real());

// The real user's login name: its passwd entry, or the decimal uid without one.
QString currentLoginName();
