// The kernel's socket table read after lsof: what reading it and joining it to
// lsof's rows add to a scan, at 10, 1,000 and 10,000 sockets of the bench's
// own (UDP sockets on 127.0.0.1, which lsof lists like any other).
#include "scanner/CgroupPaths.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/KernelPorts.h"
#include "scanner/KernelRows.h"
#include "scanner/PortScanner.h"
#include "scanner/ProcessReader.h"
#include "scanner/SocketTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F> double medianMsOf(int repetitions, F &&f) {
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        f();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return medianOf(times);
}

class Sockets {
public:
    explicit Sockets(int count) {
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0)
                break;
            if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
                ::close(fd);
                break;
            }
            m_fds.push_back(fd);
        }
    }
    ~Sockets() {
        for (int fd : m_fds)
            ::close(fd);
    }
    qsizetype size() const { return qsizetype(m_fds.size()); }

private:
    std::vector<int> m_fds;
};

} // namespace

void benchSocketTable() {
    std::printf("Kernel socket table after lsof (median)\n");
    LsofRuns runs;
    PortScanner with(runs);
    PortScanner without(runs);
    without.setSocketTableRead({});
    if (!QFileInfo(with.lsofPath()).isExecutable()) {
        std::printf("  skipped: %s is not executable\n\n", qPrintable(with.lsofPath()));
        return;
    }
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 20000);
    ::setrlimit(RLIMIT_NOFILE, &limit);

    std::printf("  %8s  %8s  %9s  %9s  %9s  %9s  %9s  %10s  %12s\n", "opened", "in table",
                "netlink", "/proc/net", "confirm", "fd look", "join", "scan with", "scan without");
    const ProcessReader reader;
    CgroupPaths cgroups;
    for (int count : {10, 1000, 10000}) {
        const Sockets sockets(count);
        const int repetitions = count >= 10000 ? 5 : 11;
        qsizetype tableSize = 0;
        const double netlink =
            medianMsOf(repetitions, [&] { tableSize = SocketTable::read().sockets.size(); });
        SocketTable::Options refused;
        refused.openSocket = [](int, int, int) { return -1; };
        const double procNet = medianMsOf(repetitions, [&] { SocketTable::read(refused); });

        // The read and the join run after lsof returned: what the table adds
        // to the scan's time is the netlink (or /proc/net) column plus the join.
        const RunResult tcp = with.runBlocking(PortScanner::tcpArguments());
        const RunResult udp = with.runBlocking(PortScanner::udpArguments());
        PortEntryList records = parseFieldOutput(tcp.output, QStringLiteral("TCP"));
        records.append(parseFieldOutput(udp.output, QStringLiteral("UDP")));
        if (reader.fill(records))
            std::printf("  (some processes could not be read)\n");
        const SocketTableResult table = SocketTable::read();
        const KernelRows kernel(reader, cgroups);
        const quint64 listedSince = std::min(tcp.startTicks, udp.startTicks);
        // Each repetition works on a copy of its own, made before its clock
        // starts (a shared list would be copied on the first write).
        std::vector<PortEntryList> copies;
        size_t next = 0;
        const auto copy = [&] {
            copies.assign(size_t(repetitions), records);
            for (PortEntryList &c : copies)
                c.detach();
            next = 0;
        };
        copy();
        const double confirm = medianMsOf(repetitions, [&] {
            kernel.confirmHolders(copies[next++], table.sockets, listedSince);
        });
        // The look at every pid's descriptors, as for processes newer than lsof.
        copy();
        const double look =
            medianMsOf(repetitions, [&] { kernel.confirmHolders(copies[next++], table.sockets); });
        copy();
        const double join = medianMsOf(repetitions, [&] {
            PortEntryList &copy = copies[next++];
            kernel.confirmHolders(copy, table.sockets, listedSince);
            copy.append(kernel.unattributed(copy, table.sockets));
        });

        std::vector<double> on, off;
        for (int i = 0; i < (count >= 10000 ? 3 : 7); ++i) { // interleaved
            on.push_back(medianMsOf(1, [&] { with.scan().result(); }));
            off.push_back(medianMsOf(1, [&] { without.scan().result(); }));
        }
        std::printf("  %8lld  %8lld  %6.2f ms  %6.2f ms  %6.2f ms  %6.2f ms  %6.2f ms  %7.1f ms  "
                    "%9.1f ms\n",
                    qlonglong(sockets.size()), qlonglong(tableSize), netlink, procNet, confirm,
                    look, join, medianOf(on), medianOf(off));
    }
    std::printf("  join: what the table adds after lsof returned, besides its read,\n"
                "  confirm (which pids are still the processes lsof listed) included;\n"
                "  fd look: confirm with every pid's descriptors read, as for processes\n"
                "  that started after lsof; aim: under 2 ms at 1,000 sockets\n\n");
}

