#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"

// What a stop asks of the units and containers that keep ports' holders,
// for every front end alike. Both calls block (each question has a time
// limit of its own): never call them on a GUI thread.
class KeeperService {
public:
    virtual ~KeeperService() = default;

    // Sets the keeper of every row whose unit or container is known, with
    // its restart setting where it can be read.
    virtual void annotate(PortEntryList &rows) = 0;
    // Stops a unit or a container and gives the outcome once it has ended.
    virtual KeeperStopResult stop(const Keeper &keeper) = 0;
};
