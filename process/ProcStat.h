#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// What /proc/PID/stat says about the process that holds a pid right now.
struct ProcessStat {
    QByteArray comm;        // the kernel's command name, at most 15 bytes
    char state = 0;         // 'R', 'S', ..., 'Z' for a process that exited and awaits its parent
    quint64 startTicks = 0; // clock ticks after boot at which it started
    qint32 ppid = 0;        // the parent's pid (0 for the kernel's own first processes)
};

// One look at /proc/PID/stat: the process on the pid, no process (stat empty,
// error 0), or a failure to look (error set, e.g. EMFILE), which says nothing
// about whether the process is there.
struct StatReading {
    std::optional<ProcessStat> stat;
    int error = 0;

    StatReading() = default;
    StatReading(std::optional<ProcessStat> found) // NOLINT: a reading is what it found
        : stat(std::move(found)) {}
    StatReading(ProcessStat found) // NOLINT
        : stat(std::move(found)) {}
    static StatReading failed(int error) {
        StatReading reading;
        reading.error = error;
        return reading;
    }
};

// Reads /proc/PID/stat under a proc root of the caller's choice (tests hand it
// a tree of their own). No state beyond the root; safe on any thread.
class StatReader {
public:
    explicit StatReader(QByteArray procRoot = QByteArrayLiteral("/proc"));

    StatReading read(int pid) const;
    // The process's /proc/PID/cgroup; empty where it cannot be read.
    QByteArray cgroups(int pid) const;

    // The parts of one stat line. comm is taken up to the last ')', since the
    // name itself may hold spaces and parentheses.
    static std::optional<ProcessStat> parse(QByteArrayView line);

    // Whether errno from opening or reading a process's files means that the
    // process is not there (rather than that the look itself failed).
    static bool meansGone(int error);

private:
    QByteArray m_root;
};
