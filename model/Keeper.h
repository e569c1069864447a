#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

// What keeps a port's holder alive: the systemd unit or the container that
// starts it again when it dies, or the parent process that does (a shell
// loop, a process supervisor). Stopping the process alone does not free the
// port for long; stopping its keeper does. A plain value.
class Keeper {
    Q_GADGET
    Q_PROPERTY(Kind kind MEMBER kind)
    Q_PROPERTY(QString unit MEMBER unit)
    Q_PROPERTY(bool userUnit MEMBER userUnit)
    Q_PROPERTY(QString restart MEMBER restart)
    Q_PROPERTY(QString containerId MEMBER containerId)
    Q_PROPERTY(QString containerName MEMBER containerName)
    Q_PROPERTY(QString restartPolicy MEMBER restartPolicy)
    Q_PROPERTY(qint32 parentPid MEMBER parentPid)
    Q_PROPERTY(QString parentName MEMBER parentName)
    Q_PROPERTY(bool restarts READ restarts)

public:
    enum class Kind { None, Service, Container, Parent };
    Q_ENUM(Kind)

    Kind kind = Kind::None;

    // Service: the unit ("nginx.service"), whether the user's own service
    // manager runs it (else the system's), and its Restart= setting ("no",
    // "on-failure", "always", …; empty where it could not be read). For a
    // port that a service manager holds, the socket unit it holds the port
    // for ("ssh.socket", no Restart=): what frees the port.
    QString unit;
    bool userUnit = false;
    QString restart;

    // Container: its full id, its name (without the leading "/"; empty where
    // the engine gave none) and its restart policy ("no", "always",
    // "unless-stopped", "on-failure"; empty where unknown).
    QString containerId;
    QString containerName;
    QString restartPolicy;

    // Parent: the process that started the holder, as it was when looked at.
    qint32 parentPid = 0;
    quint64 parentStartTicks = 0;
    QString parentName;

    // Whether the keeper may start the holder again after it is signalled:
    // a unit whose Restart= is anything but "no", a container whose policy is
    // anything but "no", a parent always (it is named only once it did). A
    // setting that could not be read counts as one that restarts: a watch for
    // nothing costs seconds, a missed restart a port that is not free.
    bool restarts() const;

    friend bool operator==(const Keeper &, const Keeper &) = default;
};

// How a stop of a keeper (a unit or a container) ended. Only Stopped and
// AlreadyStopped mean the keeper is not running; every other kind carries
// the reason in message, for people.
struct KeeperStopResult {
    Q_GADGET
    Q_PROPERTY(Kind kind MEMBER kind)
    Q_PROPERTY(QString message MEMBER message)
    Q_PROPERTY(bool succeeded READ succeeded)

public:
    enum class Kind {
        Stopped,        // the unit's stop job finished "done"; the engine said 204
        AlreadyStopped, // the unit was inactive; the engine said 304
        Gone,           // no such unit or container (the engine said 404)
        Refused,        // not authorized (polkit said no, or no agent could ask)
        Cancelled,      // the user dismissed the password prompt
        Unavailable,    // no service manager or engine to ask (no bus, no socket)
        TimedOut,       // asked, but no answer within the time limit
        Unconfirmed,    // not asked: its engine does not tie the container to the port
        Failed,         // any other error; message has the manager's or engine's words
    };
    Q_ENUM(Kind)

    Kind kind = Kind::Failed;
    QString message;

    bool succeeded() const { return kind == Kind::Stopped || kind == Kind::AlreadyStopped; }

    friend bool operator==(const KeeperStopResult &, const KeeperStopResult &) = default;
};

Q_DECLARE_METATYPE(Keeper)
Q_DECLARE_METATYPE(KeeperStopResult)
