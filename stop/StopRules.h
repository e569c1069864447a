#pragma once

#include "model/Keeper.h"
#include "model/PortEntry.h"
#include "process/ProcStat.h"
#include "stop/KeeperService.h"

#include <optional>

// The rules of a stop that every front end asks, each in one place: which
// rows are not signalled and what would stop them instead, what keeps a
// port's holder alive, and which keepers may be stopped.

// Why a row's holder is not signalled here, and the command that would stop
// it (empty where nothing safe can be offered). The checks run in one order:
// the kernel's own sockets (no process to signal at all), the container engine's processes and
// units first (whoever asks, the answer is the container's stop), then a service manager's sockets
// (the command is the stop of the socket unit the keepers' service found on the row, where the
// viewer can reach its manager), then other users' sockets and processes, then sockets of the
// user's own whose process is not certain.
struct Refusal {
    enum class Kind { Kernel, ContainerEngine, ServiceManager, OtherUser, Uncertain };
    Kind kind = Kind::Uncertain;
    QString reason;
    QString command;

    friend bool operator==(const Refusal &, const Refusal &) = default;
};
std::optional<Refusal> refusalFor(const PortEntry &row, qint64 selfUid);

// The keeper of a row as far as the row itself tells: its own keeper where
// set (what the keepers' service found), else the container or the stoppable
// unit its cgroup names (never the engine's own unit, a user's whole manager,
// or another user's user unit); None otherwise.
Keeper placeKeeper(const PortEntry &row, qint64 selfUid);

// Whether the panel and the command line offer a keeper's own stop: a unit
// or a container that is named, and never the container engine's own unit.
bool isStoppableKeeper(const Keeper &keeper);

// One text per unit or container, to tell two keepers apart: the same text
// for the same unit of the same manager, or the same container by any of its
// ids; empty for None and Parent.
QString keeperKey(const Keeper &keeper);
bool sameKeeper(const Keeper &a, const Keeper &b);

// The parent of the process on pid that started at startTicks (0: any), as
// a Parent keeper; None where that process is gone, its parent cannot be
// read, or the parent starts or adopts processes without restarting any of
// them by itself (pid 1 whatever its name, a service manager, a container
// runtime's shim).
Keeper parentKeeper(qint32 pid, quint64 startTicks, const StatReader &proc);
// Whether a Parent keeper is still the process it was; true where the look
// itself failed, which says nothing about it.
bool parentAlive(const Keeper &parent, const StatReader &proc);

// What starts a row's process again: its container, else a parent that
// restarts it (closer to the cause than the unit both run in, a shell loop in
// a terminal's service, say), else its unit.
Keeper keeperOfProcess(const PortEntry &row, qint64 selfUid, const StatReader &proc);

// For quayline-cli stop --service/--container: the keeper of the wanted kind
// among a port's holders, what else keeps them, and whether the engine holds
// the port.
struct KeeperChoice {
    std::optional<Keeper> wanted;
    std::optional<Keeper> other; // a unit or container of the other kind
    bool engineHeld = false;
};
KeeperChoice chooseKeeper(const QList<const PortEntry *> &holders, Keeper::Kind want,
                          qint64 selfUid);

// Whether what a container's engine says ties the container to a port, its
// holders the rows on it: the container publishes the port (on a holder's
// protocol), or a holder is one of its processes (its first one, or one in
// that one's cgroups or below them). The container a holder's cgroup names
// proves nothing by itself: a hostile id in a real place, or an engine that
// runs none by that id, would stop a container that holds nothing here.
bool containerHoldsPort(const ContainerTies &ties, const QList<const PortEntry *> &holders,
                        const StatReader &proc);
