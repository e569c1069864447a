#include "keeper/Keepers.h"

#include "keeper/ContainerStop.h"
#include "keeper/ServiceManager.h"
#include "model/Holder.h"
#include "scanner/ContainerEngine.h"
#include "scanner/SocketTable.h"
#include "scanner/UserEngine.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <arpa/inet.h>
#include <unistd.h>

namespace {

// How long a manager's answer is kept: a unit's Restart=, its socket units.
constexpr auto lookupLifetime = std::chrono::seconds(30);

// An address and port as systemd prints a socket's ("0.0.0.0:80", "[::]:22",
// "[fe80::1]:80%eth0"), the address as the rows have it ("*", "127.0.0.1",
// "[::1]"); nothing for a path, a netlink family or a VSOCK address.
std::optional<std::pair<QString, qint64>> ipEndpoint(QStringView text) {
    QStringView host, port;
    const bool ipv6 = text.startsWith(u'[');
    if (ipv6) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0 || !text.sliced(close + 1).startsWith(u':'))
            return std::nullopt;
        host = text.sliced(1, close - 1);
        port = text.sliced(close + 2);
    } else {
        const qsizetype colon = text.lastIndexOf(u':');
        if (colon < 0)
            return std::nullopt;
        host = text.first(colon);
        port = text.sliced(colon + 1);
    }
    if (const qsizetype scope = port.indexOf(u'%'); scope >= 0)
        port.truncate(scope);
    if (const qsizetype scope = host.indexOf(u'%'); scope >= 0)
        host.truncate(scope);
    bool ok = false;
    const uint number = port.toUInt(&ok);
    unsigned char bytes[16] = {};
    if (!ok || number > 65535 ||
        ::inet_pton(ipv6 ? AF_INET6 : AF_INET, host.toLatin1().constData(), bytes) != 1)
        return std::nullopt;
    return std::pair{SocketTable::addressText(bytes, ipv6), qint64(number)};
}

// The socket unit that listens on the row's port and protocol (a stream
// socket for TCP, a datagram one for UDP): one on the row's own address
// before one on the wildcard; empty where none does.
QString socketUnitFor(const QList<ListeningSocket> &sockets, const PortEntry &row) {
    const QString type = row.networkProtocol == u"TCP"   ? QStringLiteral("Stream")
                         : row.networkProtocol == u"UDP" ? QStringLiteral("Datagram")
                                                         : QString();
    QString onWildcard;
    for (const ListeningSocket &socket : sockets) {
        const auto endpoint = ipEndpoint(socket.address);
        if (socket.type != type || !endpoint || endpoint->second != row.port)
            continue;
        if (endpoint->first == row.address)
            return socket.unit;
        if (endpoint->first == u"*" && onWildcard.isEmpty())
            onWildcard = socket.unit;
    }
    return onWildcard;
}

template <typename Value> struct Kept {
    std::optional<Value> value;
    std::chrono::steady_clock::time_point at;
};

// A manager's answer, asked at most once in lookupLifetime; a failed
// question is kept as well, so a manager that is not there costs one time
// limit per lifetime, not one per refresh.
template <typename Key, typename Value, typename Ask>
std::optional<Value> lookUp(QMutex &mutex, QHash<Key, Kept<Value>> &kept, const Key &key,
                            const Ask &ask) {
    const auto now = std::chrono::steady_clock::now();
    {
        QMutexLocker lock(&mutex);
        if (const auto it = kept.constFind(key); it != kept.cend() && now - it->at < lookupLifetime)
            return it->value;
    }
    std::optional<Value> value = ask();
    QMutexLocker lock(&mutex);
    kept.insert(key, {value, now});
    return value;
}

} // namespace

struct Keepers::Private {
    std::shared_ptr<ServiceManager> userManager;
    std::shared_ptr<ServiceManager> systemManager;
    std::shared_ptr<ContainerEngine> engine;
    // The user's own Podman, for its containers where its socket is off.
    QString podman = UserEngine::defaults().podman;
    ChildProcesses children;

    QMutex mutex;
    QHash<std::pair<bool, QString>, Kept<QString>> restarts; // by (user unit, unit)
    QHash<bool, Kept<QList<ListeningSocket>>> socketUnits;   // by user manager

    ServiceManager &managerFor(bool userUnit) { return userUnit ? *userManager : *systemManager; }

    QString restartOf(const QString &unit, bool userUnit) {
        return lookUp(mutex, restarts, std::pair{userUnit, unit},
                      [&] { return managerFor(userUnit).restartSetting(unit); })
            .value_or(QString());
    }

