#include "process/ChildProcess.h"

#include "process/Descriptor.h"
#include "process/ProcStat.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

using namespace std::chrono_literals;

namespace {

// How long a killed child may take to die before it is left to be reaped
// later. SIGKILL ends a process at once unless it is stuck in the kernel (a
// hard network mount); the caller must not wait on that without bound.
constexpr auto killGrace = 2s;

// SIGKILL to the process group that our child leads. Only a spawned child's
// pid (always above 1) names such a group; anything else would make kill(2)
// address our own group or every process we may signal.
void killGroup(pid_t leader) {
    if (leader > 1)
        ::kill(-leader, SIGKILL);
}

// Waits until child has exited, without reaping it, so that its pid and its
// process group stay ours until the caller has done with them. False when the
// deadline passed first.
bool waitForExit(pid_t child, const QDeadlineTimer &deadline, bool usePidFd) {
    if (usePidFd) {
        const UniqueFd pidFd(openPidFd(child));
        if (pidFd.isValid()) {
            const Readiness wait = waitReadable(pidFd.get(), deadline);
            if (wait != Readiness::Failed)
                return wait == Readiness::Ready;
        }
        // No pidfd (kernels before 5.3, seccomp filters): the loop below.
    }
    // A bounded waitpid(WNOHANG) loop; WNOWAIT leaves the child unreaped. The
    // pauses grow from 1 ms, so that a child exiting right after its output
    // costs nothing, to 20 ms, so that a long wait costs little.
    std::chrono::nanoseconds pause = 1ms;
    for (;;) {
        siginfo_t info{};
        const int rc = ::waitid(P_PID, id_t(child), &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc == 0 && info.si_pid == child)
            return true;
        if (rc < 0 && errno != EINTR)
            return true; // nothing to wait for; the reap reports nothing either
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(std::min(pause, deadline.remainingTimeAsDuration()));
        pause = std::min<std::chrono::nanoseconds>(pause * 2, 20ms);
    }
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A posix_spawn object, made and destroyed by its own pair of functions.
template <typename T, int (*init)(T *), int (*destroy)(T *)> class SpawnObject {
public:
    SpawnObject() { init(&m_object); }
    ~SpawnObject() { destroy(&m_object); }
    SpawnObject(const SpawnObject &) = delete;
    SpawnObject &operator=(const SpawnObject &) = delete;
    T *get() { return &m_object; }

private:
    T m_object;
};

using FileActions = SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init,
                                posix_spawn_file_actions_destroy>;

class SpawnAttributes
    : public SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy> {
public:
    SpawnAttributes() {
        // The child starts with default dispositions and nothing blocked, whatever
        // the calling thread had.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(get(), &none);
        posix_spawnattr_setsigdefault(get(), &all);
        // A process group of its own, led by the child. Whatever the child leaves
        // running (a helper holding standard output after it exited, say) is in
        // that group and is killed with it. The group's id is the pid of our own
        // child, which is ours until we reap it, so killing the group before the
        // reap cannot reach a process that took a recycled id; a kill by pid alone
        // would miss the helpers. The price: a Ctrl+C at a terminal no longer
        // reaches the child, which is then ended by the pipe's closing or the limit.
        posix_spawnattr_setpgroup(get(), 0);
        posix_spawnattr_setflags(get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETPGROUP);
    }
};

} // namespace

OutputBuffer::~OutputBuffer() {
    std::free(m_data);
}

char *OutputBuffer::reserve(qint64 n, qint64 most) {
    if (m_size + n > m_capacity) {
        const qint64 capacity =
            std::max(m_size + n, std::min(std::max<qint64>(m_capacity * 2, 65536), most));
        auto *data = static_cast<char *>(std::realloc(m_data, size_t(capacity)));
        if (!data)
            return nullptr;
        m_data = data;
        m_capacity = capacity;
    }
    return m_data + m_size;
}

void ChildProcesses::release(pid_t child) {
    QMutexLocker lock(&m_mutex);
    std::erase(m_running, child);
}

void ChildProcesses::abandon(pid_t child) {
    QMutexLocker lock(&m_mutex);
    std::erase(m_running, child);
    m_abandoned.push_back(child);
}

void ChildProcesses::endAll() {
    QMutexLocker lock(&m_mutex);
    m_ended = true;
    for (const pid_t child : m_running)
        killGroup(child);
    for (const pid_t child : m_abandoned)
        killGroup(child);
}

ChildRun ChildProcesses::run(const QByteArray &program, const QList<QByteArray> &arguments,
                             const Limits &limits) {
    ChildRun result;
    QList<QByteArray> argBytes{program};
    argBytes.append(arguments);
    std::vector<char *> argv;
    for (QByteArray &a : argBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.error = errno;
        return result;
    }
    const int readFd = pipeFds[0];

    FileActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#endif
    SpawnAttributes attributes;

    pid_t child = -1;
    {
        // Spawned under the lock, so that endAll() cannot fall between the
        // spawn and the registration.
        QMutexLocker lock(&m_mutex);
        if (m_ended) {
            result.error = ECANCELED;
        } else {
            std::erase_if(m_abandoned, [](pid_t abandoned) {
                const pid_t rc = ::waitpid(abandoned, nullptr, WNOHANG);
                return rc == abandoned || (rc < 0 && errno == ECHILD);
            });
            result.error = ::posix_spawn(&child, program.constData(), actions.get(),
                                         attributes.get(), argv.data(), environ);
            if (result.error == 0)
                m_running.push_back(child);
        }
    }
    ::close(pipeFds[1]);
    if (result.error != 0) {
        ::close(readFd);
        return result;
    }

    // Our child, not reaped yet: its pid cannot pass to another process.
    const StatReading started = StatReader().read(child);
    result.startTicks = started.stat ? started.stat->startTicks : 0;

    const QDeadlineTimer deadline(limits.time);
    using Ending = ChildRun::Ending;
    result.ending = Ending::Exited;
    const qint64 cap = limits.outputCap;
    for (;;) {
        const Readiness wait = waitReadable(readFd, deadline);
        if (wait != Readiness::Ready) {
            result.ending = wait == Readiness::TimedOut ? Ending::TimedOut : Ending::ReadFailed;
            result.error = errno;
            break;
        }
        // One byte past the cap at most: that byte tells an output of exactly the
        // cap from a longer one. A pipe holds 64 KiB.
        const qint64 want = std::min<qint64>(65536, cap + 1 - result.output.size());
        char *tail = result.output.reserve(want, cap + 1);
        if (!tail) {
            result.ending = Ending::ReadFailed;
            result.error = ENOMEM;
            break;
        }
        const ssize_t n = ::read(readFd, tail, size_t(want));
        if (n > 0) {
            result.output.commit(n);
            if (result.output.size() > cap) {
                result.ending = Ending::TooLong;
                break;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            result.ending = Ending::ReadFailed;
            result.error = errno;
            break;
        }
    }
    ::close(readFd);

    if (result.ending == Ending::Exited && !waitForExit(child, deadline, limits.usePidFd))
        result.ending = Ending::TimedOut;
    // Ends the child when it is over the limit or the cap, and in every case
    // what it left behind in its group. Our child is not reaped yet, so the
    // group's id is still ours (see SpawnAttributes).
    killGroup(child);
    if (result.ending != Ending::Exited &&
        !waitForExit(child, QDeadlineTimer(killGrace), limits.usePidFd)) {
        abandon(child);
    } else {
        release(child);
        const int status = reap(child);
        if (result.ending == Ending::Exited && WIFSIGNALED(status)) {
            result.ending = Ending::Signalled;
            result.signal = WTERMSIG(status);
        }
    }
    if (result.ending != Ending::Exited)
        result.output = OutputBuffer();
    return result;
}
