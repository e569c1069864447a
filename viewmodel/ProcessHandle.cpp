#include "viewmodel/ProcessHandle.h"

#include "scanner/ProcessReader.h"
#include "viewmodel/SignalProcess.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

int realPidfdOpen(qint32 pid) {
#ifdef SYS_pidfd_open
    const int fd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    return fd >= 0 ? fd : -errno;
#else
    Q_UNUSED(pid);
    return -ENOSYS;
#endif
}

int realPidfdSendSignal(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0 ? 0 : errno;
#else
    Q_UNUSED(pidfd);
    Q_UNUSED(signal);
    return ENOSYS;
#endif
}

std::optional<KillError> fromErrno(int error) {
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

// Whether stat describes the process that started at startTicks and has not exited.
bool isRunning(const std::optional<ProcessStat> &stat, quint64 startTicks) {
    return stat && stat->startTicks == startTicks && stat->state != 'Z' && stat->state != 'X';
}

int realKill(qint32 pid, int signal) {
    return ::kill(pid_t(pid), signal) == 0 ? 0 : errno;
}

void realClose(int fd) {
    ::close(fd);
}

std::optional<ProcessStat> realProcessStat(qint32 pid) {
    static const ProcessReader reader;
    return reader.readStat(pid);
}

// Whether call is the real one, function, rather than a test's.
template <typename R, typename... A>
bool isReal(const std::function<R(A...)> &call, R (*function)(A...)) {
    const auto target = call.template target<R (*)(A...)>();
    return target && *target == function;
}

} // namespace

SystemCalls SystemCalls::real() {
    return {currentLoginName,    realKill,  realPidfdOpen,
            realPidfdSendSignal, realClose, realProcessStat};
}

SystemCalls SystemCalls::completed() const {
    // A seam that replaces one of the calls that send signals must not keep
    // (or get) a real one of the others, also where it started from real(),
    // nor close descriptors it made up.
    const bool replaced = (kill && !isReal(kill, realKill)) ||
                          (pidfdOpen && !isReal(pidfdOpen, realPidfdOpen)) ||
                          (pidfdSendSignal && !isReal(pidfdSendSignal, realPidfdSendSignal));
    SystemCalls result = *this;
    if (!result.loginName)
        result.loginName = currentLoginName;
    if (!result.kill || (replaced && isReal(result.kill, realKill)))
        result.kill = replaced ? [](qint32, int) { return EPERM; } : realKill;
    if (!result.pidfdOpen || (replaced && isReal(result.pidfdOpen, realPidfdOpen)))
        result.pidfdOpen = replaced ? [](qint32) { return -ENOSYS; } : realPidfdOpen;
    if (!result.pidfdSendSignal ||
        (replaced && isReal(result.pidfdSendSignal, realPidfdSendSignal)))
        result.pidfdSendSignal = replaced ? [](int, int) { return EPERM; } : realPidfdSendSignal;
    const bool realDescriptors = isReal(result.pidfdOpen, realPidfdOpen);
    if (!result.closeFd || (!realDescriptors && isReal(result.closeFd, realClose)))
        result.closeFd = realDescriptors ? realClose : [](int) {};
    if (!result.processStat)
        result.processStat = realProcessStat;
    return result;
}

ProcessHandle::ProcessHandle(ProcessHandle &&other) noexcept
    : m_system(std::move(other.m_system))
    , m_pid(other.m_pid)
    , m_startTicks(other.m_startTicks)
    , m_pidfd(std::exchange(other.m_pidfd, -1))
    , m_open(std::exchange(other.m_open, false))
    , m_error(std::exchange(other.m_error, KillError::failed(-1))) {}

ProcessHandle &ProcessHandle::operator=(ProcessHandle &&other) noexcept {
    if (this != &other) {
        this->~ProcessHandle();
        new (this) ProcessHandle(std::move(other));
    }
    return *this;
}

