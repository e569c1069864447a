#include "stop/StopText.h"

#include "model/Holder.h"

#include <QHash>

namespace {

// "The service x" from "the service x": sentences that start with a keeper's name.
QString capitalized(QString text) {
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

// The manager's or engine's own words, without the closing full stop that
// the sentence around them adds.
QString reasonOf(const KeeperStopResult &result) {
    QString reason = result.message.trimmed();
    while (reason.endsWith(u'.'))
        reason.chop(1);
    return reason;
}

// A socket unit keeps no process: it is the keeper of a port that its
// service manager holds.
bool isSocketUnit(const Keeper &keeper) {
    return keeper.kind == Keeper::Kind::Service && keeper.unit.endsWith(u".socket");
}

} // namespace

QString StopText::process(qint32 pid, const QString &name) {
    return tr("PID %1 (%2)").arg(pid).arg(name);
}

QString StopText::holder(const PortEntry &row) {
    return row.pid > 0 ? process(row.pid, row.processName) : holderText(row);
}

QString StopText::keeperName(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        return isSocketUnit(keeper) ? tr("the socket unit %1").arg(keeper.unit)
                                    : tr("the service %1").arg(keeper.unit);
    case Keeper::Kind::Container:
        return tr("the container %1")
            .arg(keeper.containerName.isEmpty() ? keeper.containerId.left(12)
                                                : keeper.containerName);
    case Keeper::Kind::None:
    case Keeper::Kind::Parent:
        break;
    }
    return {};
}

QString StopText::keeperWithSetting(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        return keeper.restart.isEmpty()
                   ? keeperName(keeper)
                   : tr("the service %1 (Restart=%2)").arg(keeper.unit, keeper.restart);
    case Keeper::Kind::Container:
        return keeper.restartPolicy.isEmpty()
                   ? keeperName(keeper)
                   : tr("%1 (restart policy %2)").arg(keeperName(keeper), keeper.restartPolicy);
    case Keeper::Kind::Parent:
        return process(keeper.parentPid, keeper.parentName);
    case Keeper::Kind::None:
        break;
    }
    return {};
}

QString StopText::keeperAction(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        return tr("Stop Service");
    case Keeper::Kind::Container:
        return tr("Stop Container");
    case Keeper::Kind::None:
    case Keeper::Kind::Parent:
        break;
    }
    return {};
}

QString StopText::keeperOption(const Keeper &keeper) {
    return keeper.kind == Keeper::Kind::Service ? QStringLiteral("service")
                                                : QStringLiteral("container");
}

QString StopText::engineProcess(const PortEntry &row, const Keeper &container) {
    const QString through = row.processName.isEmpty() ? row.process.unit : row.processName;
    return tr("Port %1 is published by %2 through %3. Signalling %3 would break the port and "
              "leave the container running.")
        .arg(row.port)
        .arg(keeperName(container), through);
}

QString StopText::engineProcessUnnamed(const PortEntry &row, const QString &tool) {
    const QString through = row.processName.isEmpty() ? row.process.unit : row.processName;
    return tr("Port %1 is published by a container through %2, which Quayline cannot name "
              "without access to the container engine. Signalling %2 would break the port and "
              "leave the container running; “%3 ps --filter publish=%1” finds the container, "
              "and “%3 stop” stops it.")
        .arg(row.port)
        .arg(through, tool);
}

QString StopText::unconfirmedProxy(const PortEntry &row, const QString &tool) {
    return tr("Port %1 is held by %2, which looks like a rootless container's port proxy, but no "
              "container engine of yours answered to confirm it. Signalling it would break the "
              "port and leave the container running; “%3 ps --filter publish=%1” finds the "
              "container, and “%3 stop” stops it.")
        .arg(row.port)
        .arg(holder(row), tool);
}

QString StopText::otherUser(const PortEntry &row) {
    return tr("Quayline stops only your own processes; port %1 is held by %2.")
        .arg(row.port)
        .arg(holderText(row));
}

QString StopText::kernel(const PortEntry &row, const QString &look) {
    const QString port = QStringLiteral("%1/%2").arg(row.port).arg(row.networkProtocol);
    const QString kind = row.kernelUse.section(u' ', 0, 0);
    if (!look.isEmpty()) {
        static const QHash<QString, QString> kinds{
            {"vxlan", "VXLAN"}, {"geneve", "Geneve"}, {"bareudp", "bare UDP"}};
        return tr("No process holds port %1: the kernel does, for the %2 interface %3 (“%4” "
                  "shows it).")
            .arg(port, kinds.value(kind, kind), row.kernelUse.section(u' ', 1), look);
    }
    if (kind == u"lockd")
        return tr("No process holds port %1: the kernel does, for the NFS lock manager (lockd).")
            .arg(port);
    if (kind == u"nfsd")
        return tr("No process holds port %1: the kernel does, for the NFS server (nfsd).")
            .arg(port);
    return tr("No process holds port %1: the kernel does.").arg(port);
}

