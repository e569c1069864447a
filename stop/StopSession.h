#pragma once

#include "model/KillError.h"
#include "model/PortEntry.h"
#include "process/ProcStat.h"
#include "process/StopStages.h"
#include "process/SystemCalls.h"
#include "stop/StopRules.h"

#include <QSet>
#include <chrono>
#include <memory>
#include <optional>

// One process to stop, as the scan before the stop listed it.
struct StopTarget {
    qint32 pid = 0;
    quint64 startTicks = 0; // what tells this process from a later one on its pid
    QString processName;
    QString user;
    PortEntryList rows; // its rows: on the ports asked for, or all of them for a row's stop
    Keeper keeper;      // what would start it again, as far as known before the stop
    Keeper parent;      // its parent, read while it is there

    QString describe() const;
};

// What a stop will do: the processes to signal, the holders it will not
// signal (each refusal once), the ports nothing holds, and every row on the
// ports at the time (a later holder that is none of these is new).
struct StopPlan {
    QList<StopTarget> targets;
    QList<Refusal> refusals;
    QList<qint64> unlisted;
    PortEntryList before;
};

// The stop of the processes listening on ports (quayline-cli stop), each pid
// once, in the order of the ports.
StopPlan planPortStop(const PortEntryList &rows, const QList<qint64> &ports, qint64 selfUid,
                      const StatReader &proc);
// The stop of one row's process (the panel's button): every row of that
// process is its target's.
StopPlan planRowStop(const PortEntry &row, const PortEntryList &rows, qint64 selfUid,
                     const StatReader &proc);

// The stop of the units or containers that keep ports (--service,
// --container): each keeper once, with the ports it keeps, in the order of
// the ports; for a port that has none of the kind asked for, why, and the
// keeper of the other kind where there is one.
struct KeeperStopPlan {
    struct Stop {
        Keeper keeper;
        QList<qint64> ports;
    };
    QList<Stop> stops;
    QList<QStringList> refusals; // each a refusal's lines
    QList<qint64> unlisted;
};
KeeperStopPlan planKeeperStop(const PortEntryList &rows, const QList<qint64> &ports,
                              Keeper::Kind want, qint64 selfUid);

// Stops a keeper of ports through the keepers' service: a container only
// once its engine ties it to every one of them as rows list them
// (containerHoldsPort), else Unconfirmed and nothing asked of the engine.
// Blocking: never call it on a GUI thread.
KeeperStopResult stopKeeperOfPorts(KeeperService &keepers, const Keeper &keeper,
                                   const QList<qint64> &ports, const PortEntryList &rows,
                                   const StatReader &proc);

// A port taken by a process that was not there before, right after a stop,
// or never freed: the stopped process's socket is open in another process.
struct Respawn {
    qint64 port = 0;
    QString networkProtocol;
    qint32 stoppedPid = 0;
    PortEntry holder; // its keeper set
    QString taken;    // "Port 8080 was taken again by PID 4711 (node) right after …",
                      // "Port 8080 was not freed: …"
    QString kept;     // "It is kept by …", "It was started again by …"; may be empty

    QString report() const; // both sentences
};

// The state of stopping processes that one front end keeps between presses
// and scans: which signal each process gets next, and the ports watched after
// a stop for a process that takes them again. Driven by its caller, who
// brings the scans and the time (the command line waits on pidfds and the
// socket table, the panel on its timers); the session itself only decides.
class StopSession {
public:
    using Clock = std::chrono::steady_clock;

    explicit StopSession(qint64 selfUid, std::shared_ptr<const SystemCalls> system = nullptr,
                         StatReader proc = StatReader());

    qint64 selfUid() const { return m_selfUid; }
    const StatReader &proc() const { return m_proc; }
    const StopStages &stages() const { return m_stages; }

    // One press for the target: SIGTERM, or SIGKILL once that very process
    // had a SIGTERM. The error, processGone included (no failure for people).
    std::optional<KillError> press(const StopTarget &target);
    // Forgets the processes rows no longer list; true when any went.
    bool keepListed(const PortEntryList &rows) { return m_stages.keepListed(rows); }

    // Watches the target's ports until `until` for a process that takes one
    // of them; holders in `before` are not new. A target whose keeper
    // restarts nothing is looked for once, at the next look.
    void watch(const StopTarget &target, const PortEntryList &before, Clock::time_point until);
    bool isWatching() const { return !m_watches.isEmpty(); }
    // Whether a later look may still find something: a watch whose time is
    // not up and whose keeper may restart the process and is still there.
    bool keepsWatching(Clock::time_point now) const;

    struct Look {
        QList<Respawn> found;
        // A newcomer that only the kernel's table lists yet (it bound after
        // lsof ran): a look a moment later names its process.
        bool lookAgainSoon = false;
    };
    // What a scan made after the stop shows, its rows with their keepers (the
    // caller's keepers service annotated them). Watches that found their
    // newcomer, or whose time is up, end.
    Look look(const PortEntryList &rows, Clock::time_point now);

private:
    struct Watch {
        qint32 pid = 0;
        quint64 startTicks = 0;
        QList<std::pair<QString, qint64>> ports;  // protocol, port
        QSet<std::pair<QString, quint64>> before; // row id, start time
        QSet<quint64> sockets;                    // the inodes of the target's sockets
        QSet<quint64> otherSockets;               // of the other holders' before the stop
        Keeper keeper;
        Keeper parent;
        Clock::time_point until;
    };
    bool alive(const Watch &watch, Clock::time_point now) const;
    std::optional<PortEntry> newcomer(const Watch &watch, const QString &protocol, qint64 port,
                                      const PortEntryList &rows) const;

    qint64 m_selfUid;
    std::shared_ptr<const SystemCalls> m_system;
    StatReader m_proc;
    StopStages m_stages;
    QList<Watch> m_watches;
};
