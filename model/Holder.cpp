#include "model/Holder.h"

QString holderPlace(const PortEntry &entry) {
    // A kernel socket's cgroup is that of whoever made the interface: no
    // place of the port's.
    if (entry.kernelHeld)
        return entry.kernelUse;
    if (!entry.containerName.isEmpty())
        return entry.containerName;
    if (!entry.process.container.isEmpty())
        return entry.process.container.left(12);
    return entry.process.unit;
}

QString holderText(const PortEntry &entry) {
    // Another user's proxy: what it serves is a container of theirs, which
    // only their engine could name.
    if (isRootlessProxy(entry) && holderPlace(entry).isEmpty() &&
        entry.proxyCheck != PortEntry::ProxyCheck::PublishesNot && !entry.user.isEmpty())
        return QStringLiteral("a rootless container of %1 (%2)")
            .arg(entry.user, proxyEngineName(rootlessProxyEngine(entry.processName)));
    const QString place = holderPlace(entry);
    if (entry.kernelHeld)
        return place.isEmpty() ? QStringLiteral("kernel") : QStringLiteral("kernel, ") + place;
    if (place.isEmpty())
        return entry.user;
    return entry.user.isEmpty() ? place : entry.user + QStringLiteral(", ") + place;
}

QString PortEntry::holder() const {
    return fromKernel ? holderText(*this) : QString();
}

ProxyEngine rootlessProxyEngine(QStringView processName) {
    struct Proxy {
        QStringView name;
        ProxyEngine engine;
    };
    // Names longer than 15 bytes are listed cut, as the kernel keeps them.
    static constexpr Proxy proxies[] = {
        {u"rootlessport", ProxyEngine::Podman},
        {u"rootlessport-child", ProxyEngine::Podman},
        {u"rootlessport-ch", ProxyEngine::Podman},
        {u"pasta", ProxyEngine::Either},
        {u"pasta.avx2", ProxyEngine::Either},
        {u"passt", ProxyEngine::Either},
        {u"passt.avx2", ProxyEngine::Either},
        {u"slirp4netns", ProxyEngine::Either},
        {u"rootlesskit", ProxyEngine::Docker},
        {u"rootlesskit-docker-proxy", ProxyEngine::Docker},
        {u"rootlesskit-doc", ProxyEngine::Docker},
    };
    for (const Proxy &proxy : proxies) {
        if (proxy.name == processName)
            return proxy.engine;
    }
    return ProxyEngine::None;
}

bool isRootlessProxy(const PortEntry &entry) {
    return rootlessProxyEngine(entry.processName) != ProxyEngine::None;
}

QString proxyEngineName(ProxyEngine engine) {
    switch (engine) {
    case ProxyEngine::Podman:
        return QStringLiteral("Podman");
    case ProxyEngine::Docker:
        return QStringLiteral("Docker");
    case ProxyEngine::Either:
        return QStringLiteral("Podman or Docker");
    case ProxyEngine::None:
        break;
    }
    return {};
}

bool heldByContainerEngine(const PortEntry &entry) {
    // A rootless engine's proxy runs as the user, like anything else of
    // theirs: only the engine's own listing tells it from a namesake.
    if (isRootlessProxy(entry))
        return entry.proxyCheck != PortEntry::ProxyCheck::PublishesNot;
    // Docker's daemon and proxy run as root: a process of anyone else that
    // takes one of their names is only named so, and its owner may stop it.
    if (entry.processName == u"docker-proxy" || entry.processName == u"dockerd")
        return entry.uid == 0 || (entry.uid < 0 && entry.user == u"root");
    return entry.processName == u"conmon";
}

bool isContainerEngineUnit(const QString &unit) {
    const QStringView name =
        unit.endsWith(u".service") ? QStringView(unit).chopped(8) : QStringView(unit);
    return name == u"docker" || name == u"containerd" || name == u"podman" ||
           unit == u"docker.socket" || unit == u"podman.socket";
}

namespace {

// Whether the socket's owner is the one an engine's unit runs as: root for
// the system's, the user of the manager for a rootless one. Anybody may name
// a cgroup of their own "docker.service"; only the owner tells.
bool ownedAsEngineUnit(const PortEntry &entry) {
    if (entry.process.userUnit)
        return entry.uid >= 0 && entry.uid == entry.process.userManagerUid;
    return entry.uid == 0 || (entry.uid < 0 && entry.user == u"root");
}

} // namespace

bool isEngineHeld(const PortEntry &entry) {
    return heldByContainerEngine(entry) ||
           (isContainerEngineUnit(entry.process.unit) && ownedAsEngineUnit(entry));
}

bool isStoppableService(const ProcessInfo &process, qint64 selfUid) {
    if (!process.unit.endsWith(u".service") || isContainerEngineUnit(process.unit) ||
        process.unit.startsWith(u"user@"))
        return false;
    return !process.userUnit || process.userManagerUid == selfUid;
}

HoldingManager holdingManager(const PortEntry &entry) {
    using Kind = HoldingManager::Kind;
    const QString &unit = entry.process.unit;
    if (entry.pid == 1 || (entry.fromKernel && entry.pid == 0 && entry.uid == 0 &&
                           !entry.process.userUnit && unit == u"init.scope"))
        return {Kind::System};
    if (entry.processName != u"systemd")
        return {};
    // Whose manager the cgroup says, where the socket's owner agrees: a user
    // may make a cgroup of that name inside their own, and name a process so.
    const auto owner = [&](qint64 uid) {
        return HoldingManager{Kind::User, uid >= 0 && uid == entry.uid ? uid : -1};
    };
    if (entry.process.userUnit && unit == u"init.scope")
        return owner(entry.process.userManagerUid);
    if (!entry.process.userUnit && unit.startsWith(u"user@") && unit.endsWith(u".service")) {
        bool ok = false;
        const qint64 uid = QStringView(unit).sliced(5, unit.size() - 13).toLongLong(&ok);
        return owner(ok ? uid : -1);
    }
    return {};
}
