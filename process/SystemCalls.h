#pragma once

#include "process/ProcStat.h"

#include <QString>

// The system calls behind stopping a process, as one interface: the real one,
// or a test's fake in its place (refusals, a kernel without pidfds, a recycled
// pid), so that tests never signal anybody else's process. Nothing mixes the
// two: a fake answers every call itself.
class SystemCalls {
public:
    virtual ~SystemCalls() = default;

    // Login name of the real user, in the form lsof prints in its L field.
    virtual QString loginName() const = 0;
    // kill(2): 0 on success, otherwise the errno value. Only used where the
    // kernel has no pidfds.
    virtual int sendKill(qint32 pid, int signal) const = 0;
    // pidfd_open(2): a new descriptor, or minus the errno value (-ENOSYS, or
    // -EPERM from a seccomp filter, where there are no pidfds).
    virtual int openPidfd(qint32 pid) const = 0;
    // pidfd_send_signal(2): 0 on success, otherwise the errno value.
    virtual int sendThroughPidfd(int pidfd, int signal) const = 0;
    // close(2) of a descriptor that openPidfd() returned.
    virtual void closePidfd(int fd) const = 0;
    // /proc/PID/stat of the process holding pid now.
    virtual StatReading readStat(qint32 pid) const = 0;

    // The real calls; one object for the whole program, without state.
    static const SystemCalls &real();
};

// The login name of uid: its passwd entry, or the decimal uid without one (as
// lsof prints it).
QString loginNameOf(quint32 uid);
// The real user's login name.
QString currentLoginName();
