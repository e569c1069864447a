// quayline-cli: one scan with the panel's scanner, printed as a table or JSON;
// as "quayline-cli stop", the panel's stop escalation applied to every
// process listening on the given ports; as "quayline-cli watch", the rows
// that open and close from now on; as "quayline-cli free", the ports a new
// listener can take.
#include "cli/FreeCommand.h"
#include "cli/ListCommand.h"
#include "cli/StopCommand.h"
#include "cli/WatchCommand.h"
#include "keeper/Keepers.h"
#include "scanner/PortScanner.h"

#include <QCoreApplication>
#include <csignal>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>

namespace {

// lsof runs in a process group of its own, so Ctrl+C at the terminal reaches
// this program only. The signals that end it are blocked in every thread (set
// before any other exists) and taken by one thread, which ends the lsof runs
// still going and then lets the signal end the program as it would have; or,
// where quitFd is given, makes it readable for the program to end itself.
// quitFd is never closed, so that it cannot name another file by then.
void endLsofOnTerminatingSignals(std::weak_ptr<LsofRuns> runs, int quitFd) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, runs = std::move(runs), quitFd] {
        int signal = 0;
        for (;;) {
            if (sigwait(&set, &signal) != 0)
                continue;
            // Told before the runs end, so that a scan failing for the end
            // finds the signal already told.
            if (quitFd >= 0) {
                const quint64 one = 1;
                [[maybe_unused]] const ssize_t written = ::write(quitFd, &one, sizeof one);
            }
            if (const std::shared_ptr<LsofRuns> alive = runs.lock())
                alive->endAll();
            if (quitFd < 0)
                break;
        }
        std::signal(signal, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        std::raise(signal);
    }).detach();
}

} // namespace

int main(int argc, char *argv[]) {
    // Shared with the thread that takes the terminating signals, which may
    // still be waiting for one while main returns.
    const auto runs = std::make_shared<LsofRuns>();
    // Only as the first argument is "stop", "watch" or "free" the subcommand;
    // "-- stop" and "--json stop" filter the listing by the word.
    const bool watch = argc > 1 && std::strcmp(argv[1], "watch") == 0;
    // A watch ends on Ctrl+C as it is meant to: with status 0.
    const int quitFd = watch ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    endLsofOnTerminatingSignals(runs, quitFd);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quayline-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUAYLINE_VERSION));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    if (watch)
        return runWatchCommand(*runs, arguments.sliced(1), quitFd);
    if (!arguments.isEmpty() && arguments.first() == u"free")
        return runFreeCommand(arguments.sliced(1));
    if (!arguments.isEmpty() && arguments.first() == u"stop") {
        // It asks the buses and the engine's socket only when a row needs it.
        Keepers keepers;
        return runStopCommand(*runs, arguments.sliced(1), keepers);
    }
    return runListCommand(*runs, arguments);
}
