#include "model/Holder.h"

#include <unistd.h>

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

std::optional<StopHint> stopHint(const PortEntry &entry, qint64 selfUid) {
    if (!entry.fromKernel)
        return std::nullopt;
    const bool own = entry.uid == selfUid;
    if (own && entry.pid > 0)
        return std::nullopt;

    StopHint hint;
    if (own)
        hint.reason = QStringLiteral("Quayline cannot tell which of your processes holds port %1.")
                          .arg(entry.port);
    else
        hint.reason = QStringLiteral("Quayline stops only your own processes; port %1 is held "
                                     "by %2.")
                          .arg(entry.port)
                          .arg(holderText(entry));
    if (!entry.containerName.isEmpty() || !entry.process.container.isEmpty())
        hint.command = (entry.process.containerTool.isEmpty() ? QStringLiteral("docker")
                                                              : entry.process.containerTool) +
                       QStringLiteral(" stop ") +
                       (entry.containerName.isEmpty() ? entry.process.container.left(12)
                                                      : entry.containerName);
    // A service of another user (postgres, say) is a system unit all the same.
    else if (entry.process.unit.endsWith(u".service"))
        hint.command = QStringLiteral("systemctl stop ") + entry.process.unit;
    else
        hint.command = QStringLiteral("sudo quayline-cli stop %1").arg(entry.port);
    return hint;
}

QString PortEntry::holder() const {
    return fromKernel ? holderText(*this) : QString();
}

QString PortEntry::stopReason() const {
    const std::optional<StopHint> hint = stopHint(*this, qint64(::getuid()));
    return hint ? hint->reason : QString();
}

QString PortEntry::stopCommand() const {
    const std::optional<StopHint> hint = stopHint(*this, qint64(::getuid()));
    return hint ? hint->command : QString();
}

bool heldByContainerEngine(const PortEntry &entry) {
    return entry.processName == u"docker-proxy" || entry.processName == u"dockerd" ||
           entry.processName == u"conmon" || entry.processName == u"rootlesskit";
}

bool isContainerEngineUnit(const QString &unit) {
    const QStringView name =
        unit.endsWith(u".service") ? QStringView(unit).chopped(8) : QStringView(unit);
    return name == u"docker" || name == u"containerd" || name == u"podman" ||
           unit == u"docker.socket" || unit == u"podman.socket";
}

bool isStoppableService(const ProcessInfo &process, qint64 selfUid) {
    if (!process.unit.endsWith(u".service") || isContainerEngineUnit(process.unit) ||
        process.unit.startsWith(u"user@"))
        return false;
    return !process.userUnit || process.userManagerUid == selfUid;
}
