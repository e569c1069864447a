#pragma once

#include "model/KillError.h"
#include "model/PortEntry.h"
#include "viewmodel/ProcessHandle.h"

#include <QSet>
#include <functional>
#include <optional>

// Sends SIGTERM (or SIGKILL when force) to pid after the owner check, through
// a ProcessHandle, so only to the process that started at startTicks (the
// scan's ProcessInfo::startTicks); any other process on that pid, or an
// unknown start time, gives processGone(). Returns nothing on success.
// Touches no state of its own.
std::optional<KillError> signalProcess(qint32 pid, const QString &owner, bool force,
                                       quint64 startTicks,
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
                                      quint64 startTicks,
                                      const SystemCalls &system = SystemCalls::real());

// Keeps in termSent only the pids that entries still list: a process no longer
// listed needs no SIGKILL.
void pruneTermSent(QSet<qint32> &termSent, const PortEntryList &entries);
