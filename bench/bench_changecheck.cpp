// What a refresh costs when nothing moved, against one that runs lsof: the
// whole program's CPU (every thread) and its children's, per refresh, with
// 1,000 UDP sockets of the bench's own and 200 children sharing one more,
// beside whatever the machine holds: 200 pids whose start times are checked.
// And a watch over a listener that opens and closes every second: its CPU per
// minute, and whether it told every open and close once, in order.
#include "SocketHolders.h"
#include "cli/WatchCommand.h"
#include "scanner/ChangeCheck.h"
#include "viewmodel/LiveRefresh.h"
#include "viewmodel/PortListViewModel.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int boundUdpSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

double processAndChildrenCpuMs() {
    timespec self{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &self);
    rusage children{};
    ::getrusage(RUSAGE_CHILDREN, &children);
    const auto ms = [](const timeval &t) {
        return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3;
    };
    return double(self.tv_sec) * 1e3 + double(self.tv_nsec) / 1e6 + ms(children.ru_utime) +
           ms(children.ru_stime);
}

struct Refreshes {
    double cpuMs = 0; // median per refresh
    int unchanged = 0;
};

Refreshes measure(int repetitions, const std::function<ScanResult()> &refresh) {
    std::vector<double> cpu;
    Refreshes figures;
    for (int i = 0; i < repetitions; ++i) {
        const double before = processAndChildrenCpuMs();
        figures.unchanged += refresh().kind == ScanResult::Kind::Unchanged;
        cpu.push_back(processAndChildrenCpuMs() - before);
    }
    std::sort(cpu.begin(), cpu.end());
    figures.cpuMs = cpu[cpu.size() / 2];
    return figures;
}

// Says so where the scanner's lsof cannot run.
bool lsofMissing(const PortScanner &scanner) {
    if (QFileInfo(scanner.lsofPath()).isExecutable())
        return false;
    std::printf("  skipped: %s is not executable\n\n", qPrintable(scanner.lsofPath()));
    return true;
}

} // namespace

void benchUnchangedRefresh() {
    std::printf("A refresh when nothing moved, against a full scan (median CPU per refresh)\n");
    LsofRuns runs;
    const PortScanner scanner(runs);
    if (lsofMissing(scanner))
        return;
    const SocketHolders holders(200);
    std::vector<int> fds;
    for (int i = 0; i < 1000; ++i) {
        const int fd = boundUdpSocket();
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    ChangeCheck check(scanner);
    const ScanResult first = check.fullScan().result();
    QSet<qint32> pids;
    for (const PortEntry &row : first.entries)
        pids.insert(row.pid);
    const int repetitions = 21;
    const Refreshes full = measure(repetitions, [&] { return check.fullScan().result(); });
    const Refreshes same = measure(repetitions, [&] { return check.refresh().result(); });
    std::printf("  %lld rows, %lld pids, %lld sockets of the bench's own, %d repetitions\n",
                qlonglong(first.entries.size()), qlonglong(pids.size()), qlonglong(fds.size()),
                repetitions);
    std::printf("  full scan (lsof)      %8.2f ms CPU\n", full.cpuMs);
    std::printf(
        "  unchanged refresh     %8.2f ms CPU   (%d of %d skipped lsof; aim: under 5 ms)\n\n",
        same.cpuMs, same.unchanged, repetitions);
    for (int fd : fds)
        ::close(fd);
}

int benchWatchSeconds = 60;

void benchWatch() {
    const int seconds = benchWatchSeconds;
    std::printf("A watch over %d s, a listener of the bench's own opening and closing every "
                "second\n",
                seconds);
    LsofRuns runs;
    const PortScanner scanner(runs);
    if (lsofMissing(scanner))
        return;
    ChangeCheck check(scanner);
    PortWatch watch(check, watchOptions);
    // The port stays the same, so that every open and close is one row's.
    quint16 port = 0;
    int listener = -1;
    const auto toggle = [&] {
        if (listener >= 0) {
            ::close(listener);
            listener = -1;
            return true;
        }
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        socklen_t size = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0 ||
            ::listen(listener, 5) != 0) {
            std::printf("  could not listen on port %u\n", unsigned(port));
            return false;
        }
        port = ntohs(address.sin_port);
        return true;
    };
    QString told; // "o" and "c" for the listener's rows, in the order reported
    QObject::connect(&watch, &PortWatch::events, [&](const PortEventList &events) {
        for (const PortEvent &e : events) {
            if (e.entry.port == port && e.entry.pid == qint32(::getpid()))
                told += e.kind == PortEvent::Kind::Opened ? u'o' : u'c';
        }
    });
    QEventLoop loop;
    QObject::connect(&watch, &PortWatch::ready, &loop, &QEventLoop::quit);
    watch.start();
    loop.exec();

    QString done;
    const double before = processAndChildrenCpuMs();
    QTimer every;
    every.setInterval(1000);
    QObject::connect(&every, &QTimer::timeout, [&] {
        if (done.size() >= seconds || !toggle()) {
            every.stop();
            loop.quit();
            return;
        }
        done += listener >= 0 ? u'o' : u'c';
    });
    every.start();
    loop.exec();
    const double cpuMs = processAndChildrenCpuMs() - before;
    if (listener >= 0) {
        ::close(listener);
        done += u'c';
    }
    // The last close is seen at the next poll; ten seconds at most.
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    QObject::connect(&watch, &PortWatch::events, [&] {
        if (told.size() >= done.size())
            loop.quit();
    });
    if (told.size() < done.size())
        loop.exec();
    std::printf("  CPU per minute (own and children's): %.1f ms\n", cpuMs * 60.0 / seconds);
    std::printf("  %lld opens and closes; reported %lld, %s\n\n", qlonglong(done.size()),
                qlonglong(told.size()),
                told == done ? "each once, in order" : "NOT each once in order");
    if (told != done)
        std::printf("  done:     %s\n  reported: %s\n\n", qPrintable(done), qPrintable(told));
}

