#pragma once

#include "model/KillError.h"
#include "model/PortEntry.h"
#include "process/SystemCalls.h"

#include <QSet>
#include <optional>

// The owner check of a stop: nothing when owner is empty or is the real user
// (compared in Unicode NFC), otherwise notOwned(owner).
std::optional<KillError> checkOwner(const QString &owner,
                                    const SystemCalls &system = SystemCalls::real());

// Sends SIGTERM (or SIGKILL when force) to pid after the owner check, through
// a ProcessHandle, so only to the process that started at startTicks (the
// scan's ProcessInfo::startTicks); any other process on that pid, or an
// unknown start time, gives processGone(). Returns nothing on success.
std::optional<KillError> signalProcess(qint32 pid, const QString &owner, bool force,
                                       quint64 startTicks,
                                       const SystemCalls &system = SystemCalls::real());

// Which signal the next press of a stop control sends to a process: SIGTERM
// first, SIGKILL once that very process (pid and start time) has had a
// SIGTERM. A process that a pid passes to later starts again at SIGTERM. The
// one record of it, used by the panel and by quayline-cli stop.
class StopStages {
public:
    // Named as the stop control reads: Kill sends SIGTERM, Force SIGKILL.
    enum class Stage { Kill, Force };

    Stage next(qint32 pid, quint64 startTicks) const;
    bool isEmpty() const { return m_termSent.isEmpty(); }

    // One press: the owner check, then the next stage's signal. After SIGTERM
    // the process moves on to Kill; after SIGKILL, or when it turns out to be
    // gone already, it is forgotten. Any other refusal leaves it where it was,
    // so the same signal is offered again. Returns the error, processGone
    // included (callers treat that one as no failure).
    std::optional<KillError> press(qint32 pid, quint64 startTicks, const QString &owner,
                                   const SystemCalls &system = SystemCalls::real());

    // Forgets the processes that entries no longer list (by pid and start
    // time): a process that is not listed needs no SIGKILL. True when any went.
    bool keepListed(const PortEntryList &entries);

private:
    struct Process {
        qint32 pid;
        quint64 startTicks;
        friend bool operator==(const Process &, const Process &) = default;
        friend size_t qHash(const Process &p, size_t seed = 0) noexcept {
            return qHashMulti(seed, p.pid, p.startTicks);
        }
    };
    QSet<Process> m_termSent;
};
