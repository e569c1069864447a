#pragma once

#include "process/ProcStat.h"
#include "scanner/PortScanner.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QThreadPool>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Answers a refresh without lsof where the kernel shows that nothing the rows
// depend on has moved. lsof costs up to seconds of CPU on a busy machine,
// while the kernel's socket table and the listed processes' start times cost
// milliseconds. The last full scan's rows are handed back when
//  - the socket table, read whole, holds the same sockets (inode, protocol,
//    address, port, owner) as just before that scan's lsof started, or only
//    fewer of them: the rows whose every socket went are left out, and the
//    rows left with the table become what later refreshes compare against,
//  - every pid the rows name still belongs to the process they name (same
//    start time), and
//  - that scan started less than fullScanFloor ago: what the table cannot
//    show (a process that executes another program keeps its pid and its
//    sockets; a child that inherits a listening socket adds a holder) shows
//    at the next full scan.
// Anything else, a table that cannot be read whole, and a socket gone while a
// row does not know its sockets, runs a full scan.
// Safe to use from any thread; the checks run on a thread of its own, never on
// the caller's.
class ChangeCheck {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    static constexpr std::chrono::milliseconds defaultFullScanFloor = std::chrono::seconds(60);

    struct Options {
        // The table compared from refresh to refresh; without one, every
        // refresh is a full scan.
        PortScanner::SocketTableRead readTable;
        // Where the listed processes' start times are read.
        StatReader proc;
        Clock now; // the steady clock when empty
        std::chrono::milliseconds fullScanFloor = defaultFullScanFloor;
    };
    // The defaults: PortScanner's table read, /proc, the steady clock, 60 s.
    static Options defaultOptions();

    explicit ChangeCheck(PortScanner scanner);
    ChangeCheck(PortScanner scanner, Options options);
    // Waits for the checks under way (not for the scans they started).
    ~ChangeCheck();
    ChangeCheck(const ChangeCheck &) = delete;
    ChangeCheck &operator=(const ChangeCheck &) = delete;

    // The last full scan's rows (kind Unchanged) where nothing moved, else a
    // full scan (kind Full). For the timer's refresh.
    QFuture<ScanResult> refresh();
    // Always a full scan, which the next refreshes may reuse. For a refresh
    // the user asked for.
    QFuture<ScanResult> fullScan();

    // Whether the table, read now on the caller's thread, differs from the one
    // the rows stand on: a poll cheap enough to run every second (no lsof, no
    // /proc), after which refresh() tells what it means. False where the
    // table cannot be read whole or no rows may be reused: then only the
    // refreshes themselves can tell.
    bool tableMoved() const;
    // The table's sockets now, as compared (fingerprint()), read on the
    // caller's thread; none where it cannot be read whole.
    std::optional<QList<KernelSocket>> readSockets() const;

    // The sockets of a table in the order compared, without what is not
    // compared (the owner's cgroup); none when the table was not read whole.
    static std::optional<QList<KernelSocket>> fingerprint(const SocketTableResult &table);

private:
    struct State;
    QFuture<ScanResult> start(bool mayReuse);

    std::shared_ptr<State> m_state;
    QThreadPool m_pool;
};
