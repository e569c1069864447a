// Prints the performance figures of the scanning core. Each section is one
// function called from main(); add a section by writing another.
//
// Every figure is the median of several repetitions, so that one hiccup of a
// busy machine does not decide it.
#include "SocketHolders.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/PortScanner.h"
#include "scanner/ProcessReader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Wall time of one call of f, in milliseconds.
template <typename F> double timeMs(F &&f) {
    QElapsedTimer timer;
    timer.start();
    f();
    return double(timer.nsecsElapsed()) / 1e6;
}

template <typename F> double medianMs(int repetitions, F &&f) {
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i)
        times.push_back(timeMs(f));
    return median(times);
}

// CPU time of the calling thread, in milliseconds. Unlike wall time it hardly
// depends on what else the machine is running, which makes figures taken on a
// busy machine comparable.
double threadCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

template <typename F> double medianCpuMs(int repetitions, F &&f) {
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        const double before = threadCpuMs();
        f();
        times.push_back(threadCpuMs() - before);
    }
    return median(times);
}

// ---- Parse and merge ----

// Field output shaped like a busy machine's: several sockets per process,
// listeners on both IP versions with the same port (which the merge folds),
// loopback-only listeners, and UDP sockets, some of them connected.
struct SyntheticScan {
    QString tcp, udp;
    qsizetype sockets = 0;
    qsizetype bytes = 0; // as lsof writes them (UTF-8)
};

SyntheticScan syntheticScan(qsizetype sockets) {
    static const char *const commands[] = {
        "sshd", "cupsd",   "systemd-resolve", "postgres", "nginx", "Web Content",
        "java", "dnsmasq", "avahi-daemon",    "chronyd",  "node",  "containerd"};
    static const char *const users[] = {"root", "postgres", "www-data", "alice", "avahi"};

    QByteArray tcp, udp;
    SyntheticScan scan;
    int pid = 300;
    int port = 1024;
    while (scan.sockets < sockets) {
        ++pid;
        const QByteArray process = "p" + QByteArray::number(pid) + "\nc" +
                                   commands[pid % std::size(commands)] + "\nL" +
                                   users[pid % std::size(users)] + '\n';
        const int perProcess = 1 + pid % 6;
        bool tcpSetOpen = false, udpSetOpen = false;
        for (int i = 0; i < perProcess && scan.sockets < sockets; ++i) {
            port = port % 60000 + 7;
            const QByteArray p = QByteArray::number(port);
            int fd = 3 + i * 2;
            const auto tcpSocket = [&](const char *type, const QByteArray &name) {
                if (!tcpSetOpen) {
                    tcp += process;
                    tcpSetOpen = true;
                }
                tcp += "f" + QByteArray::number(fd++) + "\nt" + type + "\nPTCP\nn" + name +
                       "\nTST=LISTEN\nTQR=0\nTQS=0\n";
                ++scan.sockets;
            };
            const auto udpSocket = [&](const char *type, const QByteArray &name) {
                if (!udpSetOpen) {
                    udp += process;
                    udpSetOpen = true;
                }
                udp += "f" + QByteArray::number(fd++) + "\nt" + type + "\nPUDP\nn" + name +
                       "\nTQR=0\nTQS=0\n";
                ++scan.sockets;
            };
            switch ((pid + i) % 4) {
            case 0: // wildcard twins
                tcpSocket("IPv4", "*:" + p);
                tcpSocket("IPv6", "*:" + p);
                break;
            case 1: // loopback twins
                tcpSocket("IPv4", "127.0.0.1:" + p);
                tcpSocket("IPv6", "[::1]:" + p);
                break;
            case 2:
                tcpSocket("IPv4", "10.0.0.2:" + p);
                break;
            default:
                if (i % 2)
                    udpSocket("IPv4", "10.0.0.2:" + p + "->10.0.0.1:53");
                else
                    udpSocket("IPv6", "*:" + p);
                break;
            }
        }
    }
    scan.bytes = tcp.size() + udp.size();
    scan.tcp = QString::fromUtf8(tcp);
    scan.udp = QString::fromUtf8(udp);
    return scan;
}

