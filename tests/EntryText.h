#pragma once

// Port records as lines "pid|processName|user|protocol|ipVersion|address|port|state",
// so that expected lists are compact and a failed comparison shows every field.

#include "model/PortEntry.h"

#include <QStringList>

inline QString entriesText(const PortEntryList &entries) {
    QStringList lines;
    for (const PortEntry &e : entries)
        lines.append(QStringLiteral("%1|%2|%3|%4|%5|%6|%7|%8")
                         .arg(QString::number(e.pid), e.processName, e.user, e.networkProtocol,
                              e.ipVersion, e.address, QString::number(e.port), e.state));
    return lines.join(u'\n');
}
