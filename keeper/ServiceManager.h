#pragma once

#include "model/Keeper.h"

#include <QDBusConnection>
#include <QString>
#include <chrono>
#include <optional>

// How long a ServiceManager waits for each kind of answer.
struct ServiceManagerLimits {
    // GetUnit, property reads, the socket units' listing, Subscribe.
    std::chrono::milliseconds call{500};
    // The answer to StopUnit: on the system bus the desktop's polkit
    // agent may be asking for a password meanwhile.
    std::chrono::milliseconds stopCall{120000};
    // The stop job itself: systemd waits TimeoutStopSec= (90 s unless
    // set) before it kills what is left.
    std::chrono::milliseconds job{100000};
};

// A socket that one of a manager's socket units listens on, as the manager
// names it: type "Stream", "Datagram", "Netlink", "FIFO", …; address
// "[::]:22", "127.0.0.1:53", a path, ….
struct ListeningSocket {
    QString unit; // "ssh.socket"
    QString type;
    QString address;

    friend bool operator==(const ListeningSocket &, const ListeningSocket &) = default;
};

// A blocking client of a systemd service manager over D-Bus: the user's own
// on the session bus, or the system's on the system bus. It reads a unit's
// Restart= setting and the sockets of the active socket units, and stops a
// unit the way `systemctl stop` does, waiting for the stop job to end. Every call has a time limit.
// Usable from any thread (a worker of a thread pool as well as a program's main thread); the waits
// run a local event loop, so never call it on the GUI thread.
class ServiceManager {
public:
    using Limits = ServiceManagerLimits;

    enum class Bus { Session, System };

    // The manager of a well-known bus, connected on first use. On the system
    // bus a stop allows interactive authorization.
    explicit ServiceManager(Bus bus, Limits limits = {});
    // The manager on a given connection (tests: a private bus).
    ServiceManager(QDBusConnection connection, bool interactiveAuthorization, Limits limits = {});

    // The unit's Restart= ("no", "on-failure", "always", …); nothing where it
    // could not be read (no manager, no such unit, not a service).
    std::optional<QString> restartSetting(const QString &unit);

    // The sockets of the active socket units: ListUnitsByPatterns, then each
    // unit's Listen, asked all at once (so two call limits at most); nothing
    // where the units could not be listed. A unit whose Listen could not be
    // read is left out.
    std::optional<QList<ListeningSocket>> listeningSockets();

    // StopUnit(unit, "replace"), then the job's JobRemoved: "done" is Stopped,
    // another result Failed. An inactive unit is AlreadyStopped without a job.
    KeeperStopResult stop(const QString &unit);

    // How an error of the manager (or of the bus) reads as a stop's outcome.
    static KeeperStopResult::Kind kindOfError(const QString &errorName);

private:
    QDBusConnection connection() const;

    std::optional<Bus> m_bus;
    QDBusConnection m_connection;
    bool m_interactive = false;
    Limits m_limits;
};
