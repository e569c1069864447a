#pragma once

#include "scanner/PortScanner.h"
#include "stop/KeeperService.h"

#include <QHash>
#include <QMutex>
#include <memory>

// Gives each scan's rows their keepers (units and containers, with their
// restart settings). A full scan asks the keeper service; a refresh that
// handed back a full scan's rows (ScanResult::Kind::Unchanged) gets that
// scan's answers again, so that a refresh that ran no lsof asks no service
// manager or engine either. Safe to share between threads.
class KeeperAnnotation {
public:
    explicit KeeperAnnotation(std::shared_ptr<KeeperService> keepers);

    // Blocking where it asks the service: never on a GUI thread.
    void apply(ScanResult &result);

private:
    const std::shared_ptr<KeeperService> m_keepers;
    QMutex m_mutex;
    QHash<QString, PortEntry> m_last; // the last full scan's rows by id, as annotated
};
