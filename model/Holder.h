#pragma once

#include "model/PortEntry.h"

#include <QString>
#include <optional>

// Who holds a port that lsof could not attribute to a process of the user,
// and what would stop it. Plain functions of a row.

// The unit or container behind a row, for people: the container's name (its
// short id where the engine gave no name), else the systemd unit; empty when
// neither is known. For the kernel's socket, what the kernel holds it for.
QString holderPlace(const PortEntry &entry);

// "root, nginx.service": the owner and the place where known; "kernel,
// vxlan vx0" for the kernel's socket.
QString holderText(const PortEntry &entry);

// The rootless engine whose port proxy a process name is (as the kernel keeps
// it, cut at 15 bytes, or whole): Podman's rootlessport, Docker's rootlesskit,
// or pasta and slirp4netns, which either may use. None for other names.
enum class ProxyEngine { None, Podman, Docker, Either };
ProxyEngine rootlessProxyEngine(QStringView processName);
bool isRootlessProxy(const PortEntry &entry);
// "Podman", "Docker" or "Podman or Docker": the engine a proxy's row is
// named after where no engine named its container.
QString proxyEngineName(ProxyEngine engine);

// Whether the row's process is the container engine's own (root's
// docker-proxy or dockerd, conmon, or a rootless engine's port proxy that the
// user's engine confirmed or could not be asked about), holding a port that a
// container publishes: signalling it breaks the container's port and leaves
// the container running, and the engine's unit is no keeper to stop either
// (that stops every container).
bool heldByContainerEngine(const PortEntry &entry);
// The container engine's own units, which no row's stop may reach; with or
// without the ".service" suffix, as systemd takes "docker" for "docker.service".
bool isContainerEngineUnit(const QString &unit);
// Either of the two, the unit only where the socket's owner is the one it
// runs as (root, or the user of a rootless engine's manager): the row's port
// is the engine's, held for a container.
bool isEngineHeld(const PortEntry &entry);
// Whether stopping the process's unit is what a user would want for its
// port: a service, but not a container engine's, not a user's whole service
// manager (user@1000.service ends that user's session), and not a unit of
// another user's manager, which this user's session bus does not reach (a
// stop sent there would reach a namesake of this user's own).
bool isStoppableService(const ProcessInfo &process, qint64 selfUid);

// The service manager that holds a row's socket for one of its socket units
// (socket activation lists the manager as the port's holder): the system's,
// pid 1 (a socket of root's in "/init.scope", where only pid 1 runs, is its
// as well), or a user's "systemd --user", named so in that user's
// user@UID.service (in its init.scope under the unified cgroup hierarchy).
// Signalling either would not free the port.
struct HoldingManager {
    enum class Kind { None, System, User };
    Kind kind = Kind::None;
    // User: whose manager it is; -1 where the cgroup does not say, or the
    // socket's owner is someone else.
    qint64 uid = -1;
};
HoldingManager holdingManager(const PortEntry &entry);
