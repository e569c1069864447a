#include "process/StopStages.h"

#include "process/ProcessHandle.h"

#include <csignal>

std::optional<KillError> checkOwner(const QString &owner, const SystemCalls &system) {
    if (owner.isEmpty())
        return std::nullopt;
    const auto nfc = QString::NormalizationForm_C;
    if (system.loginName().normalized(nfc) != owner.normalized(nfc))
        return KillError::notOwned(owner);
    return std::nullopt;
}

std::optional<KillError> signalProcess(qint32 pid, const QString &owner, bool force,
                                       quint64 startTicks, const SystemCalls &system) {
    if (pid < 1)
        return KillError::failed(-1);
    if (std::optional<KillError> refusal = checkOwner(owner, system))
        return refusal;
    const ProcessHandle process = ProcessHandle::open(pid, startTicks, system);
    return process.isOpen() ? process.signal(force ? SIGKILL : SIGTERM) : process.error();
}

StopStages::Stage StopStages::next(qint32 pid, quint64 startTicks) const {
    return m_termSent.contains({pid, startTicks}) ? Stage::Force : Stage::Kill;
}

std::optional<KillError> StopStages::press(qint32 pid, quint64 startTicks, const QString &owner,
                                           const SystemCalls &system) {
    const Process process{pid, startTicks};
    const bool force = m_termSent.contains(process);
    std::optional<KillError> error = signalProcess(pid, owner, force, startTicks, system);
    if (!error && !force)
        m_termSent.insert(process);
    else if (!error || error->kind() == KillError::Kind::ProcessGone)
        m_termSent.remove(process);
    return error;
}

bool StopStages::keepListed(const PortEntryList &entries) {
    if (m_termSent.isEmpty())
        return false;
    QSet<Process> listed;
    listed.reserve(entries.size());
    for (const PortEntry &e : entries)
        listed.insert({e.pid, e.process.startTicks});
    const qsizetype before = m_termSent.size();
    m_termSent.intersect(listed);
    return m_termSent.size() != before;
}
