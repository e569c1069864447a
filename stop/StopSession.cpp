#include "stop/StopSession.h"

#include "stop/StopText.h"

#include <algorithm>

namespace {

bool sameProcess(qint32 pid, quint64 startTicks, const PortEntry &row) {
    // Where either start time is unknown the pid alone decides: nothing then
    // shows that the pid passed to another process.
    return row.pid == pid &&
           (startTicks == 0 || row.process.startTicks == 0 || row.process.startTicks == startTicks);
}

bool sharesSocket(const PortEntry &row, const QSet<quint64> &sockets) {
    return std::any_of(row.inodes.cbegin(), row.inodes.cend(),
                       [&](quint64 inode) { return sockets.contains(inode); });
}

StopTarget targetOf(const PortEntry &row, qint64 selfUid, const StatReader &proc) {
    StopTarget target;
    target.pid = row.pid;
    target.startTicks = row.process.startTicks;
    target.processName = row.processName;
    target.user = row.user;
    target.keeper = keeperOfProcess(row, selfUid, proc);
    target.parent = target.keeper.kind == Keeper::Kind::Parent
                        ? target.keeper
                        : parentKeeper(row.pid, row.process.startTicks, proc);
    return target;
}

void addRefusal(StopPlan &plan, Refusal refusal) {
    if (!plan.refusals.contains(refusal))
        plan.refusals.append(std::move(refusal));
}

} // namespace

QString Respawn::report() const {
    return kept.isEmpty() ? taken : taken + u' ' + kept;
}

QString StopTarget::describe() const {
    return StopText::process(pid, processName);
}

StopPlan planPortStop(const PortEntryList &rows, const QList<qint64> &ports, qint64 selfUid,
                      const StatReader &proc) {
    StopPlan plan;
    QHash<qint32, qsizetype> chosen; // pid: its place in targets
    for (qint64 port : ports) {
        bool listed = false;
        for (const PortEntry &row : rows) {
            if (row.port != port)
                continue;
            listed = true;
            plan.before.append(row);
            if (std::optional<Refusal> refusal = refusalFor(row, selfUid)) {
                addRefusal(plan, std::move(*refusal));
                continue;
            }
            auto it = chosen.find(row.pid);
            if (it == chosen.end()) {
                it = chosen.insert(row.pid, plan.targets.size());
                plan.targets.append(targetOf(row, selfUid, proc));
            }
            plan.targets[*it].rows.append(row);
        }
        if (!listed)
            plan.unlisted.append(port);
    }
    return plan;
}

KeeperStopPlan planKeeperStop(const PortEntryList &rows, const QList<qint64> &ports,
                              Keeper::Kind want, qint64 selfUid) {
    KeeperStopPlan plan;
    for (qint64 port : ports) {
        QList<const PortEntry *> holders;
        for (const PortEntry &row : rows) {
            if (row.port == port)
                holders.append(&row);
        }
        if (holders.isEmpty()) {
            plan.unlisted.append(port);
            continue;
        }
        const KeeperChoice choice = chooseKeeper(holders, want, selfUid);
        if (!choice.wanted) {
            const PortEntry &holder = *holders.constFirst();
            QStringList lines{want == Keeper::Kind::Service && choice.engineHeld
                                  ? StopText::engineUnitRefusal(port)
                              : holder.kernelHeld ? refusalFor(holder, selfUid)->reason
                                                  : StopText::noKeeperOfKind(want, port, holder)};
            if (choice.other)
                lines.append(StopText::keptByOther(*choice.other, port));
            plan.refusals.append(lines);
            continue;
        }
        auto stop = std::find_if(plan.stops.begin(), plan.stops.end(), [&](const auto &s) {
            return sameKeeper(s.keeper, *choice.wanted);
        });
        if (stop == plan.stops.end())
            stop = plan.stops.insert(plan.stops.end(), {*choice.wanted, {}});
        stop->ports.append(port);
    }
    return plan;
}

KeeperStopResult stopKeeperOfPorts(KeeperService &keepers, const Keeper &keeper,
                                   const QList<qint64> &ports, const PortEntryList &rows,
                                   const StatReader &proc) {
    if (keeper.kind == Keeper::Kind::Container) {
        const std::optional<ContainerTies> ties = keepers.containerTies(keeper);
        for (qint64 port : ports) {
            QList<const PortEntry *> holders;
            for (const PortEntry &row : rows) {
                if (row.port == port)
                    holders.append(&row);
            }
            if (!ties || !containerHoldsPort(*ties, holders, proc))
                return {KeeperStopResult::Kind::Unconfirmed, StopText::unconfirmedContainer(port)};
        }
    }
    return keepers.stop(keeper);
}

StopPlan planRowStop(const PortEntry &row, const PortEntryList &rows, qint64 selfUid,
                     const StatReader &proc) {
    StopPlan plan;
    if (std::optional<Refusal> refusal = refusalFor(row, selfUid)) {
        plan.refusals.append(std::move(*refusal));
        return plan;
    }
    StopTarget target = targetOf(row, selfUid, proc);
    // Every port of the process, the pressed row's first: a supervisor brings
    // all of them back, and one report says so.
    target.rows.append(row);
    for (const PortEntry &e : rows) {
        if (e.pid == row.pid && e.process.startTicks == row.process.startTicks &&
            e.key() != row.key())
            target.rows.append(e);
    }
    for (const PortEntry &e : rows) {
        if (std::any_of(target.rows.cbegin(), target.rows.cend(), [&](const PortEntry &t) {
                return t.port == e.port && t.networkProtocol == e.networkProtocol;
            }))
            plan.before.append(e);
    }
    plan.targets.append(std::move(target));
    return plan;
}

