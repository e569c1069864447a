#pragma once

#include "model/KillError.h"
#include "process/SystemCalls.h"

#include <QDeadlineTimer>
#include <optional>

// One process, held from the check of its identity to its last signal. The
// check compares the start time recorded when a scan listed the pid with the
// one the process holding the pid has now; a pid handed on to another process
// fails it and counts as gone. Signals then go through the pidfd, which refers
// to that one process: once it has exited they fail as gone, even if the
// kernel has meanwhile handed its pid to a newcomer. Move-only; closes its
// descriptor when destroyed. The system calls must outlive it. Not thread-safe.
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
    // pid below 1, failed(errno) when the pidfd or /proc could not be opened
    // or read (EMFILE): that says nothing about whether the process is there.
    bool isOpen() const { return m_open; }
    std::optional<KillError> error() const { return m_error; }

    qint32 pid() const { return m_pid; }
    // False on a kernel without pidfds, where signals go through kill(2).
    bool hasPidfd() const { return m_pidfd >= 0; }

    // Sends signal to the process. Nothing on success; processGone() when it
    // has exited (and, without a pidfd, when its pid has passed to another
    // process); permissionDenied() for EPERM; failed(errno) otherwise.
    std::optional<KillError> signal(int signal) const;

    enum class Wait { Exited, Running, Failed };
    // Waits until the process has exited (a zombie counts as exited) or the
    // deadline passes. Without a pidfd it looks every 10 ms. Failed, with
    // *error set, when it could not look.
    Wait waitForExit(QDeadlineTimer deadline, int *error = nullptr) const;
    // The same for the process that started at startTicks, opened anew (one
    // descriptor at a time however many are waited for): Exited too when it
    // was gone before; Failed, with *error, when it could not be looked at.
    static Wait waitForExit(qint32 pid, quint64 startTicks, QDeadlineTimer deadline,
                            std::optional<KillError> *error);

private:
    void swap(ProcessHandle &other) noexcept;

    const SystemCalls *m_system = nullptr;
    qint32 m_pid = 0;
    quint64 m_startTicks = 0;
    int m_pidfd = -1;
    bool m_open = false;
    std::optional<KillError> m_error = KillError::failed(-1);
};