// Sockets whose cgroups were removed since they were made, in a tree of
// 2,000 cgroup folders of the bench's own: the join's first scan, which has
// to learn the cgroups' paths (a later scan knows them).
void benchRemovedCgroups() {
    std::printf("Sockets of removed cgroups in a tree of 2,000 (first scan's join, median)\n");
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path()) + "/cgroup";
    for (int slice = 0; slice < 20; ++slice)
        for (int unit = 0; unit < 100; ++unit)
            QDir().mkpath(QFile::decodeName(root + "/s" + QByteArray::number(slice) + ".slice/u" +
                                            QByteArray::number(unit) + ".service"));
    QFile mountInfo(dir.filePath("mountinfo"));
    if (!mountInfo.open(QIODevice::WriteOnly) ||
        mountInfo.write("36 35 0:30 / " + root + " rw - cgroup2 cgroup2 rw\n") < 0) {
        std::printf("  skipped: could not write a mountinfo\n\n");
        return;
    }
    mountInfo.close();
    const ProcessReader reader(dir.filePath("proc")); // empty: no process to search
    for (int count : {10, 100, 400}) {
        QList<KernelSocket> sockets;
        for (int i = 0; i < count; ++i)
            sockets.append({"TCP", false, "127.0.0.1", quint16(20000 + i), 65000, quint64(i + 1),
                            quint64(1) << 40 | quint64(i)});
        qsizetype walks = 0;
        const double ms = medianMsOf(5, [&] {
            CgroupPaths cgroups(QFile::encodeName(mountInfo.fileName()));
            KernelRows(reader, cgroups, 1000).unattributed({}, sockets);
            walks = cgroups.walks();
        });
        std::printf("  %4d sockets: %8.1f ms, %lld walks of the tree\n", count, ms,
                    qlonglong(walks));
    }
    std::printf("  aim: one walk however many, the listing under 0.3 s\n\n");
}

namespace {

// Feeds lines to "ip -batch -" (as root): true where every one of them worked.
bool ipBatch(const QStringList &lines) {
    QProcess ip;
    ip.start(QStringLiteral("/usr/sbin/ip"), {"-batch", "-"});
    ip.write(lines.join(u'\n').toUtf8() + '\n');
    ip.closeWriteChannel();
    return ip.waitForFinished(120000) && ip.exitStatus() == QProcess::NormalExit &&
           ip.exitCode() == 0;
}

} // namespace

void benchTunnelLinks() {
    std::printf("Kernel-held rows: the link read of a listing with a row no process holds "
                "(median)\n");
    if (::geteuid() != 0) {
        std::printf("  skipped: making tunnel interfaces needs root\n\n");
        return;
    }
    const QByteArray procRoot = "/proc";
    const auto measure = [&](const char *label) {
        qsizetype named = 0;
        const double ms = medianMsOf(21, [&] { named = KernelPorts::read(procRoot).size(); });
        std::printf("  %-28s %8.2f ms, %lld ports named\n", label, ms, qlonglong(named));
    };
    measure("links as they are");
    const QString prefix = QStringLiteral("qlb%1x").arg(::getpid() % 100000);
    QStringList add, remove;
    for (int i = 0; i < 200; ++i) {
        const QString name = prefix + QString::number(i);
        add << QStringLiteral("link add %1 type vxlan id %2 dstport %3 local 127.0.0.1 dev lo")
                   .arg(name)
                   .arg(1000 + i)
                   .arg(40000 + i);
        remove << QStringLiteral("link del %1").arg(name);
    }
    if (ipBatch(add))
        measure("with 200 VXLAN interfaces");
    else
        std::printf("  skipped: could not make 200 VXLAN interfaces (no vxlan module?)\n");
    ipBatch(remove);
    std::printf("  a listing whose rows all have a process reads no links at all\n");
    std::printf("  aim: under 5 ms with 200 tunnel interfaces\n\n");
}