QString StopText::uncertain(const PortEntry &row) {
    return tr("Quayline cannot tell which of your processes holds port %1.").arg(row.port);
}

QString StopText::serviceManager(const PortEntry &row, const QString &socketUnit, bool root) {
    const QString unit =
        socketUnit.isEmpty() ? tr("a socket unit") : tr("the socket unit %1").arg(socketUnit);
    const bool found = !socketUnit.isEmpty();
    if (holdingManager(row).kind == HoldingManager::Kind::System) {
        const QString manager =
            row.pid == 1 ? tr("PID 1 (%1), the system's service manager").arg(row.processName)
                         : tr("the system's service manager");
        const QString text = tr("Port %1 is held by %2, for %3; signalling it would not free the "
                                "port.")
                                 .arg(row.port)
                                 .arg(manager, unit);
        if (found)
            return text;
        return text + u' ' +
               (root ? tr("“systemctl list-sockets” names the unit, and “systemctl stop UNIT” "
                          "stops it.")
                     : tr("“systemctl list-sockets” names the unit, and “sudo systemctl stop "
                          "UNIT” stops it."));
    }
    const QString text = tr("Port %1 is held by PID %2, the service manager of %3, for %4; "
                            "signalling it would end that user's services.")
                             .arg(row.port)
                             .arg(row.pid)
                             .arg(row.user, unit);
    return found ? text
                 : text + u' ' +
                       tr("“systemctl --user list-sockets” names the unit, and “systemctl --user "
                          "stop UNIT” stops it.");
}

QString StopText::takenAgain(qint64 port, qint32 stoppedPid, const PortEntry &holder) {
    QString newcomer;
    if (holder.pid > 0) {
        newcomer = process(holder.pid, holder.processName);
        // Only the kernel's table lists it: another user's, who is named.
        if (holder.fromKernel && !holder.user.isEmpty())
            newcomer = tr("%1, a process of %2,").arg(newcomer, holder.user);
    } else {
        const QString place = holderPlace(holder);
        newcomer =
            holder.user.isEmpty() ? tr("another process") : tr("a process of %1").arg(holder.user);
        if (!place.isEmpty())
            newcomer += QStringLiteral(" (%1)").arg(place);
    }
    return tr("Port %1 was taken again by %2 right after PID %3 stopped.")
        .arg(port)
        .arg(newcomer)
        .arg(stoppedPid);
}

QString StopText::stillShared(qint64 port, qint32 stoppedPid, const PortEntry &holder) {
    return tr("Port %1 was not freed: %2 holds the same socket as PID %3 did.")
        .arg(port)
        .arg(holder.pid > 0 ? process(holder.pid, holder.processName) : tr("another process"))
        .arg(stoppedPid);
}

QString StopText::keptBy(const Keeper &keeper, bool sameParent) {
    switch (keeper.kind) {
    case Keeper::Kind::None:
        return {};
    case Keeper::Kind::Service:
    case Keeper::Kind::Container:
        return tr("It is kept by %1.").arg(keeperWithSetting(keeper));
    case Keeper::Kind::Parent:
        return sameParent ? tr("It was started again by %1.").arg(keeperWithSetting(keeper))
                          : tr("It was started by %1.").arg(keeperWithSetting(keeper));
    }
    return {};
}

QString StopText::stopItWith(const QString &command) {
    return tr("To stop it: %1").arg(command);
}

QString StopText::cliKeeperStop(const Keeper &keeper, qint64 port) {
    return QStringLiteral("quayline-cli stop --%1 %2").arg(keeperOption(keeper)).arg(port);
}

