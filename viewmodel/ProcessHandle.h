#pragma once

#include "model/KillError.h"
#include "model/ProcessInfo.h"

#include <QDeadlineTimer>
#include <QString>
#include <functional>
#include <optional>

// The system calls behind stopping a process, replaceable so that tests can
// exercise refusals, a kernel without pidfds and a recycled pid without
// signalling anybody else's process. A member left empty is filled by
// completed(): with the real call, except that a seam which replaces any of
// the calls that send signals (kill, pidfdOpen, pidfdSendSignal) neither gets
// nor keeps (from real()) a real one of those three: pidfdOpen then answers
// ENOSYS, the others EPERM.
struct SystemCalls {
    // Login name of the real user, in the form lsof prints in its L field.
    std::function<QString()> loginName;
    // kill(2): 0 on success, otherwise the errno value. Only used where the
    // kernel has no pidfds.
    std::function<int(qint32 pid, int signal)> kill;
    // pidfd_open(2): a new descriptor, or minus the errno value (-ENOSYS, or
    // -EPERM from a seccomp filter, where there are no pidfds).
    std::function<int(qint32 pid)> pidfdOpen;
    // pidfd_send_signal(2): 0 on success, otherwise the errno value.
    std::function<int(int pidfd, int signal)> pidfdSendSignal;
    // close(2) of a descriptor that pidfdOpen returned.
    std::function<void(int fd)> closeFd;
    // /proc/PID/stat of the process holding pid now; nothing when there is none.
    std::function<std::optional<ProcessStat>(qint32 pid)> processStat;

    // The real calls; completed() fills the members left empty (see above).
    static SystemCalls real();
    SystemCalls completed() const;
};

// One process, held from the check of its identity to its last signal. The
// check compares the start time recorded when a scan listed the pid with the
// one the process holding the pid has now; a pid handed on to another process
// fails it and counts as gone. Signals then go through the pidfd, which refers
// to that one process: once it has exited they fail as gone, even if the
// kernel has meanwhile handed its pid to a newcomer. Move-only; closes its
// descriptor when destroyed. Not thread-safe.
class ProcessHandle {
public:
    ProcessHandle() = default; // holds no process; error() is failed(-1)
    ProcessHandle(ProcessHandle &&other) noexcept;
    ProcessHandle &operator=(ProcessHandle &&other) noexcept;
    ProcessHandle(const ProcessHandle &) = delete;
    ProcessHandle &operator=(const ProcessHandle &) = delete;
    ~ProcessHandle();

    // Opens pid and checks that its process is the one that started at
    // startTicks (ProcessInfo::startTicks). An unknown start time (0) opens
    // nothing and counts as gone: a scan records no start time only when the
    // pid had already exited or passed to another process when it looked.
    static ProcessHandle open(qint32 pid, quint64 startTicks,
                              const SystemCalls &system = SystemCalls::real());

    // Whether the check passed. Otherwise error() says why: processGone() for
    // an exited or replaced process or an unknown start time, failed(-1) for a
    // pid below 1, failed(errno) when the pidfd could not be opened (EMFILE).
    bool isOpen() const { return m_open; }
    std::optional<KillError> error() const;

    qint32 pid() const { return m_pid; }
    quint64 startTicks() const { return m_startTicks; }
    // False on a kernel without pidfds, where signals go through kill(2).
    bool hasPidfd() const { return m_pidfd >= 0; }
    // The pidfd (-1 without one), e.g. for a caller's own poll(2) loop; it
    // stays owned by the handle.
    int pidfd() const { return m_pidfd; }

    // Sends signal to the process. Nothing on success; processGone() when it
    // has exited (and, without a pidfd, when its pid has passed to another
    // process); permissionDenied() for EPERM; failed(errno) otherwise.
    std::optional<KillError> signal(int signal) const;

    // Waits until the process has exited (a zombie counts as exited) or the
    // deadline passes; true when it exited. Without a pidfd it looks every 10 ms.
    bool waitForExit(QDeadlineTimer deadline) const;

private:
    SystemCalls m_system;
    qint32 m_pid = 0;
    quint64 m_startTicks = 0;
    int m_pidfd = -1;
    bool m_open = false;
    std::optional<KillError> m_error = KillError::failed(-1);
};

// The owner check of a stop: nothing when owner is empty or is the real user
// (compared in Unicode NFC), otherwise notOwned(owner).
std::optional<KillError> checkOwner(const QString &owner,
                                    const SystemCalls &system = SystemCalls::real());
