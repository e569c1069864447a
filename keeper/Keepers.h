#pragma once

#include "stop/KeeperService.h"

#include <chrono>
#include <memory>

class ContainerEngine;
class ServiceManager;

// Finds and stops the keepers of rows: the systemd unit through the service
// manager on D-Bus (the user's on the session bus, the system's on the system
// bus), the container through the container engine's API. Blocking, each
// question with a short time limit: never call it on the GUI thread. Safe to
// share between threads; what it learned about a unit's or a container's
// restart settings is kept for a while, so a refresh does not ask again.
class Keepers : public KeeperService {
public:
    static constexpr std::chrono::milliseconds lookupTimeLimit{500};

    // The real service managers and engine sockets.
    Keepers();
    // Tests: given ones (a service manager on a private bus, an engine on a
    // socket of the test's own).
    Keepers(std::shared_ptr<ServiceManager> userManager,
            std::shared_ptr<ServiceManager> systemManager, std::shared_ptr<ContainerEngine> engine);
    ~Keepers() override;

    // Sets entry.keeper for every row whose unit (a ".service") or container
    // is known, with the unit's Restart= or the container's restart policy
    // where they can be read. Rows held by the container engine's own
    // processes (docker-proxy, dockerd, conmon) get the container that
    // publishes their port, never the engine's unit.
    void annotate(PortEntryList &entries) override;

    // Stops a Service or Container keeper and waits for the outcome: the
    // unit's stop job to its end, the engine's answer to its stop (see
    // stopContainer). A system unit's stop allows interactive authorization,
    // so the desktop's polkit agent may ask for a password. Parent and None
    // keepers give Failed.
    KeeperStopResult stop(const Keeper &keeper) override;

    // The engine's inspection of the container, asked anew.
    std::optional<ContainerTies> containerTies(const Keeper &keeper) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
