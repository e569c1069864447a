// What the watch for destroyed sockets costs while the machine closes
// connections as fast as it can: 20,000 loopback connections made, accepted
// and reset, with the watch on its own thread listing 200 listeners of the
// bench's own; without the watch, with it, and with it but without its
// filter in the kernel.
#include "scanner/SocketCloseWatch.h"

#include <QEventLoop>
#include <QFile>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <optional>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int listenerCount = 200;
constexpr int connections = 20000;

double cpuMs(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// Busy CPU time of the whole machine (every CPU, the kernel's workers too),
// from /proc/stat's first line.
double machineCpuMs() {
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readLine().simplified().split(' ');
    double busy = 0;
    for (qsizetype i = 1; i < fields.size() && i <= 8; ++i) {
        if (i != 4 && i != 5) // idle, iowait
            busy += fields[i].toDouble();
    }
    return busy * 1e3 / double(::sysconf(_SC_CLK_TCK));
}

// A TCP listener on 127.0.0.1; -1 where none could be made.
int listenOnLoopback(quint64 &inode) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct stat st {};
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    inode = st.st_ino;
    return fd;
}

// Connections to the listener on fd, each reset by its client and then
// closed by the server: two destroyed TCP sockets with a peer each.
bool connectAndReset(int fd, int count) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    const linger reset{1, 0}; // no TIME_WAIT left behind to run out of ports
    for (int i = 0; i < count; ++i) {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (client < 0 || ::connect(client, reinterpret_cast<sockaddr *>(&address), length) != 0)
            return false;
        const int server = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(client);
        if (server < 0)
            return false;
        ::close(server);
    }
    return true;
}

struct Figures {
    double loopMs = 0, loopCpuMs = 0, machineCpuMs = 0, watchCpuMs = 0;
    quint64 messages = 0;
    int overruns = 0;
};

// One burst; watch: none, or with the kernel's filter or without.
std::optional<Figures> burst(int listener, const QSet<quint64> &listed,
                             std::optional<bool> filter) {
    QThread thread;
    QObject anchor;
    anchor.moveToThread(&thread);
    thread.start();
    SocketCloseWatch *watch = nullptr;
    clockid_t watchClock{};
    std::atomic<int> overruns{0};
    quint64 sentinelInode = 0;
    const int sentinel = listenOnLoopback(sentinelInode);
    if (filter) {
        QMetaObject::invokeMethod(
            &anchor,
            [&] {
                SocketCloseWatch::Options options;
                options.kernelFilter = *filter;
                watch = new SocketCloseWatch(options);
                QObject::connect(watch, &SocketCloseWatch::overrun, [&] { ++overruns; });
                QSet<quint64> withSentinel = listed;
                withSentinel.insert(sentinelInode);
                watch->setInodes(withSentinel);
                ::pthread_getcpuclockid(::pthread_self(), &watchClock);
            },
            Qt::BlockingQueuedConnection);
    }
    Figures figures;
    QEventLoop loop;
    bool seen = !watch || !watch->isActive();
    if (!seen) {
        QObject::connect(watch, &SocketCloseWatch::closed, &loop, [&](const QList<quint64> &gone) {
            if (gone.contains(sentinelInode)) {
                seen = true;
                loop.quit();
            }
        });
        figures.watchCpuMs = -cpuMs(watchClock);
    }
    const double cpuBefore = cpuMs(CLOCK_THREAD_CPUTIME_ID);
    const double machineBefore = machineCpuMs();
    const auto started = std::chrono::steady_clock::now();
    const bool made = connectAndReset(listener, connections);
    figures.loopMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    figures.loopCpuMs = cpuMs(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
    figures.machineCpuMs = machineCpuMs() - machineBefore;
    // The sentinel's close, queued behind the burst's, tells when the watch
    // has read it (or an overrun lost it: then the timer ends the wait).
    ::close(sentinel);
    if (!seen) {
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (watch) {
        if (watch->isActive())
            figures.watchCpuMs += cpuMs(watchClock);
        QMetaObject::invokeMethod(
            &anchor,
            [&] {
                figures.messages = watch->messagesRead();
                delete watch;
            },
            Qt::BlockingQueuedConnection);
    }
    figures.overruns = overruns;
    thread.quit();
    thread.wait();
    if (!made)
        return std::nullopt;
    return figures;
}

} // namespace

void benchCloseWatch() {
    std::printf("Destroyed-socket watch under a burst of %d loopback connections, %d listeners "
                "listed (median of 3)\n",
                connections, listenerCount);
    std::vector<int> listeners;
    QSet<quint64> listed;
    for (int i = 0; i < listenerCount; ++i) {
        quint64 inode = 0;
        const int fd = listenOnLoopback(inode);
        if (fd < 0)
            break;
        listeners.push_back(fd);
        listed.insert(inode);
    }
    const std::pair<const char *, std::optional<bool>> kinds[] = {
        {"no watch", std::nullopt}, {"watch", true}, {"watch, no kernel filter", false}};
    std::vector<Figures> runs[std::size(kinds)];
    for (int repetition = 0; repetition < 3 && !listeners.empty(); ++repetition) {
        for (size_t k = 0; k < std::size(kinds); ++k) { // interleaved
            const std::optional<Figures> figures = burst(listeners[0], listed, kinds[k].second);
            if (!figures) {
                std::printf("  skipped: the connections could not be made\n\n");
                for (const int fd : listeners)
                    ::close(fd);
                return;
            }
            runs[k].push_back(*figures);
        }
    }
    const auto median = [](std::vector<Figures> &of, auto field) {
        std::sort(of.begin(), of.end(),
                  [&](const Figures &a, const Figures &b) { return a.*field < b.*field; });
        return of[of.size() / 2].*field;
    };
    std::printf("  %-24s %9s %9s %11s %10s %9s %8s %10s %12s\n", "", "burst ms", "burst CPU",
                "machine CPU", "watch CPU", "messages", "overruns", "messages/s", "CPU/1000 msg");
    for (size_t k = 0; k < std::size(kinds); ++k) {
        const double loopMs = median(runs[k], &Figures::loopMs);
        const double loopCpu = median(runs[k], &Figures::loopCpuMs);
        const double machineCpu = median(runs[k], &Figures::machineCpuMs);
        const double watchCpu = median(runs[k], &Figures::watchCpuMs);
        const quint64 messages = median(runs[k], &Figures::messages);
        const int overruns = median(runs[k], &Figures::overruns);
        std::printf("  %-24s %9.0f %9.0f %11.0f %10.2f %9llu %8d %10.0f", kinds[k].first, loopMs,
                    loopCpu, machineCpu, watchCpu, static_cast<unsigned long long>(messages),
                    overruns, double(messages) / (loopMs / 1e3));
        if (messages >= 1000)
            std::printf(" %12.3f\n", watchCpu / double(messages) * 1e3);
        else
            std::printf(" %12s\n", "-");
    }
    std::printf("  burst: the connecting thread's wall and CPU time (ms); machine CPU: every\n"
                "  CPU's busy time meanwhile, the kernel's building of the messages it\n"
                "  multicasts included (and whatever else the machine ran); watch CPU: the\n"
                "  watch's thread, reading and filtering; messages: destructions that reached\n"
                "  it (the machine's other closed listeners and UDP sockets too)\n\n");
    for (const int fd : listeners)
        ::close(fd);
}
