#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"

#include <QCoreApplication>
#include <QString>

// Every sentence that stopping a port's holder produces, in one place, so
// that the panel and the command line say the same thing and a translation
// covers both. Names that come from outside (process, unit and container
// names) are put in as they are: each front end escapes what it shows.
class StopText {
    Q_DECLARE_TR_FUNCTIONS(StopText)

public:
    // "PID 4242 (node)".
    static QString process(qint32 pid, const QString &name);
    // The process of a row where it has one, else who holds the port as far as
    // the kernel tells ("root, nginx.service").
    static QString holder(const PortEntry &row);

    // "the service nginx.service", "the socket unit ssh.socket", "the
    // container web-1"; empty for a keeper that is no unit or container.
    static QString keeperName(const Keeper &keeper);
    // "the service nginx.service (Restart=always)", "PID 812 (bash)".
    static QString keeperWithSetting(const Keeper &keeper);
    // "Stop Service", "Stop Container", "service", "container": the action and
    // the option of quayline-cli stop that reach a keeper.
    static QString keeperAction(const Keeper &keeper);
    static QString keeperOption(const Keeper &keeper);

    // Why a row is not stopped here.
    static QString engineProcess(const PortEntry &row, const Keeper &container);
    static QString engineProcessUnnamed(const PortEntry &row, const QString &tool);
    // A process named like a rootless engine's port proxy that no engine of
    // the user's confirmed as one.
    static QString unconfirmedProxy(const PortEntry &row, const QString &tool);
    static QString otherUser(const PortEntry &row);
    // A socket of the kernel's own; look: the command that shows its
    // interface, where it has one.
    static QString kernel(const PortEntry &row, const QString &look);
    static QString uncertain(const PortEntry &row);
    // A port that a service manager holds for a socket unit: the unit where
    // it was found (socketUnit), else how to find it (with sudo for anyone
    // but root).
    static QString serviceManager(const PortEntry &row, const QString &socketUnit, bool root);

    // "Port 8080 was taken again by PID 4711 (node) right after PID 4690 stopped."
    static QString takenAgain(qint64 port, qint32 stoppedPid, const PortEntry &holder);
    // "Port 8080 was not freed: another process holds the same socket as PID
    // 4690 did." The socket was shared (handed over a unix socket, or
    // inherited): no process took the port again.
    static QString stillShared(qint64 port, qint32 stoppedPid, const PortEntry &holder);
    // "It is kept by the service demo.service (Restart=always).", "It was
    // started again by PID 812 (bash).", or "It was started by …" where the
    // newcomer's parent is not the stopped process's.
    static QString keptBy(const Keeper &keeper, bool sameParent);
    // "To stop it: quayline-cli stop --service 8080".
    static QString stopItWith(const QString &command);
    static QString cliKeeperStop(const Keeper &keeper, qint64 port);

    // The outcome of a keeper's stop, for people: "Stopped the service x.",
    // "Not allowed to stop the container y: …".
    static QString keeperOutcome(const Keeper &keeper, const KeeperStopResult &result);
    // Why a container was not asked to stop: "no container engine says …".
    static QString unconfirmedContainer(qint64 port);
    // What the panel asks and says around a keeper's stop.
    static QString keeperQuestion(const Keeper &keeper);
    static QString keeperDetail(const Keeper &keeper);
    static QString keeperRestartHint(const Keeper &keeper);
    static QString stillHeldAfter(const Keeper &keeper, qint64 port);

    // The stop of the keeper of a port, where the port has none to stop.
    static QString noKeeperOfKind(Keeper::Kind want, qint64 port, const PortEntry &holder);
    static QString engineUnitRefusal(qint64 port);
    static QString keptByOther(const Keeper &keeper, qint64 port);

    // What a scan after a stop shows.
    static QString nothingListening(qint64 port);
    static QString portFree(qint64 port);
    static QString stillHeldBy(qint64 port, const PortEntry &holder);
    static QString stopped(const QString &process);
    static QString alreadyExited(const QString &process);
};
