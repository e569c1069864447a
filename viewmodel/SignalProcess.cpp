#include "viewmodel/SignalProcess.h"

#include <csignal>
#include <pwd.h>
#include <unistd.h>

QString currentLoginName() {
    const uid_t uid = ::getuid();
    if (const passwd *pw = ::getpwuid(uid))
        return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(uid);
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

std::optional<KillError> escalateStop(QSet<qint32> &termSent, qint32 pid, const QString &owner,
                                      quint64 startTicks, const SystemCalls &system) {
    const bool force = termSent.contains(pid);
    std::optional<KillError> error = signalProcess(pid, owner, force, startTicks, system);
    if (!error && !force)
        termSent.insert(pid);
    else if (!error || error->kind() == KillError::Kind::ProcessGone)
        termSent.remove(pid);
    return error;
}

void pruneTermSent(QSet<qint32> &termSent, const PortEntryList &entries) {
    if (termSent.isEmpty())
        return;
    QSet<qint32> listed;
    listed.reserve(entries.size());
    for (const PortEntry &e : entries)
        listed.insert(e.pid);
    termSent.intersect(listed);
}
