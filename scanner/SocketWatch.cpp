#include "scanner/SocketWatch.h"

#include "scanner/SocketTable.h"

#include <QThread>
#include <chrono>

namespace {

using std::chrono::milliseconds;

constexpr milliseconds tableInterval{25};
constexpr milliseconds scanInterval{150};

} // namespace

SocketWatch::SocketWatch(const QList<qint64> &ports, qsizetype cap)
    : m_ports(ports.cbegin(), ports.cend())
    , m_cap(cap) {
    m_usable = qgetenv("QUAYLINE_SOCKET_TABLE") != "off";
    for (const KernelSocket &socket : read())
        m_baseline.insert(socket.inode);
}

bool SocketWatch::waitForNewSocket(const QDeadlineTimer &deadline,
                                   const std::function<bool()> &goOn) {
    while (!deadline.hasExpired() && goOn()) {
        const milliseconds left =
            std::chrono::ceil<milliseconds>(deadline.remainingTimeAsDuration());
        QThread::msleep(ulong(std::min(left, m_usable ? tableInterval : scanInterval).count()));
        if (!m_usable)
            return true;
        for (const KernelSocket &socket : read()) {
            if (!m_baseline.contains(socket.inode))
                return true;
        }
    }
    return false;
}

// The sockets on the ports; none where the table cannot be read whole (and
// from then on the watch falls back to scans).
QList<KernelSocket> SocketWatch::read() {
    if (!m_usable)
        return {};
    SocketTable::Options options;
    options.timeLimit = milliseconds(500);
    options.cap = m_cap;
    const SocketTableResult table = SocketTable::read(options);
    if (table.source == SocketTableResult::Source::None || table.errorText) {
        m_usable = false;
        return {};
    }
    QList<KernelSocket> on;
    for (const KernelSocket &socket : table.sockets) {
        if (m_ports.contains(qint64(socket.port)))
            on.append(socket);
    }
    return on;
}
