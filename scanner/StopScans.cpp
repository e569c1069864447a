#include "scanner/StopScans.h"

#include "stop/KeeperService.h"

#include <QElapsedTimer>
#include <QSet>
#include <algorithm>

using std::chrono::milliseconds;

StopScans::StopScans(LsofRuns &runs, QString lsofPath, KeeperService &keepers, QList<qint64> ports)
    : m_runs(runs)
    , m_lsofPath(std::move(lsofPath))
    , m_keepers(keepers)
    , m_ports(std::move(ports)) {}

ScanResult StopScans::first() {
    QElapsedTimer took;
    took.start();
    ScanResult result = keep(PortScanner(m_runs, m_lsofPath).scan().result());
    m_allowance = std::clamp(milliseconds(4 * took.elapsed()), milliseconds(10000),
                             PortScanner::defaultTimeLimit);
    return result;
}

ScanResult StopScans::within(const QDeadlineTimer &deadline) const {
    const auto left = std::chrono::ceil<milliseconds>(deadline.remainingTimeAsDuration());
    const milliseconds limit = std::min(std::max(left, m_allowance), PortScanner::defaultTimeLimit);
    return keep(PortScanner(m_runs, m_lsofPath, limit).scan().result());
}

ScanResult StopScans::keep(ScanResult result) const {
    if (result.errorText)
        return result;
    const QSet<qint64> wanted(m_ports.cbegin(), m_ports.cend());
    result.entries.removeIf([&](const PortEntry &e) { return !wanted.contains(e.port); });
    if (!result.entries.isEmpty())
        m_keepers.annotate(result.entries);
    return result;
}
