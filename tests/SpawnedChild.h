#pragma once

// A child of the test, started by posix_spawn in a folder of the test's
// choosing with an argv of its own (argv[0] need not name the program, so
// comm and argv[0] may differ). Its standard input is a pipe the test holds,
// so that a shell can wait on it. Killed through a pidfd, which cannot reach
// a process that took the pid over, and reaped when it goes.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

struct SpawnedChild {
    pid_t pid = -1;
    int pidfd = -1;
    int input = -1;
    QByteArray cmdline; // what /proc/PID/cmdline holds for it

    SpawnedChild(const QByteArray &program, const QList<QByteArray> &args, const QByteArray &cwd) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        input = fds[1];
        std::vector<char *> argv;
        for (const QByteArray &a : args) {
            argv.push_back(const_cast<char *>(a.constData()));
            cmdline += a + '\0';
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
        posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());
        if (::posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        if (pid > 0)
            pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    }
    ~SpawnedChild() {
        if (pid > 0)
            killAndReap();
        ::close(pidfd);
        ::close(input);
    }
    SpawnedChild(const SpawnedChild &) = delete;
    SpawnedChild &operator=(const SpawnedChild &) = delete;

    // posix_spawn may return before the exec (under the sanitizers): true
    // once /proc shows the argv given.
    bool execed() const {
        QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
        return file.open(QIODevice::ReadOnly) && file.readAll() == cmdline;
    }
    // Waits until the child has exited (it stays a zombie until reap()).
    bool waitForExit() const {
        siginfo_t info{};
        return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) == 0;
    }
    void reap() {
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    void killAndReap() {
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        reap();
    }
};
