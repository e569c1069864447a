#pragma once

#include "scanner/SocketTable.h"

#include <QDeadlineTimer>
#include <QList>
#include <QSet>
#include <functional>

// Waits for a new socket on some ports by reading the kernel's socket table
// (cheap, unlike a scan), for a watch after a stop: a socket that was not
// there when the watch began shows that something took a port again. Where
// the table cannot be read whole (or QUAYLINE_SOCKET_TABLE=off), it says yes
// after a short while, so that the caller scans instead: past the table's cap
// a new socket may be among those not read.
class SocketWatch {
public:
    explicit SocketWatch(const QList<qint64> &ports, qsizetype cap = SocketTable::Options{}.cap);

    // Until deadline, or until goOn says nothing is left that could start a
    // process again; true when a new socket showed up.
    bool waitForNewSocket(const QDeadlineTimer &deadline, const std::function<bool()> &goOn);

private:
    QList<KernelSocket> read();

    QSet<qint64> m_ports;
    qsizetype m_cap;
    QSet<quint64> m_baseline;
    bool m_usable = true;
};