ProcessHandle::~ProcessHandle() {
    if (m_pidfd >= 0)
        m_system.closeFd(m_pidfd);
}

ProcessHandle ProcessHandle::open(qint32 pid, quint64 startTicks, const SystemCalls &system) {
    ProcessHandle handle;
    handle.m_system = system.completed();
    handle.m_pid = pid;
    handle.m_startTicks = startTicks;
    // Below 1, kill(2) would address a process group or every process we may signal.
    if (pid < 1)
        return handle;
    // Nothing to check the process against. A scan leaves the start time
    // unknown only when the pid had already exited or passed to another
    // process when it read /proc (lsof itself reads /proc, so it is there);
    // the refresh that follows a "gone" lists the pid again, with its start
    // time, if its process is still there.
    if (startTicks == 0) {
        handle.m_error = KillError::processGone();
        return handle;
    }
    // pidfd_open(2) checks no permissions, so EPERM comes from a seccomp
    // filter that does not know the call (older container runtimes): the
    // same as a kernel without it.
    const int fd = handle.m_system.pidfdOpen(pid);
    if (fd < 0 && fd != -ENOSYS && fd != -EPERM) {
        handle.m_error = fromErrno(-fd);
        return handle;
    }
    handle.m_pidfd = fd >= 0 ? fd : -1;
    // Read after the pidfd is open, so the check is free of races: the listed
    // process started before the scan and keeps its pid until it is reaped,
    // so if it holds the pid now it held it when the pidfd was opened, and the
    // pidfd refers to it. (One that has exited and awaits its parent still
    // counts; signals to it are accepted and do nothing.)
    const std::optional<ProcessStat> stat = handle.m_system.processStat(pid);
    if (!stat || stat->startTicks != startTicks) {
        handle.m_error = KillError::processGone();
        return handle;
    }
    handle.m_open = true;
    handle.m_error.reset();
    return handle;
}

std::optional<KillError> ProcessHandle::error() const {
    return m_error;
}

std::optional<KillError> ProcessHandle::signal(int signal) const {
    if (!m_open)
        return m_error;
    if (m_pidfd >= 0)
        return fromErrno(m_system.pidfdSendSignal(m_pidfd, signal));
    // Without a pidfd the check is repeated right before kill(2). The pid can
    // still pass to another process between the two calls: a few microseconds
    // in which the process would have to exit, be reaped by its parent, and
    // the kernel hand out the same pid again, which it does only after going
    // through every other free pid up to pid_max (4,194,304 by default).
    const std::optional<ProcessStat> stat = m_system.processStat(m_pid);
    if (!stat || stat->startTicks != m_startTicks)
        return KillError::processGone();
    return fromErrno(m_system.kill(m_pid, signal));
}

bool ProcessHandle::waitForExit(QDeadlineTimer deadline) const {
    if (m_pid < 1)
        return true;
    if (m_pidfd >= 0) {
        pollfd pfd{m_pidfd, POLLIN, 0};
        for (;;) {
            const qint64 left = deadline.remainingTime();
            const int rc = ::poll(&pfd, 1, left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX)));
            if (rc > 0 && (pfd.revents & POLLIN))
                return true;
            if (rc == 0)
                return false;
            if (rc > 0 || errno != EINTR)
                break; // not a pollable pidfd: look at /proc instead
        }
    }
    for (;;) {
        if (!isRunning(m_system.processStat(m_pid), m_startTicks))
            return true;
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(left < 0 ? 10 : std::min<qint64>(left, 10)));
    }
}

std::optional<KillError> checkOwner(const QString &owner, const SystemCalls &system) {
    if (owner.isEmpty())
        return std::nullopt;
    const auto nfc = QString::NormalizationForm_C;
    const QString me = system.loginName ? system.loginName() : currentLoginName();
    if (me.normalized(nfc) != owner.normalized(nfc))
        return KillError::notOwned(owner);
    return std::nullopt;
}
