#pragma once

#include "scanner/PortScanner.h"

#include <QDeadlineTimer>
#include <chrono>

class KeeperService;

// The scans of one stop on some ports: the rows on those ports only, with
// their keepers. The first may take the scanner's usual time limit. A later
// one may take what is left of the caller's wait, but at least the allowance
// for one scan: four times what the first one took, from 10 seconds up to the
// usual limit, as one lsof may take seconds longer on a loaded machine than
// the one before it. A hung lsof thus holds a stop at most that allowance past
// its own wait.
class StopScans {
public:
    StopScans(LsofRuns &runs, QString lsofPath, KeeperService &keepers, QList<qint64> ports);

    ScanResult first();
    ScanResult within(const QDeadlineTimer &deadline) const;

private:
    ScanResult keep(ScanResult result) const;

    LsofRuns &m_runs;
    QString m_lsofPath;
    KeeperService &m_keepers;
    QList<qint64> m_ports;
    std::chrono::milliseconds m_allowance{10000};
};
