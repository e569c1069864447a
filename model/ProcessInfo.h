#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

// What a scan learned about the process behind a pid, read from /proc right
// after lsof returned. Every field is empty (and startTicks 0) where it could
// not be read, or where the pid already belonged to another process by then.
class ProcessInfo {
    Q_GADGET
    Q_PROPERTY(QStringList commandLine MEMBER commandLine)
    Q_PROPERTY(QByteArray rawCommandLine MEMBER rawCommandLine)
    Q_PROPERTY(bool commandLineCut MEMBER commandLineCut)
    Q_PROPERTY(QString cwd MEMBER cwd)
    Q_PROPERTY(bool cwdDeleted MEMBER cwdDeleted)
    Q_PROPERTY(QString unit MEMBER unit)
    Q_PROPERTY(bool userUnit MEMBER userUnit)
    Q_PROPERTY(QString container MEMBER container)
    Q_PROPERTY(QString containerTool MEMBER containerTool)
    Q_PROPERTY(QDateTime startedAt MEMBER startedAt)

public:
    // Start time in clock ticks since boot (field 22 of /proc/PID/stat): with
    // the pid, what tells this process from a later one that reuses the pid.
    quint64 startTicks = 0;
    // /proc/PID/cmdline as read: the arguments, each ended by a NUL byte. Rows
    // of processes with identical command lines share one copy.
    QByteArray rawCommandLine;
    QStringList commandLine;     // the arguments of rawCommandLine, decoded as UTF-8
    bool commandLineCut = false; // rawCommandLine stops short of the whole command line
    QString cwd;                 // working folder
    bool cwdDeleted = false;     // the working folder has been removed; cwd is its old path
    QString unit;                // systemd unit, e.g. "nginx.service"
    bool userUnit = false;       // unit is the user's service manager's, not the system's
    qint64 userManagerUid = -1;  // for a user unit: the uid of the manager that runs it
    QString container;           // container id, where the cgroup names one
    QString containerTool;       // what stops it: "docker", "podman" or "crictl"
    QDateTime startedAt;         // UTC; invalid when unknown
    // The effective uid the process acts as, for a row of the kernel's table
    // that names its process; -1 elsewhere.
    qint64 uid = -1;

    bool isKnown() const { return startTicks != 0; }

    friend bool operator==(const ProcessInfo &, const ProcessInfo &) = default;
};

Q_DECLARE_METATYPE(ProcessInfo)