QString StopText::keeperOutcome(const Keeper &keeper, const KeeperStopResult &result) {
    const QString name = keeperName(keeper);
    const QString reason = reasonOf(result);
    // "…: the manager's words." where it gave any.
    const auto with = [&](const QString &text) {
        return reason.isEmpty() ? text + u'.' : text + QStringLiteral(": ") + reason + u'.';
    };
    switch (result.kind) {
    case KeeperStopResult::Kind::Stopped:
        return tr("Stopped %1.").arg(name);
    case KeeperStopResult::Kind::AlreadyStopped:
        return tr("%1 was already stopped.").arg(capitalized(name));
    case KeeperStopResult::Kind::Gone:
        return tr("%1 no longer exists.").arg(capitalized(name));
    case KeeperStopResult::Kind::Refused:
        return with(tr("Not allowed to stop %1").arg(name));
    case KeeperStopResult::Kind::Cancelled:
        return tr("Did not stop %1: the password prompt was dismissed.").arg(name);
    case KeeperStopResult::Kind::Unavailable: {
        const QString whom =
            keeper.kind == Keeper::Kind::Service ? tr("service manager") : tr("container engine");
        return reason.isEmpty()
                   ? tr("Could not stop %1: there is no %2 to ask.").arg(name, whom)
                   : tr("Could not stop %1: there is no %2 to ask (%3).").arg(name, whom, reason);
    }
    case KeeperStopResult::Kind::TimedOut:
        return tr("No answer in time to the stop of %1; it may still be stopping.").arg(name);
    case KeeperStopResult::Kind::Unconfirmed:
        return tr("Did not stop %1: %2.").arg(name, reason);
    case KeeperStopResult::Kind::Failed:
        break;
    }
    return with(tr("Could not stop %1").arg(name));
}

QString StopText::unconfirmedContainer(qint64 port) {
    return tr("no container engine says that it publishes port %1 or runs the process that "
              "holds it")
        .arg(port);
}

QString StopText::keeperQuestion(const Keeper &keeper) {
    const QString what = keeperName(keeper);
    return what.isEmpty() ? QString() : tr("Stop %1?").arg(what);
}

QString StopText::keeperDetail(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        if (isSocketUnit(keeper))
            return keeper.userUnit
                       ? tr("Its ports close, and stay closed until it is started again.")
                       : tr("Its ports close, and stay closed until it is started "
                            "again. The system may ask for your password.");
        return keeper.userUnit ? tr("Every process of the service ends, and it stays stopped until "
                                    "it is started again.")
                               : tr("Every process of the service ends, and it stays stopped until "
                                    "it is started again. The system may ask for your password.");
    case Keeper::Kind::Container:
        return tr("The container gets 10 seconds to exit before it is killed, and stays stopped "
                  "until it is started again.");
    case Keeper::Kind::None:
    case Keeper::Kind::Parent:
        break;
    }
    return {};
}

QString StopText::keeperRestartHint(const Keeper &keeper) {
    const QString who = capitalized(keeperWithSetting(keeper));
    if (who.isEmpty())
        return {};
    if (isSocketUnit(keeper))
        return tr("%1 holds this port open; stopping it frees the port.").arg(who);
    const bool unread = (keeper.kind == Keeper::Kind::Service && keeper.restart.isEmpty()) ||
                        (keeper.kind == Keeper::Kind::Container && keeper.restartPolicy.isEmpty());
    return unread ? tr("%1 may start this process again when it ends: its restart setting could "
                       "not be read.")
                        .arg(who)
                  : tr("%1 starts this process again when it ends.").arg(who);
}

QString StopText::stillHeldAfter(const Keeper &keeper, qint64 port) {
    return tr("Port %1 is still held after %2 stopped.").arg(port).arg(keeperName(keeper));
}

QString StopText::noKeeperOfKind(Keeper::Kind want, qint64 port, const PortEntry &holder) {
    return (want == Keeper::Kind::Service ? tr("No service keeps port %1; it is held by %2.")
                                          : tr("No container keeps port %1; it is held by %2."))
        .arg(port)
        .arg(StopText::holder(holder));
}

QString StopText::engineUnitRefusal(qint64 port) {
    return tr("Port %1 is published by a container; stopping the container engine's service "
              "would stop every container.")
        .arg(port);
}

QString StopText::keptByOther(const Keeper &keeper, qint64 port) {
    return tr("It is kept by %1. To stop it: %2")
        .arg(keeperName(keeper), cliKeeperStop(keeper, port));
}

QString StopText::nothingListening(qint64 port) {
    return tr("Nothing is listening on port %1").arg(port);
}

QString StopText::portFree(qint64 port) {
    return tr("Port %1 is free.").arg(port);
}

QString StopText::stillHeldBy(qint64 port, const PortEntry &holder) {
    return tr("Port %1 is still held by %2.").arg(port).arg(StopText::holder(holder));
}

QString StopText::stopped(const QString &process) {
    return tr("%1 stopped.").arg(process);
}

QString StopText::alreadyExited(const QString &process) {
    return tr("%1 had already exited.").arg(process);
}
