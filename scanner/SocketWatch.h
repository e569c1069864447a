#pragma once

#include <QDeadlineTimer>
#include <QList>
#include <QSet>
#include <functional>

struct KernelSocket;

// Waits for a new socket on some ports by reading the kernel's socket table
// (cheap, unlike a scan), for a watch after a stop: a socket that was not
// there when the watch began shows that something took a port again. Where
// the table cannot be read (or QUAYLINE_SOCKET_TABLE=off), it says yes after
// a short while, so that the caller scans instead.
class SocketWatch {
public:
    explicit SocketWatch(const QList<qint64> &ports);

    // Until deadline, or until goOn says nothing is left that could start a
    // process again; true when a new socket showed up.
    bool waitForNewSocket(const QDeadlineTimer &deadline, const std::function<bool()> &goOn);

private:
    QList<KernelSocket> read();

    QSet<qint64> m_ports;
    QSet<quint64> m_baseline;
    bool m_usable = true;
};