    // The socket unit that the system's manager, or the viewer's own, holds
    // the row's socket for; asked only for a row that one of them holds.
    std::optional<Keeper> socketUnitOf(const PortEntry &row) {
        const HoldingManager manager = holdingManager(row);
        const bool user = manager.kind == HoldingManager::Kind::User;
        if (manager.kind == HoldingManager::Kind::None ||
            (user && manager.uid != qint64(::getuid())))
            return std::nullopt;
        const auto sockets =
            lookUp(mutex, socketUnits, user, [&] { return managerFor(user).listeningSockets(); });
        const QString unit = sockets ? socketUnitFor(*sockets, row) : QString();
        if (unit.isEmpty())
            return std::nullopt;
        Keeper keeper;
        keeper.kind = Keeper::Kind::Service;
        keeper.unit = unit;
        keeper.userUnit = user;
        return keeper;
    }

    // After a stop: the unit's setting, and which sockets the manager holds.
    void forget(const QString &unit, bool userUnit) {
        QMutexLocker lock(&mutex);
        restarts.remove(std::pair{userUnit, unit});
        socketUnits.remove(userUnit);
    }
};

Keepers::Keepers()
    : Keepers(std::make_shared<ServiceManager>(ServiceManager::Bus::Session),
              std::make_shared<ServiceManager>(ServiceManager::Bus::System),
              std::make_shared<ContainerEngine>()) {}

Keepers::Keepers(std::shared_ptr<ServiceManager> userManager,
                 std::shared_ptr<ServiceManager> systemManager,
                 std::shared_ptr<ContainerEngine> engine)
    : d(std::make_unique<Private>()) {
    d->userManager = std::move(userManager);
    d->systemManager = std::move(systemManager);
    d->engine = std::move(engine);
}

Keepers::~Keepers() = default;

void Keepers::annotate(PortEntryList &entries) {
    // The engine's own rows name no container in their cgroup: the one that
    // publishes the port is found in the engine's listing (one request).
    const bool unnamed = std::any_of(entries.cbegin(), entries.cend(), [](const PortEntry &e) {
        return isEngineHeld(e) && e.process.container.isEmpty();
    });
    if (unnamed)
        d->engine->annotate(entries);

    for (PortEntry &e : entries) {
        if (!e.process.container.isEmpty()) {
            Keeper keeper;
            keeper.kind = Keeper::Kind::Container;
            keeper.containerId = e.process.container;
            keeper.containerName = e.containerName;
            if (const auto details = d->engine->inspect(e.process.container)) {
                keeper.containerId = details->id;
                keeper.containerName = details->name;
                keeper.restartPolicy = details->restartPolicy;
            }
            e.keeper = std::move(keeper);
        } else if (!isEngineHeld(e) && isStoppableService(e.process, qint64(::getuid()))) {
            Keeper keeper;
            keeper.kind = Keeper::Kind::Service;
            keeper.unit = e.process.unit;
            keeper.userUnit = e.process.userUnit;
            keeper.restart = d->restartOf(keeper.unit, keeper.userUnit);
            e.keeper = std::move(keeper);
        } else if (std::optional<Keeper> socketUnit = d->socketUnitOf(e)) {
            e.keeper = std::move(*socketUnit);
        }
    }
}

KeeperStopResult Keepers::stop(const Keeper &keeper) {
    switch (keeper.kind) {
    case Keeper::Kind::Service: {
        if (isContainerEngineUnit(keeper.unit))
            return {KeeperStopResult::Kind::Failed,
                    QStringLiteral("%1 runs every container; stop the container instead.")
                        .arg(keeper.unit)};
        KeeperStopResult result = d->managerFor(keeper.userUnit).stop(keeper.unit);
        d->forget(keeper.unit, keeper.userUnit);
        return result;
    }
    case Keeper::Kind::Container: {
        const KeeperStopResult result = stopContainer(*d->engine, keeper.containerId);
        if (result.kind != KeeperStopResult::Kind::Unavailable)
            return result;
        return stopWithPodman(d->children, d->podman, keeper.containerId).value_or(result);
    }
    case Keeper::Kind::Parent:
    case Keeper::Kind::None:
        break;
    }
    return {KeeperStopResult::Kind::Failed,
            QStringLiteral("Nothing that Quayline can stop keeps this process.")};
}

std::optional<ContainerTies> Keepers::containerTies(const Keeper &keeper) {
    if (keeper.kind != Keeper::Kind::Container)
        return std::nullopt;
    // A container stopped and started since the last look runs another process.
    d->engine->forget(keeper.containerId);
    std::optional<ContainerEngine::Details> details = d->engine->inspect(keeper.containerId);
    if (!details && ContainerEngine::isContainerReference(keeper.containerId)) {
        // Podman's socket is off: its command inspects the same way, as a list.
        const auto out = UserEngine::runPodman(
            d->children, d->podman, {"inspect", "--type", "container", keeper.containerId},
            Keepers::lookupTimeLimit * 6);
        const QJsonArray list = out ? QJsonDocument::fromJson(*out).array() : QJsonArray();
        if (!list.isEmpty())
            details =
                ContainerEngine::parseInspection(QJsonDocument(list.first().toObject()).toJson());
    }
    if (!details)
        return std::nullopt;
    return ContainerTies{details->published, details->pid};
}
