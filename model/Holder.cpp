#include "model/Holder.h"

QString holderPlace(const PortEntry &entry) {
    if (!entry.containerName.isEmpty())
        return entry.containerName;
    if (!entry.process.container.isEmpty())
        return entry.process.container.left(12);
    return entry.process.unit;
}

QString holderText(const PortEntry &entry) {
    const QString place = holderPlace(entry);
    if (place.isEmpty())
        return entry.user;
    return entry.user.isEmpty() ? place : entry.user + QStringLiteral(", ") + place;
}

QString PortEntry::holder() const {
    return fromKernel ? holderText(*this) : QString();
}

bool heldByContainerEngine(const PortEntry &entry) {
    // Docker's daemon and proxy run as root: a process of anyone else that
    // takes one of their names is only named so, and its owner may stop it.
    if (entry.processName == u"docker-proxy" || entry.processName == u"dockerd")
        return entry.uid == 0 || (entry.uid < 0 && entry.user == u"root");
    return entry.processName == u"conmon" || entry.processName == u"rootlesskit";
}

bool isContainerEngineUnit(const QString &unit) {
    const QStringView name =
        unit.endsWith(u".service") ? QStringView(unit).chopped(8) : QStringView(unit);
    return name == u"docker" || name == u"containerd" || name == u"podman" ||
           unit == u"docker.socket" || unit == u"podman.socket";
}

bool isEngineHeld(const PortEntry &entry) {
    return heldByContainerEngine(entry) || isContainerEngineUnit(entry.process.unit);
}

bool isStoppableService(const ProcessInfo &process, qint64 selfUid) {
    if (!process.unit.endsWith(u".service") || isContainerEngineUnit(process.unit) ||
        process.unit.startsWith(u"user@"))
        return false;
    return !process.userUnit || process.userManagerUid == selfUid;
}
