#pragma once

#include "model/KillError.h"
#include "model/PortEntry.h"

#include <QSet>
#include <chrono>
#include <functional>
#include <optional>

// The two system calls behind stopping a process, replaceable so that tests
// can exercise refusals without signalling anybody else's process.
struct SystemCalls {
    // Login name of the real user, in the form lsof prints in its L field.
    std::function<QString()> loginName;
    // kill(2): 0 on success, otherwise the errno value.
    std::function<int(qint32 pid, int signal)> kill;

    // The real calls; completed() fills a member left empty with the real one.
    static SystemCalls real();
    SystemCalls completed() const;
};

// Sends SIGTERM (or SIGKILL when force) to pid after the pid and owner checks.
// Returns nothing on success. Touches no state of its own.
std::optional<KillError> signalProcess(qint32 pid, const QString &owner, bool force,
                                       const SystemCalls &system = SystemCalls::real());

// The real user's login name: its passwd entry, or the decimal uid without one.
QString currentLoginName();

// One press of a stop control, the escalation shared by the panel and
// quayline-cli stop: SIGTERM for a pid not in termSent, SIGKILL for one that
// is. After SIGTERM the pid joins termSent; after SIGKILL, or when the process
// turns out to be gone already, it leaves. Any other refusal leaves termSent
// as it was, so the same kind of signal is offered again. Returns the error,
// processGone included (callers treat that one as no failure).
std::optional<KillError> escalateStop(QSet<qint32> &termSent, qint32 pid, const QString &owner,
                                      const SystemCalls &system = SystemCalls::real());

// How long after a stop signal the list is looked at again: the panel's
// delayed refresh, and the polling period of quayline-cli stop.
inline constexpr std::chrono::milliseconds stopRecheckDelay{400};

// Keeps in termSent only the pids that entries still list: a process no longer
// listed needs no SIGKILL.
void pruneTermSent(QSet<qint32> &termSent, const PortEntryList &entries);
