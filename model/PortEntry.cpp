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

QString PortEntry::Key::text() const {
    QString id;
    id.reserve(networkProtocol.size() + 24);
    id += QString::number(pid);
    id += u'-';
    id += networkProtocol;
    id += u'-';
    id += QString::number(port);
    if (holderUid >= 0) {
        id += u'@';
        id += QString::number(holderUid);
        id += u':';
        id += QString::number(holderCgroup);
    }
    return id;
}

namespace {

// The text after the pid is "<protocol>-<digits of |port|>" for a port of 0 or
// more, and "<protocol>--<digits>" for a negative one, so it reads as the
// protocol with one "-" added for a negative port, then "-", then the digits.
// The digits hold no "-": two such texts are equal exactly when the
// magnitudes and the protocols so widened are. (The pid's part is never in
// doubt: its digits end at the first "-" after an optional sign.)
quint64 magnitude(qint64 port) {
    return port < 0 ? 0 - quint64(port) : quint64(port);
}

bool widenedEqual(QStringView shorter, QStringView widened) {
    return widened.size() == shorter.size() + 1 && widened.back() == u'-' &&
           widened.first(shorter.size()) == shorter;
}

} // namespace

bool operator==(const PortEntry::Key &a, const PortEntry::Key &b) noexcept {
    if (a.pid != b.pid || magnitude(a.port) != magnitude(b.port) || a.holderUid != b.holderUid ||
        a.holderCgroup != b.holderCgroup)
        return false;
    if ((a.port < 0) == (b.port < 0))
        return a.networkProtocol == b.networkProtocol;
    return a.port < 0 ? widenedEqual(a.networkProtocol, b.networkProtocol)
                      : widenedEqual(b.networkProtocol, a.networkProtocol);
}

size_t qHash(const PortEntry::Key &key, size_t seed) noexcept {
    // Without its trailing dashes the protocol is the same for equal keys
    // whichever sign their ports have.
    QStringView protocol = key.networkProtocol;
    while (!protocol.isEmpty() && protocol.back() == u'-')
        protocol.chop(1);
    return qHashMulti(seed, key.pid, magnitude(key.port), protocol, key.holderUid,
                      key.holderCgroup);
}

bool operator==(const PortEntry &a, const PortEntry &b) noexcept {
    return a.pid == b.pid && a.processName == b.processName && a.user == b.user &&
           a.networkProtocol == b.networkProtocol && a.ipVersion == b.ipVersion &&
           a.address == b.address && a.port == b.port && a.state == b.state &&
           a.process == b.process && a.fromKernel == b.fromKernel && a.uid == b.uid &&
           a.cgroupId == b.cgroupId && a.kernelHeld == b.kernelHeld && a.kernelUse == b.kernelUse &&
           a.inodes == b.inodes && a.containerName == b.containerName && a.image == b.image &&
           a.composeProject == b.composeProject && a.proxyCheck == b.proxyCheck &&
           a.keeper == b.keeper;
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
    seed = combine(seed, e.uid);
    seed = combine(seed, e.cgroupId);
    seed = combine(seed, e.containerName);
    return seed;
}
