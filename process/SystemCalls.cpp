#include "process/SystemCalls.h"

#include "process/Descriptor.h"

#include <cerrno>
#include <csignal>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

class RealSystemCalls final : public SystemCalls {
public:
    QString loginName() const override { return currentLoginName(); }
    int sendKill(qint32 pid, int signal) const override {
        return ::kill(pid_t(pid), signal) == 0 ? 0 : errno;
    }
    int openPidfd(qint32 pid) const override { return openPidFd(pid); }
    int sendThroughPidfd(int pidfd, int signal) const override {
#ifdef SYS_pidfd_send_signal
        return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0 ? 0 : errno;
#else
        Q_UNUSED(pidfd);
        Q_UNUSED(signal);
        return ENOSYS;
#endif
    }
    void closePidfd(int fd) const override {
        ::close(fd);
    }
    StatReading readStat(qint32 pid) const override {
        return m_stat.read(pid);
    }

private:
    StatReader m_stat;
};

} // namespace

const SystemCalls &SystemCalls::real() {
    static const RealSystemCalls calls;
    return calls;
}

QString loginNameOf(quint32 uid) {
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid_t(uid), &entry, buffer, sizeof buffer, &found) == 0 && found &&
        found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QString::number(uid);
}

QString currentLoginName() {
    return loginNameOf(::getuid());
}
