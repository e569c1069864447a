#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMutex>
#include <chrono>
#include <sys/types.h>
#include <utility>
#include <vector>

// A child's standard output as it is read. malloc and realloc rather than
// QByteArray: glibc moves a large block with mremap instead of copying it, so
// the output never exists twice while it grows.
class OutputBuffer {
public:
    OutputBuffer() = default;
    ~OutputBuffer();
    OutputBuffer(OutputBuffer &&other) noexcept
        : m_data(std::exchange(other.m_data, nullptr))
        , m_size(std::exchange(other.m_size, 0))
        , m_capacity(std::exchange(other.m_capacity, 0)) {}
    OutputBuffer &operator=(OutputBuffer &&other) noexcept {
        OutputBuffer(std::move(other)).swap(*this);
        return *this;
    }
    OutputBuffer(const OutputBuffer &) = delete;
    OutputBuffer &operator=(const OutputBuffer &) = delete;

    qint64 size() const { return m_size; }
    QByteArrayView view() const { return QByteArrayView(m_data, m_size); }
    // Room for n more bytes at the end, growing by doubling but never past most
    // bytes in all; nullptr when memory runs out.
    char *reserve(qint64 n, qint64 most);
    void commit(qint64 n) { m_size += n; }
    void swap(OutputBuffer &other) noexcept {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        std::swap(m_capacity, other.m_capacity);
    }

private:
    char *m_data = nullptr;
    qint64 m_size = 0;
    qint64 m_capacity = 0;
};

// How one child's run ended.
struct ChildRun {
    enum class Ending {
        Exited,     // it closed its output and exited; its exit status is not looked at
        NotStarted, // no pipe, or posix_spawn failed (error), or the runs were ended
        TimedOut,   // the time limit passed first; it was killed
        TooLong,    // it printed more than the cap; it was killed
        ReadFailed, // its output could not be read (error); it was killed
        Signalled,  // a signal (signal) ended it after its output
    };
    Ending ending = Ending::NotStarted;
    int error = 0; // errno for NotStarted and ReadFailed
    int signal = 0;
    OutputBuffer output; // everything it printed, when it Exited
    // When it started, in clock ticks after boot as /proc/PID/stat counts
    // them; 0 when unknown.
    quint64 startTicks = 0;
};

// The children that one part of the program starts, each reading standard
// output to its end, and those it has not reaped yet. Each child leads a
// process group of its own, so that whatever it leaves running is killed with
// it. A run takes its child out of the registry, under the lock, only right
// before reaping it, so a pid that endAll() signals is always still an
// unreaped child of ours and can never have been handed to another process.
// Safe to use from any thread.
class ChildProcesses {
public:
    struct Limits {
        // Covers the read and the wait for the exit together: a child can
        // close standard output and still not exit.
        std::chrono::milliseconds time;
        // A child that prints more than this is killed.
        qint64 outputCap;
        // The wait for the exit uses a pidfd where the kernel gives one, else a
        // bounded polling loop; false forces the loop (for tests).
        bool usePidFd = true;
    };

    ChildProcesses() = default;
    ChildProcesses(const ChildProcesses &) = delete;
    ChildProcesses &operator=(const ChildProcesses &) = delete;

    // Starts program (an absolute path; argv[0] is the path too) with
    // arguments, standard input and error on /dev/null, reads its standard
    // output to the end, waits for its exit and reaps it. Blocking.
    ChildRun run(const QByteArray &program, const QList<QByteArray> &arguments,
                 const Limits &limits);

    // Kills every child still running (its whole group) and makes later runs
    // fail without starting (NotStarted, ECANCELED). From any thread, more
    // than once.
    void endAll();

private:
    // The child did not die within the grace after SIGKILL: reaped by a later spawn.
    void abandon(pid_t child);
    // The child has exited; the caller reaps it right after.
    void release(pid_t child);

    QMutex m_mutex;
    std::vector<pid_t> m_running;
    std::vector<pid_t> m_abandoned;
    bool m_ended = false;
};
