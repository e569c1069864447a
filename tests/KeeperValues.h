#pragma once

// Keepers as the keeper service reports them, for the stop's tables.

#include "model/Keeper.h"

inline Keeper service(const QString &unit, const QString &restart) {
    Keeper k;
    k.kind = Keeper::Kind::Service;
    k.unit = unit;
    k.restart = restart;
    return k;
}

inline Keeper container(const QString &name, const QString &policy = {}) {
    Keeper k;
    k.kind = Keeper::Kind::Container;
    k.containerId = "3f2a9c01d4e5b6a7c8d9e0f1a2b3c4d5";
    k.containerName = name;
    k.restartPolicy = policy;
    return k;
}
