#pragma once

// Port records as one line of text, "pid|processName|user|protocol|ipVersion|address|port|state",
// so that tests can write expected lists compactly and a failed comparison shows
// every field of every record.

#include "model/PortEntry.h"

#include <QStringList>

inline PortEntry entryFromText(const QString &text) {
    const QStringList f = text.split(u'|');
    Q_ASSERT(f.size() == 8);
    return PortEntry(f[0].toInt(), f[1], f[2], f[3], f[4], f[5], f[6].toLongLong(), f[7]);
}

inline PortEntryList entriesFromText(const QStringList &lines) {
    PortEntryList list;
    for (const QString &line : lines)
        list.append(entryFromText(line));
    return list;
}

inline QString entryText(const PortEntry &e) {
    return QStringList{QString::number(e.pid),  e.processName, e.user,
                       e.networkProtocol,       e.ipVersion,   e.address,
                       QString::number(e.port), e.state}
        .join(u'|');
}

// One record per line.
inline QString entriesText(const PortEntryList &entries) {
    QStringList lines;
    for (const PortEntry &e : entries)
        lines.append(entryText(e));
    return lines.join(u'\n');
}
