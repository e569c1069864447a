#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"

#include <optional>

// What a container's engine says ties the container to ports: the host
// ports it publishes and the process it runs first, as the host sees them.
struct ContainerTies {
    QList<std::pair<QString, qint64>> published; // "TCP"/"UDP", host port
    qint32 pid = 0;                              // 0 where it is not running
};

// What a stop asks of the units and containers that keep ports' holders,
// for every front end alike. Every call blocks (each question has a time
// limit of its own): never call them on a GUI thread.
class KeeperService {
public:
    virtual ~KeeperService() = default;

    // Sets the keeper of every row whose unit or container is known, with
    // its restart setting where it can be read.
    virtual void annotate(PortEntryList &rows) = 0;
    // What the engine says of a Container keeper now (nothing kept from
    // before); nothing where no engine knows it or none answered.
    virtual std::optional<ContainerTies> containerTies(const Keeper &keeper) = 0;
    // Stops a unit or a container and gives the outcome once it has ended.
    virtual KeeperStopResult stop(const Keeper &keeper) = 0;
};
