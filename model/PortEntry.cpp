#include "model/PortEntry.h"

#include <utility>

PortEntry::PortEntry(qint32 pid, QString processName, QString user, QString networkProtocol,
                     QString ipVersion, QString address, qint64 port, QString state)
    : pid(pid)
    , processName(std::move(processName))
    , user(std::move(user))
    , networkProtocol(std::move(networkProtocol))
    , ipVersion(std::move(ipVersion))
    , address(std::move(address))
    , port(port)
    , state(std::move(state)) {}

QString portEntryId(qint32 pid, const QString &networkProtocol, qint64 port) {
    QString id;
    id.reserve(networkProtocol.size() + 24);
    id += QString::number(pid);
    id += u'-';
    id += networkProtocol;
    id += u'-';
    id += QString::number(port);
    return id;
}

QString PortEntry::id() const {
    return portEntryId(pid, networkProtocol, port);
}

bool operator==(const PortEntry &a, const PortEntry &b) noexcept {
    return a.pid == b.pid && a.processName == b.processName && a.user == b.user &&
           a.networkProtocol == b.networkProtocol && a.ipVersion == b.ipVersion &&
           a.address == b.address && a.port == b.port && a.state == b.state &&
           a.process == b.process;
}

size_t qHash(const PortEntry &e, size_t seed) noexcept {
    QtPrivate::QHashCombine combine;
    seed = combine(seed, e.pid);
    seed = combine(seed, e.processName);
    seed = combine(seed, e.user);
    seed = combine(seed, e.networkProtocol);
    seed = combine(seed, e.ipVersion);
    seed = combine(seed, e.address);
    seed = combine(seed, e.port);
    seed = combine(seed, e.state);
    seed = combine(seed, e.process.startTicks); // the rest follows from pid and start
    return seed;
}
