#include "viewmodel/SignalProcess.h"

#include <cerrno>
#include <csignal>
#include <pwd.h>
#include <unistd.h>

QString currentLoginName() {
    const uid_t uid = ::getuid();
    if (const passwd *pw = ::getpwuid(uid))
        return QString::fromLocal8Bit(pw->pw_name);
    return QString::number(uid);
}

SystemCalls SystemCalls::real() {
    return {currentLoginName,
            [](qint32 pid, int signal) { return ::kill(pid_t(pid), signal) == 0 ? 0 : errno; }};
}

SystemCalls SystemCalls::completed() const {
    SystemCalls result = *this;
    if (!result.loginName)
        result.loginName = currentLoginName;
    if (!result.kill)
        result.kill = real().kill;
    return result;
}

std::optional<KillError> signalProcess(qint32 pid, const QString &owner, bool force,
                                       const SystemCalls &system) {
    // Below 1, kill(2) would address a process group or every process we may signal.
    if (pid < 1)
        return KillError::failed(-1);
    if (!owner.isEmpty()) {
        const auto nfc = QString::NormalizationForm_C;
        if (system.loginName().normalized(nfc) != owner.normalized(nfc))
            return KillError::notOwned(owner);
    }
    const int error = system.kill(pid, force ? SIGKILL : SIGTERM);
    switch (error) {
    case 0:
        return std::nullopt;
    case ESRCH:
        return KillError::processGone();
    case EPERM:
        return KillError::permissionDenied();
    default:
        return KillError::failed(error);
    }
}

std::optional<KillError> escalateStop(QSet<qint32> &termSent, qint32 pid, const QString &owner,
                                      const SystemCalls &system) {
    const bool force = termSent.contains(pid);
    std::optional<KillError> error = signalProcess(pid, owner, force, system);
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
