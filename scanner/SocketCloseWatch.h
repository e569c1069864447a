#pragma once

#include "process/Descriptor.h"
#include "scanner/SocketTable.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>

class QSocketNotifier;

// Learns at once when a listed socket goes away, from the kernel's multicast
// of destroyed TCP and UDP sockets (which any user may join), instead of at
// the next refresh.
//
// The kernel tells of every socket that goes, and a busy machine closes
// thousands of connections a second; so a filter in the kernel drops a TCP
// socket's destruction when it had a peer (a connection, accepted or made) before it is queued, and
// what comes through costs one hash lookup unless it is a listed socket. (A listener made from a
// socket that was connected before is dropped too; its close shows at the next refresh.) A
// destroyed socket no longer has its inode, and every one reports the closed state, listeners too:
// it is known by its cookie, which setInodes() learns from the socket table.
//
// Lives on the thread that made it, which must run an event loop.
class SocketCloseWatch : public QObject {
    Q_OBJECT

public:
    struct Options {
        // How the netlink sockets are opened: ::socket unless a test makes
        // netlink refuse.
        SocketTable::OpenSocket openSocket;
        // Without it every destroyed socket reaches this process; for the
        // benchmark's comparison.
        bool kernelFilter = true;
    };

    explicit SocketCloseWatch(QObject *parent = nullptr);
    explicit SocketCloseWatch(const Options &options, QObject *parent = nullptr);
    ~SocketCloseWatch() override;

    // False where the kernel refused the multicast or the socket table: then
    // nothing is emitted and callers keep refreshing on their timer.
    bool isActive() const { return m_notifier != nullptr; }

    // The listed sockets whose close matters, replacing the last set. Reads
    // the socket table (about half a millisecond per thousand sockets) to
    // learn their cookies; an inode that is no longer in the table is reported
    // by closed() at once, from the event loop, since it went while the caller
    // was listing it. Where the table cannot be read whole, the watch stops.
    void setInodes(QSet<quint64> inodes);

    // Messages of destroyed sockets this watch read, listed or not.
    quint64 messagesRead() const { return m_messagesRead; }

    // Puts on fd the kernel's filter that drops the destruction of a TCP
    // socket that had a peer (a connection, never a listener) and keeps what
    // it cannot be sure of (a short message, no protocol attribute first).
    static bool attachFilter(int fd);

signals:
    // Listed sockets that were destroyed, each once, those of one read burst
    // together.
    void closed(QList<quint64> inodes);
    // The kernel dropped messages because this program did not read them in
    // time: a listed socket may have closed unseen, so the caller should
    // scan again.
    void overrun();

private:
    void readAll();
    void stop();

    Options m_options;
    UniqueFd m_fd;
    QSocketNotifier *m_notifier = nullptr;
    QHash<quint64, quint64> m_inodeOfCookie;
    quint64 m_messagesRead = 0;
};
