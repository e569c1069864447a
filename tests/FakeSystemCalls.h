#pragma once

#include "process/SystemCalls.h"

#include <cerrno>
#include <functional>

// System calls answered by the test. A call the test does not give fails as
// it would where it is missing or refused (no pidfds, EPERM, no login, no
// process), and never reaches the real one: a fake can signal nobody.
struct FakeSystemCalls final : SystemCalls {
    std::function<QString()> login;
    std::function<int(qint32 pid, int signal)> kill;
    std::function<int(qint32 pid)> pidfdOpen;
    std::function<int(int pidfd, int signal)> pidfdSendSignal;
    std::function<void(int fd)> closeFd;
    std::function<StatReading(qint32 pid)> processStat;

    QString loginName() const override { return login ? login() : QString(); }
    int sendKill(qint32 pid, int signal) const override { return kill ? kill(pid, signal) : EPERM; }
    int openPidfd(qint32 pid) const override { return pidfdOpen ? pidfdOpen(pid) : -ENOSYS; }
    int sendThroughPidfd(int pidfd, int signal) const override {
        return pidfdSendSignal ? pidfdSendSignal(pidfd, signal) : EPERM;
    }
    void closePidfd(int fd) const override {
        if (closeFd)
            closeFd(fd);
    }
    StatReading readStat(qint32 pid) const override {
        return processStat ? processStat(pid) : StatReading();
    }
};
