#include "keeper/Keepers.h"

#include "keeper/ContainerStop.h"
#include "keeper/ServiceManager.h"
#include "model/Holder.h"
#include "scanner/ContainerEngine.h"

#include <QHash>
#include <QMutex>
#include <unistd.h>

namespace {

constexpr auto restartLifetime = std::chrono::seconds(30);

} // namespace

struct Keepers::Private {
    std::shared_ptr<ServiceManager> userManager;
    std::shared_ptr<ServiceManager> systemManager;
    std::shared_ptr<ContainerEngine> engine;

    struct Restart {
        std::optional<QString> setting;
        std::chrono::steady_clock::time_point at;
    };
    QMutex mutex;
    QHash<std::pair<bool, QString>, Restart> restarts; // by (user unit, unit)

    ServiceManager &managerFor(bool userUnit) { return userUnit ? *userManager : *systemManager; }

    // A unit's Restart=, asked at most once in restartLifetime; a failed
    // question is kept as well, so a manager that is not there costs one
    // time limit per lifetime, not one per refresh.
    QString restartOf(const QString &unit, bool userUnit) {
        const auto key = std::pair{userUnit, unit};
        const auto now = std::chrono::steady_clock::now();
        {
            QMutexLocker lock(&mutex);
            if (const auto it = restarts.constFind(key);
                it != restarts.cend() && now - it->at < restartLifetime)
                return it->setting.value_or(QString());
        }
        const std::optional<QString> setting = managerFor(userUnit).restartSetting(unit);
        QMutexLocker lock(&mutex);
        restarts.insert(key, {setting, now});
        return setting.value_or(QString());
    }

    void forget(const QString &unit, bool userUnit) {
        QMutexLocker lock(&mutex);
        restarts.remove(std::pair{userUnit, unit});
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
    case Keeper::Kind::Container:
        return stopContainer(*d->engine, keeper.containerId);
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
    const std::optional<ContainerEngine::Details> details = d->engine->inspect(keeper.containerId);
    if (!details)
        return std::nullopt;
    return ContainerTies{details->published, details->pid};
}
