#pragma once

#include "model/PortEntry.h"

#include <QFuture>
#include <QStringList>
#include <chrono>
#include <optional>

struct ScanResult {
    PortEntryList entries;            // merged, sorted by port then protocol
    std::optional<QString> errorText; // present only when lsof is missing
};

// Takes one snapshot of the machine's listening TCP ports and UDP sockets by
// running lsof twice at once. Holds only its configuration; scans are
// independent of each other and never fail.
class PortScanner {
public:
    using Duration = std::chrono::milliseconds;

    // The lsof fixed at build time.
    static QString defaultLsofPath();
    // lsof can block on a dead network mount; a run still going after this is killed.
    static constexpr Duration defaultTimeLimit = std::chrono::seconds(30);

    static QStringList tcpArguments();
    static QStringList udpArguments();
    static QString missingLsofMessage(const QString &lsofPath);

    explicit PortScanner(QString lsofPath = defaultLsofPath(),
                         Duration timeLimit = defaultTimeLimit);

    QString lsofPath() const { return m_lsofPath; }
    Duration timeLimit() const { return m_timeLimit; }

    // Both runs start at once; parsing and merging happen off the calling thread.
    QFuture<ScanResult> scan() const;
    // One lsof run on a background thread; empty text when it cannot be launched.
    QFuture<QString> run(const QStringList &arguments) const;
    // The blocking body of run(): launch, read stdout to the end, reap. Exit
    // status is ignored; stderr goes to /dev/null. A run over the time limit is
    // killed and counts as a launch failure (empty text).
    QString runBlocking(const QStringList &arguments) const;

    // Parses both runs' texts the way scan() does (TCP records first).
    static PortEntryList combine(QStringView tcpOutput, QStringView udpOutput);

private:
    QString m_lsofPath;
    Duration m_timeLimit;
};
