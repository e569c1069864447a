#pragma once

#include "model/PortEntry.h"

#include <QStringView>
#include <optional>

// The local end of an lsof name field: address exactly as printed ("*",
// "127.0.0.1", "[::1]") and the port number.
struct Endpoint {
    QString address;
    qint64 port = 0;
    friend bool operator==(const Endpoint &, const Endpoint &) = default;
};

// Reads lsof's field output (-F with p, c, L, f, P, t, n, T) into one record per
// socket, in the order of the file sets. Records whose name has no numeric port
// are dropped; lines with other field letters are skipped. Never fails.
PortEntryList parseFieldOutput(QStringView output, const QString &defaultProtocol);
// The same, appending to result.
void appendFieldOutput(PortEntryList &result, QStringView output, const QString &defaultProtocol);

// "10.0.0.2:68->10.0.0.1:67" gives ("10.0.0.2", 68); a name without a numeric
// port after its last colon gives nothing.
std::optional<Endpoint> splitEndpoint(QStringView name);

// Folds the records of one scan that share an id (the IPv4 and IPv6 twins of a
// socket) into one, then sorts by port and protocol. Ties keep the order in
// which their ids were first seen, so equal scans give equal lists.
PortEntryList mergeEntries(PortEntryList entries);

// A strict decimal: optional single sign, then at least one digit, nothing else,
// and within the range of T. Shared by the pid and port readers.
template <typename T> std::optional<T> parseDecimal(QStringView text);
extern template std::optional<qint32> parseDecimal<qint32>(QStringView);
extern template std::optional<qint64> parseDecimal<qint64>(QStringView);
