#pragma once

#include <QDeadlineTimer>
#include <utility>

// A file descriptor this program owns, closed when the object goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        UniqueFd(std::move(other)).swap(*this);
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    void swap(UniqueFd &other) noexcept { std::swap(m_fd, other.m_fd); }

private:
    int m_fd = -1;
};

// pidfd_open(2): a new descriptor for the process on pid, or minus the errno
// value (-ENOSYS on a kernel without pidfds).
int openPidFd(int pid);

enum class Readiness { Ready, TimedOut, Failed };

// Waits until fd is readable (a pidfd: its process has exited) or the
// deadline passes, going on after signals. Failed leaves errno set; a
// descriptor that cannot be polled for reading (POLLERR, POLLNVAL) fails with EINVAL.
Readiness waitReadable(int fd, const QDeadlineTimer &deadline);

// Waits until fd is ready for events (POLLIN, POLLOUT) or the deadline
// passes, going on after signals. An error or a hang-up on fd counts as ready:
// the read or write that follows tells which. Failed leaves errno set: EBADF
// where fd is not open, else poll(2)'s own.
Readiness waitReady(int fd, short events, const QDeadlineTimer &deadline);