void benchParseMerge() {
    std::printf("Parse + merge of synthetic lsof field output (median)\n");
    std::printf("  %8s  %10s  %8s  %9s  %9s  %9s  %8s  %8s\n", "sockets", "bytes", "records",
                "parse ms", "merge ms", "total ms", "MB/s", "CPU ms");
    for (const qsizetype sockets : {1'000, 10'000, 100'000}) {
        const SyntheticScan scan = syntheticScan(sockets);
        const int repetitions = sockets >= 100'000 ? 15 : 31;
        // The whole step as scan() runs it, then its two halves on their own.
        qsizetype records = 0;
        const auto whole = [&] { records = PortScanner::combine(scan.tcp, scan.udp).size(); };
        whole(); // warm-up
        const double total = medianMs(repetitions, whole);
        PortEntryList parsed;
        const double parse = medianMs(repetitions, [&] {
            parsed = parseFieldOutput(scan.tcp, QStringLiteral("TCP"));
            parsed.append(parseFieldOutput(scan.udp, QStringLiteral("UDP")));
        });
        const double merge = medianMs(repetitions, [&] { mergeEntries(parsed); });
        const double cpu = medianCpuMs(repetitions, whole);
        std::printf("  %8lld  %10lld  %8lld  %9.2f  %9.2f  %9.2f  %8.1f  %8.2f\n",
                    qlonglong(scan.sockets), qlonglong(scan.bytes), qlonglong(records), parse,
                    merge, total, double(scan.bytes) / 1e6 / (total / 1e3), cpu);
    }
    std::printf("  total: both steps, wall time; CPU ms: the same, CPU time of the thread\n");
    std::printf("  aim: 100000 sockets under 50 ms\n\n");
}

// ---- Scan against its slower lsof run ----

// CPU time (user + system) of all reaped children so far, in milliseconds.
double childrenCpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto ms = [](const timeval &t) {
        return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct ScanFigures {
    double tcp, udp, slower, scan, scanCpu;
    qsizetype entries;
};

// Alternates the three measurements so that a change in the machine's load
// falls on all of them alike.
ScanFigures measureScan(const PortScanner &scanner, int repetitions) {
    std::vector<double> tcpTimes, udpTimes, slowerTimes, scanTimes, cpuTimes;
    qsizetype entries = 0;
    for (int i = -2; i < repetitions; ++i) { // two rounds of warm-up
        const double tcp = timeMs([&] { scanner.runBlocking(PortScanner::tcpArguments()); });
        const double udp = timeMs([&] { scanner.runBlocking(PortScanner::udpArguments()); });
        const double cpuBefore = childrenCpuMs();
        const double scan = timeMs([&] { entries = scanner.scan().result().entries.size(); });
        const double cpu = childrenCpuMs() - cpuBefore;
        if (i < 0)
            continue;
        tcpTimes.push_back(tcp);
        udpTimes.push_back(udp);
        slowerTimes.push_back(std::max(tcp, udp));
        scanTimes.push_back(scan);
        cpuTimes.push_back(cpu);
    }
    return {median(tcpTimes),  median(udpTimes), median(slowerTimes),
            median(scanTimes), median(cpuTimes), entries};
}

void benchScan() {
    LsofRuns runs;
    const PortScanner scanner(runs);
    std::printf("One scan() against the slower of its two lsof runs alone (median)\n");
    if (!QFileInfo(scanner.lsofPath()).isExecutable()) {
        std::printf("  skipped: %s is not executable\n\n", qPrintable(scanner.lsofPath()));
        return;
    }
    const int repetitions = 21;
    const ScanFigures f = measureScan(scanner, repetitions);
    std::printf("  lsof: %s, %lld entries, %d repetitions, %d CPUs\n",
                qPrintable(scanner.lsofPath()), qlonglong(f.entries), repetitions,
                QThread::idealThreadCount());
    std::printf("  TCP run alone     %8.2f ms\n", f.tcp);
    std::printf("  UDP run alone     %8.2f ms\n", f.udp);
    std::printf("  slower run alone  %8.2f ms\n", f.slower);
    std::printf("  scan()            %8.2f ms   (both lsof runs used %.2f ms of CPU)\n", f.scan,
                f.scanCpu);
    std::printf("  ratio             %8.3f   (aim: at most 1.1)\n", f.scan / f.slower);

    // The scanner's own share: the same scan with a program that does nothing.
    const PortScanner trivial(runs, QStringLiteral("/bin/true"));
    if (QFileInfo(trivial.lsofPath()).isExecutable()) {
        const ScanFigures t = measureScan(trivial, repetitions);
        std::printf("  with /bin/true: slower run %.2f ms, scan() %.2f ms\n", t.slower, t.scan);
    }
    std::printf("\n");
}

// The scan as it was before identity: both lsof runs, then parse and merge.
PortEntryList scanWithoutIdentity(const PortScanner &scanner) {
    auto tcp = scanner.run(PortScanner::tcpArguments());
    auto udp = scanner.run(PortScanner::udpArguments());
    return PortScanner::combine(tcp.result().output, udp.result().output);
}

void compareScans(const PortScanner &scanner, const char *label, int repetitions) {
    std::vector<double> on, off;
    qsizetype entries = 0;
    for (int i = 0; i < repetitions; ++i) { // interleaved, so both see the same machine
        on.push_back(timeMs([&] { entries = scanner.scan().result().entries.size(); }));
        off.push_back(timeMs([&] { scanWithoutIdentity(scanner); }));
    }
    std::printf("  %s (%lld entries): scan() with identity %.2f ms, without %.2f ms "
                "(median of %d)\n",
                label, qlonglong(entries), median(on), median(off), repetitions);
}

void benchIdentity() {
    std::printf("Process identity read from /proc after each scan\n");
    LsofRuns runs;
    const PortScanner scanner(runs);
    if (!QFileInfo(scanner.lsofPath()).isExecutable()) {
        std::printf("  skipped: %s is not executable\n\n", qPrintable(scanner.lsofPath()));
        return;
    }
    compareScans(scanner, "this machine", 11);

    const SocketHolders holders(1000);
    PortEntryList listed = scanWithoutIdentity(scanner);
    QSet<qint32> pids;
    for (const PortEntry &e : listed)
        pids.insert(e.pid);
    std::printf("  %lld processes started, each holding one UDP socket; lsof lists %lld pids\n",
                qlonglong(holders.size()), qlonglong(pids.size()));
    const ProcessReader reader;
    const double perScan = medianMs(21, [&] {
        PortEntryList copy = listed;
        (void)reader.fill(copy);
    });
    const double perScanCpu = medianCpuMs(21, [&] {
        PortEntryList copy = listed;
        (void)reader.fill(copy);
    });
    std::printf("  fill(): %.2f ms wall, %.2f ms CPU for %lld pids = %.2f ms per 1,000 pids\n",
                perScan, perScanCpu, qlonglong(pids.size()),
                pids.isEmpty() ? 0.0 : perScan * 1000 / double(pids.size()));
    compareScans(scanner, "with those processes", 11);
    std::printf("\n");
}

// "bench write-scan DIR [SOCKETS]": the synthetic field output of SOCKETS
// sockets (default 100,000) as DIR/tcp.out and DIR/udp.out, for figures taken
// through a stand-in lsof that prints them (bench/cli_figures.sh).
int writeScan(const QStringList &arguments) {
    bool ok = arguments.size() == 1;
    const qsizetype sockets = arguments.size() == 2 ? arguments[1].toLongLong(&ok) : 100000;
    if (!ok || sockets < 0) {
        std::fprintf(stderr, "usage: bench write-scan DIR [SOCKETS]\n");
        return 2;
    }
    const SyntheticScan scan = syntheticScan(sockets);
    for (const auto &[name, text] : {std::pair{"tcp.out", &scan.tcp}, {"udp.out", &scan.udp}}) {
        QFile file(arguments[0] + u'/' + QLatin1StringView(name));
        const QByteArray bytes = text->toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "bench: cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    return 0;
}

} // namespace

// bench_viewmodel.cpp
void benchFilterKeystrokes();
void benchIdenticalRefresh();
// bench_sockettable.cpp
void benchSocketTable();
void benchRemovedCgroups();
void benchTunnelLinks();
// bench_keepers.cpp
void benchKeepers();
// bench_rootless.cpp
void benchRootless();
// bench_changecheck.cpp
void benchUnchangedRefresh();
void benchWatch();
extern int benchWatchSeconds;
void benchLive();
extern int benchLiveSeconds;
// bench_closewatch.cpp
void benchCloseWatch();

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    // Sections by name; "bench parse" runs one of them, "bench" all.
    const std::pair<const char *, void (*)()> sections[] = {
        {"parse", benchParseMerge},
        {"scan", benchScan},
        {"identity", benchIdentity},
        {"filter", benchFilterKeystrokes},
        {"refresh", benchIdenticalRefresh},
        {"sockettable", benchSocketTable},
        {"keepers", benchKeepers},
        {"rootless", benchRootless},
        {"cgroups", benchRemovedCgroups},
        {"tunnels", benchTunnelLinks},
        {"unchanged", benchUnchangedRefresh},
        {"closewatch", benchCloseWatch},
        {"watch", benchWatch},
        {"live", benchLive},
    };
    QStringList wanted = QCoreApplication::arguments().mid(1);
    // "bench watch 600": how long the watch runs, in seconds (60 unless given).
    if (const qsizetype at = wanted.indexOf(u"watch"); at >= 0 && wanted.value(at + 1).toInt() > 0)
        benchWatchSeconds = wanted.takeAt(at + 1).toInt();
    if (const qsizetype at = wanted.indexOf(u"live"); at >= 0 && wanted.value(at + 1).toInt() > 0)
        benchLiveSeconds = wanted.takeAt(at + 1).toInt();
    if (wanted.value(0) == u"write-scan")
        return writeScan(wanted.mid(1));
    const bool all = wanted.isEmpty();
    for (const auto &[name, run] : sections) {
        if (wanted.removeAll(QString::fromLatin1(name)) > 0 || all)
            run();
    }
    if (!wanted.isEmpty()) {
        std::fprintf(stderr, "bench: unknown section %s\n", qPrintable(wanted.join(u' ')));
        return 2;
    }
    return 0;
}
