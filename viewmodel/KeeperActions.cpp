#include "viewmodel/KeeperActions.h"

#include "model/Holder.h"

QString KeeperActions::action(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        if (keeper.unit.isEmpty() || isContainerEngineUnit(keeper.unit))
            return {};
        return tr("Stop Service");
    case Keeper::Kind::Container:
        return keeper.containerId.isEmpty() ? QString() : tr("Stop Container");
    case Keeper::Kind::None:
    case Keeper::Kind::Parent:
        break;
    }
    return {};
}

QString KeeperActions::key(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        return (keeper.userUnit ? QStringLiteral("user-unit:") : QStringLiteral("unit:")) +
               keeper.unit;
    case Keeper::Kind::Container:
        return QStringLiteral("container:") + keeper.containerId;
    case Keeper::Kind::None:
    case Keeper::Kind::Parent:
        break;
    }
    return {};
}

QString KeeperActions::name(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
        return tr("the service %1").arg(keeper.unit);
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

QString KeeperActions::question(const Keeper &keeper) {
    const QString what = name(keeper);
    return what.isEmpty() ? QString() : tr("Stop %1?").arg(what);
}

QString KeeperActions::detail(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service:
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

QString KeeperActions::stillHeld(const Keeper &keeper, qint64 port) {
    return tr("Port %1 is still held after %2 stopped.").arg(port).arg(name(keeper));
}

QString KeeperActions::restartHint(const Keeper &keeper) {
    QString who = keeper.text();
    if (who.isEmpty())
        return {};
    who[0] = who[0].toUpper();
    return tr("%1 starts this process again when it ends.").arg(who);
}

QString KeeperActions::engineRefusal(const PortEntry &entry) {
    const QString by = entry.keeper.kind == Keeper::Kind::Container
                           ? tr("Port %1 is published by %2 through %3.")
                                 .arg(entry.port)
                                 .arg(name(entry.keeper), entry.processName)
                           : tr("Port %1 is published by a container through %2.")
                                 .arg(entry.port)
                                 .arg(entry.processName);
    return by + QLatin1Char(' ') +
           tr("Signalling %1 would break the port and leave the container running; stop the "
              "container instead.")
               .arg(entry.processName);
}
