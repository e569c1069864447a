// What a refresh costs when nothing moved, against one that runs lsof: the
// whole program's CPU (every thread) and its children's, per refresh, with
// 1,000 UDP sockets of the bench's own and 200 children sharing one more,
// beside whatever the machine holds: 200 pids whose start times are checked.
#include "SocketHolders.h"
#include "scanner/ChangeCheck.h"

#include <QFileInfo>
#include <QSet>
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

} // namespace

void benchUnchangedRefresh() {
    std::printf("A refresh when nothing moved, against a full scan (median CPU per refresh)\n");
    LsofRuns runs;
    const PortScanner scanner(runs);
    if (!QFileInfo(scanner.lsofPath()).isExecutable()) {
        std::printf("  skipped: %s is not executable\n\n", qPrintable(scanner.lsofPath()));
        return;
    }
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