StopSession::StopSession(qint64 selfUid, std::shared_ptr<const SystemCalls> system, StatReader proc)
    : m_selfUid(selfUid)
    , m_system(std::move(system))
    , m_proc(std::move(proc)) {
    if (!m_system)
        m_system = std::shared_ptr<const SystemCalls>(&SystemCalls::real(), [](auto *) {});
}

std::optional<KillError> StopSession::press(const StopTarget &target) {
    return m_stages.press(target.pid, target.startTicks, target.user, *m_system);
}

void StopSession::watch(const StopTarget &target, const PortEntryList &before,
                        Clock::time_point until) {
    Watch watch;
    watch.pid = target.pid;
    watch.startTicks = target.startTicks;
    watch.keeper = target.keeper;
    watch.parent = target.parent;
    watch.until = until;
    for (const PortEntry &row : target.rows) {
        const std::pair port{row.networkProtocol, row.port};
        if (!watch.ports.contains(port))
            watch.ports.append(port);
        watch.sockets.unite(QSet<quint64>(row.inodes.cbegin(), row.inodes.cend()));
    }
    for (const PortEntry &row : before) {
        if (sameProcess(target.pid, target.startTicks, row))
            continue;
        watch.before.insert({row.id(), row.process.startTicks});
        watch.otherSockets.unite(QSet<quint64>(row.inodes.cbegin(), row.inodes.cend()));
    }
    // SIGKILL after SIGTERM: the window starts again from the later stop.
    m_watches.removeIf(
        [&](const Watch &w) { return w.pid == target.pid && w.startTicks == target.startTicks; });
    m_watches.append(std::move(watch));
}

bool StopSession::alive(const Watch &watch, Clock::time_point now) const {
    if (now >= watch.until || !watch.keeper.restarts())
        return false;
    // A parent that went with its child restarts nothing (a shell that ran
    // the server as its one command, say); a unit or a container may yet.
    return watch.keeper.kind != Keeper::Kind::Parent || parentAlive(watch.keeper, m_proc);
}

bool StopSession::keepsWatching(Clock::time_point now) const {
    return std::any_of(m_watches.cbegin(), m_watches.cend(),
                       [&](const Watch &w) { return alive(w, now); });
}

std::optional<PortEntry> StopSession::newcomer(const Watch &watch, const QString &protocol,
                                               qint64 port, const PortEntryList &rows) const {
    std::optional<PortEntry> found;
    for (const PortEntry &row : rows) {
        if (row.port != port || row.networkProtocol != protocol ||
            sameProcess(watch.pid, watch.startTicks, row) ||
            watch.before.contains({row.id(), row.process.startTicks}) ||
            sharesSocket(row, watch.otherSockets))
            continue;
        // A row that names its process says more than one of the kernel's
        // that knows only the owner.
        if (row.pid > 0)
            return row;
        if (!found)
            found = row;
    }
    return found;
}

StopSession::Look StopSession::look(const PortEntryList &rows, Clock::time_point now) {
    Look look;
    QSet<std::pair<QString, qint64>> reported;
    for (auto watch = m_watches.begin(); watch != m_watches.end();) {
        bool found = false;
        bool pending = false;
        for (const auto &[protocol, port] : std::as_const(watch->ports)) {
            if (reported.contains({protocol, port}))
                continue;
            std::optional<PortEntry> holder = newcomer(*watch, protocol, port, rows);
            if (!holder)
                continue;
            // The stopped process's own socket, open elsewhere too: nothing
            // took the port again, and its cgroup says nothing of where.
            const bool shared = sharesSocket(*holder, watch->sockets);
            if (!shared && holder->pid <= 0 && now < watch->until) {
                pending = look.lookAgainSoon = true;
                continue;
            }
            reported.insert({protocol, port});
            found = true;
            if (shared) {
                holder->keeper = Keeper();
                look.found.append({port,
                                   protocol,
                                   watch->pid,
                                   *holder,
                                   StopText::stillShared(port, watch->pid, *holder),
                                   {}});
                continue;
            }
            holder->keeper = keeperOfProcess(*holder, m_selfUid, m_proc);
            const bool sameParent =
                watch->parent.kind == Keeper::Kind::Parent &&
                holder->keeper.parentPid == watch->parent.parentPid &&
                holder->keeper.parentStartTicks == watch->parent.parentStartTicks;
            const QString taken = StopText::takenAgain(port, watch->pid, *holder);
            const QString kept = StopText::keptBy(holder->keeper, sameParent);
            look.found.append({port, protocol, watch->pid, *holder, taken, kept});
        }
        // Looked at once: a process that nothing restarts is not watched on.
        if (found || (!pending && !alive(*watch, now)))
            watch = m_watches.erase(watch);
        else
            ++watch;
    }
    return look;
}
