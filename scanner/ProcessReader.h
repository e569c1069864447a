#pragma once

#include "model/PortEntry.h"
#include "model/ProcessInfo.h"

#include <QByteArrayView>
#include <QString>
#include <optional>

// Reads what a process is from the proc file system: /proc/PID/stat, cmdline,
// cwd and cgroup. The root is a parameter so that tests can hand it a tree of
// their own. Plain reads with no state beyond the boot time, safe on any thread.
class ProcessReader {
public:
    // A command line longer than this is cut here: argv can reach megabytes.
    static constexpr qsizetype maxCommandLineBytes = 256 * 1024;
    // What fill() reads of command lines in all, so that many processes with
    // long ones cannot grow a scan without bound. Once it is spent, each
    // further process still gets the start of its command line, up to
    // minCommandLineBytes.
    static constexpr qsizetype commandLineBudget = 8 * 1024 * 1024;
    static constexpr qsizetype minCommandLineBytes = 4 * 1024;

    explicit ProcessReader(QString procRoot = QStringLiteral("/proc"));

    // Everything about pid, provided its process still has the command name
    // lsof printed for it (commMatches); otherwise, when it is gone, or when
    // its folder in /proc cannot be opened, an empty ProcessInfo.
    ProcessInfo read(qint32 pid, QStringView lsofCommand) const;

    // Fills PortEntry::process of every entry, reading each distinct pid once,
    // within commandLineBudget bytes of command lines; rows with identical
    // command lines share one copy of it. A folder of /proc that cannot be
    // opened for another reason than its process being gone (EMFILE, say)
    // stops it with an error text: that process is not known to be gone.
    [[nodiscard]] std::optional<QString> fill(PortEntryList &entries,
                                              qsizetype budget = commandLineBudget) const;

    // The arguments of a raw /proc/PID/cmdline, decoded as UTF-8.
    static QStringList splitCommandLine(QByteArrayView raw);
    // The arguments of pid's command line, read up to limit bytes; none where
    // it cannot be read.
    QStringList commandLine(qint32 pid, qsizetype limit = maxCommandLineBytes) const;

    // The proc file system it reads: "/proc", or a test's tree.
    const QByteArray &procRoot() const { return m_root; }

    // Seconds since the epoch at which the machine booted (btime of
    // /proc/stat); 0 when unknown.
    qint64 bootTime() const { return m_bootTime; }

    struct CgroupPlace {
        QString unit;      // innermost systemd .service or .scope; empty inside a container
        QString container; // container id of docker, podman, containerd or CRI-O
        // The command that stops that container: "podman" for Podman's,
        // "crictl" for a Kubernetes pod's, else "docker".
        QString containerTool;
        // unit lies below a user's service manager ("user@1000.service/…"):
        // that manager, not the system's, runs it.
        bool userUnit = false;
        qint64 userManagerUid = -1;
    };
    // What the lines of /proc/PID/cgroup name, for the user selfUid (this
    // process's by default). A container is named only where its runtime puts
    // containers (Docker's "/system.slice/docker-<id>.scope" or
    // "/docker/<id>", root Podman's "/machine.slice/libpod-<id>.scope",
    // Kubernetes' "/kubepods…" slices; rootless ones under selfUid's own
    // manager's "user.slice"), never for a folder so named elsewhere, which
    // any user may make in their own part of the tree. Where a container is
    // named, unit stays empty: the scope systemd wraps around a container is
    // no unit anyone manages, and the id says more.
    static CgroupPlace parseCgroup(QByteArrayView text);
    static CgroupPlace parseCgroup(QByteArrayView text, qint64 selfUid);

    // Whether the kernel's command name (15 bytes at most) is the one lsof
    // printed. lsof prints comm as it is, except that it escapes control
    // characters and may cut the name short at a ')'; so bytes from the first
    // control character, DEL, backslash, ')' or non-ASCII byte on are not compared
    // (lsof's name must reach that far), and a plain name must match exactly.
    static bool commMatches(QByteArrayView comm, QStringView lsofCommand);

private:
    // *error: errno when the folder of pid could not be opened for another
    // reason than its process being gone.
    ProcessInfo readIdentity(qint32 pid, QStringView lsofCommand, qsizetype commandLineLimit,
                             int *error) const;

    QByteArray m_root;
    qint64 m_bootTime = 0;
    long m_ticksPerSecond = 100;
};
