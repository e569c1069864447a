#include "scanner/KeeperAnnotation.h"

#include <algorithm>

KeeperAnnotation::KeeperAnnotation(std::shared_ptr<KeeperService> keepers)
    : m_keepers(std::move(keepers)) {}

void KeeperAnnotation::apply(ScanResult &result) {
    if (result.kind == ScanResult::Kind::Unchanged) {
        QMutexLocker lock(&m_mutex);
        // Every row of such a result is a row of an earlier full scan; one
        // this has not seen (a scan it was not given) is asked about below.
        const bool known =
            std::all_of(result.entries.cbegin(), result.entries.cend(),
                        [&](const PortEntry &row) { return m_last.contains(row.id()); });
        if (known) {
            for (PortEntry &row : result.entries)
                row = m_last.value(row.id());
            return;
        }
    }
    m_keepers->annotate(result.entries);
    if (result.kind != ScanResult::Kind::Full)
        return;
    QHash<QString, PortEntry> rows;
    rows.reserve(result.entries.size());
    for (const PortEntry &row : result.entries)
        rows.insert(row.id(), row);
    QMutexLocker lock(&m_mutex);
    m_last = std::move(rows);
}
