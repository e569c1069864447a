#include "process/ProcessHandle.h"

#include "process/Descriptor.h"

#include <cerrno>
#include <thread>
#include <utility>

namespace {

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

} // namespace

ProcessHandle::ProcessHandle(ProcessHandle &&other) noexcept {
    swap(other);
}

ProcessHandle &ProcessHandle::operator=(ProcessHandle &&other) noexcept {
    ProcessHandle(std::move(other)).swap(*this);
    return *this;
}

void ProcessHandle::swap(ProcessHandle &other) noexcept {
    std::swap(m_system, other.m_system);
    std::swap(m_pid, other.m_pid);
    std::swap(m_startTicks, other.m_startTicks);
    std::swap(m_pidfd, other.m_pidfd);
    std::swap(m_open, other.m_open);
    std::swap(m_error, other.m_error);
}

ProcessHandle::~ProcessHandle() {
    if (m_pidfd >= 0)
        m_system->closePidfd(m_pidfd);
}

ProcessHandle ProcessHandle::open(qint32 pid, quint64 startTicks, const SystemCalls &system) {
    ProcessHandle handle;
    handle.m_system = &system;
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
    const int fd = system.openPidfd(pid);
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
    const StatReading now = system.readStat(pid);
    if (now.error != 0) {
        handle.m_error = KillError::failed(now.error);
        return handle;
    }
    if (!now.stat || now.stat->startTicks != startTicks) {
        handle.m_error = KillError::processGone();
        return handle;
    }
    handle.m_open = true;
    handle.m_error.reset();
    return handle;
}

std::optional<KillError> ProcessHandle::signal(int signal) const {
    if (!m_open)
        return m_error;
    if (m_pidfd >= 0)
        return fromErrno(m_system->sendThroughPidfd(m_pidfd, signal));
    // Without a pidfd the check is repeated right before kill(2). The pid can
    // still pass to another process between the two calls: a few microseconds
    // in which the process would have to exit, be reaped by its parent, and
    // the kernel hand out the same pid again, which it does only after going
    // through every other free pid up to pid_max (4,194,304 by default).
    const StatReading now = m_system->readStat(m_pid);
    if (now.error != 0)
        return KillError::failed(now.error);
    if (!now.stat || now.stat->startTicks != m_startTicks)
        return KillError::processGone();
    return fromErrno(m_system->sendKill(m_pid, signal));
}

ProcessHandle::Wait ProcessHandle::waitForExit(qint32 pid, quint64 startTicks,
                                               QDeadlineTimer deadline,
                                               std::optional<KillError> *error) {
    const ProcessHandle handle = open(pid, startTicks);
    if (!handle.isOpen()) {
        if (handle.error()->kind() == KillError::Kind::ProcessGone)
            return Wait::Exited;
        *error = handle.error();
        return Wait::Failed;
    }
    int code = 0;
    const Wait wait = handle.waitForExit(deadline, &code);
    if (wait == Wait::Failed)
        *error = KillError::failed(code);
    return wait;
}

ProcessHandle::Wait ProcessHandle::waitForExit(QDeadlineTimer deadline, int *error) const {
    if (!m_open)
        return Wait::Exited;
    if (m_pidfd >= 0) {
        switch (waitReadable(m_pidfd, deadline)) {
        case Readiness::Ready:
            return Wait::Exited;
        case Readiness::TimedOut:
            return Wait::Running;
        case Readiness::Failed:
            break; // not a pollable pidfd (a test's): look at /proc instead
        }
    }
    for (;;) {
        const StatReading now = m_system->readStat(m_pid);
        if (now.error != 0) {
            if (error)
                *error = now.error;
            return Wait::Failed;
        }
        const bool running = now.stat && now.stat->startTicks == m_startTicks &&
                             now.stat->state != 'Z' && now.stat->state != 'X';
        if (!running)
            return Wait::Exited;
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return Wait::Running;
        std::this_thread::sleep_for(
            std::chrono::milliseconds(left < 0 ? 10 : std::min<qint64>(left, 10)));
    }
}
