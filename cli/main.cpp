// quayline-cli: one scan with the panel's scanner, printed as a table or JSON;
// or, as "quayline-cli stop", the panel's stop escalation applied to every
// process listening on the given ports.
#include "cli/ListCommand.h"
#include "cli/StopCommand.h"
#include "keeper/Keepers.h"
#include "scanner/PortScanner.h"

#include <QCoreApplication>
#include <csignal>
#include <memory>
#include <pthread.h>
#include <thread>

namespace {

// lsof runs in a process group of its own, so Ctrl+C at the terminal reaches
// this program only. The signals that end it are blocked in every thread (set
// before any other exists) and taken by one thread, which ends the lsof runs
// still going and then lets the signal end the program as it would have.
void endLsofOnTerminatingSignals(std::weak_ptr<LsofRuns> runs) {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, runs = std::move(runs)] {
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
        if (const std::shared_ptr<LsofRuns> alive = runs.lock())
            alive->endAll();
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
    endLsofOnTerminatingSignals(runs);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quayline-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUAYLINE_VERSION));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    // Only as the first argument is "stop" the subcommand; "-- stop" and
    // "--json stop" filter the listing by the word.
    if (!arguments.isEmpty() && arguments.first() == u"stop") {
        // It asks the buses and the engine's socket only when a row needs it.
        Keepers keepers;
        return runStopCommand(*runs, arguments.sliced(1), keepers);
    }
    return runListCommand(*runs, arguments);
}