int benchLiveSeconds = 60;

// The panel's model as main wires it: how long a listener of the bench's own
// takes to show in the open panel's list after listen(), and to go after
// close(); then, the panel closed, the program's CPU over a quiet while with
// three watched ports.
void benchLive() {
    std::printf("The open panel following a listener; the closed one watching three ports\n");
    LsofRuns runs;
    const PortScanner scanner(runs);
    if (lsofMissing(scanner))
        return;
    ChangeCheck check(scanner);
    QTemporaryDir dir;
    PortListViewModel::Dependencies dependencies;
    dependencies.scan = [&check] { return check.refresh(); };
    dependencies.settings =
        std::make_unique<QSettings>(dir.filePath("q.conf"), QSettings::IniFormat);
    PortListViewModel model(std::move(dependencies));
    PortWatch watch(check, {LiveRefresh::hiddenPoll, std::chrono::milliseconds(0)});
    LiveRefresh live(model, watch);
    const auto until = [](const std::function<bool()> &condition) {
        const QDeadlineTimer deadline(30000);
        while (!condition() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        return condition();
    };
    const auto listed = [&model](quint16 port) {
        return std::any_of(model.entries().cbegin(), model.entries().cend(),
                           [port](const PortEntry &row) { return row.port == port; });
    };
    model.setOnScreen(true);
    model.refreshAndRestartTimer();
    if (!until([&] { return watch.isReady(); })) {
        std::printf("  the watch did not start\n\n");
        return;
    }
    std::vector<double> shown, gone;
    for (int round = 0; round < 11; ++round) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        QElapsedTimer clock;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
            std::printf("  could not bind\n\n");
            return;
        }
        const quint16 port = ntohs(address.sin_port);
        clock.start();
        ::listen(fd, 5);
        const bool in = until([&] { return listed(port); });
        shown.push_back(double(clock.nsecsElapsed()) / 1e6);
        clock.start();
        ::close(fd);
        const bool out = until([&] { return !listed(port); });
        gone.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (!in || !out) {
            std::printf("  port %u was %s\n\n", unsigned(port), in ? "not dropped" : "not shown");
            return;
        }
    }
    std::sort(shown.begin(), shown.end());
    std::sort(gone.begin(), gone.end());
    std::printf("  listen() to its row shown:  median %7.1f ms, worst %7.1f ms (aim: 1 s)\n",
                shown[shown.size() / 2], shown.back());
    std::printf("  close() to its row gone:    median %7.1f ms, worst %7.1f ms (aim: 0.25 s)\n",
                gone[gone.size() / 2], gone.back());

    model.setOnScreen(false);
    live.setWatchedPorts({3000, 5173, 8080});
    QEventLoop loop;
    QTimer::singleShot(2000, &loop, &QEventLoop::quit); // the watch's first look on these ports
    loop.exec();
    const double before = processAndChildrenCpuMs();
    QTimer::singleShot(benchLiveSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    std::printf("  panel closed, 3 watched ports, %d s: %.1f ms CPU per minute (own and "
                "children's; aim: under 30 ms)\n\n",
                benchLiveSeconds, (processAndChildrenCpuMs() - before) * 60.0 / benchLiveSeconds);
}
