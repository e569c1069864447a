#pragma once

#include "model/Keeper.h"

#include <QString>
#include <chrono>
#include <optional>

class ChildProcesses;
class ContainerEngine;

// A stop waits this long for the container's process to exit before the
// engine kills it (Docker's own default).
inline constexpr std::chrono::seconds containerStopGrace{10};
// What a stop may take beyond its grace: the kill, the container's exit,
// taking down its network and proxies. Seconds on a busy machine.
inline constexpr std::chrono::milliseconds containerStopMargin{10000};

// Stops a container (POST /containers/{id}/stop), asking the engines on
// engine's sockets in turn, the one that inspected it first: 204 Stopped, 304
// AlreadyStopped, 404 Gone (once no other engine has it), another status
// Failed with the engine's own message. The engine waits grace for the
// process before it kills it, so the request's time limit is grace plus
// margin. Blocking: never call it on the GUI thread.
KeeperStopResult stopContainer(ContainerEngine &engine, const QString &idOrName,
                               std::chrono::seconds grace = containerStopGrace,
                               std::chrono::milliseconds margin = containerStopMargin);

// Stops a container of the user's own Podman with its command (podman stop),
// for where Podman's socket is off; the same time limit as through the API.
// Nothing where podman is not there or did not stop it.
std::optional<KeeperStopResult>
stopWithPodman(ChildProcesses &children, const QString &podman, const QString &idOrName,
               std::chrono::seconds grace = containerStopGrace,
               std::chrono::milliseconds margin = containerStopMargin);
