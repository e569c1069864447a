#include "model/Keeper.h"

bool Keeper::restarts() const {
    switch (kind) {
    case Kind::None:
        return false;
    case Kind::Service:
        return !restart.isEmpty() && restart != u"no";
    case Kind::Container:
        return !restartPolicy.isEmpty() && restartPolicy != u"no";
    case Kind::Parent:
        return true;
    }
    return false;
}

QString Keeper::text() const {
    switch (kind) {
    case Kind::None:
        return {};
    case Kind::Service:
        return restart.isEmpty() ? QStringLiteral("the service %1").arg(unit)
                                 : QStringLiteral("the service %1 (Restart=%2)").arg(unit, restart);
    case Kind::Container: {
        const QString name = containerName.isEmpty() ? containerId.left(12) : containerName;
        return restartPolicy.isEmpty() ? QStringLiteral("the container %1").arg(name)
                                       : QStringLiteral("the container %1 (restart policy %2)")
                                             .arg(name, restartPolicy);
    }
    case Kind::Parent:
        return QStringLiteral("PID %1 (%2)").arg(parentPid).arg(parentName);
    }
    return {};
}
