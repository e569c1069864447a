#include "cli/WatchCommand.h"

#include "cli/CommandLine.h"
#include "cli/EntryOutput.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "model/PortFilter.h"
#include "scanner/PortWatch.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace {

const CommandSyntax watchSyntax{
    "Usage: quayline-cli watch [--json] [--lsof PATH] [FILTER]\n",
    "Prints what changes from now on: a line for each listening port or UDP\n"
    "socket that opens or closes, as it happens, until interrupted (Ctrl+C).\n"
    "Each line holds the local time, \"opened\" or \"closed\", and the row as\n"
    "quayline-cli lists it; the ports open at the start are not printed. FILTER\n"
    "keeps the rows whose port or process name contains it, as for the listing.\n"
    "It reads the kernel's socket table four times a second; lsof runs only when\n"
    "a new socket shows there, and once a minute for what the table cannot show.\n"
    "\n"
    "  --json         print one JSON object per line: the listing's keys, with\n"
    "                 \"event\" (opened or closed) and \"time\" (ISO 8601)\n"
    "  --lsof PATH    run this lsof instead of the built-in path\n"
    "  -h, --help     show this text\n"
    "\n"
    "Exit status 0 when interrupted or when the output was closed, 1 when the\n"
    "first scan failed or the output could not be written, 2 for usage errors.\n"};

} // namespace

int runWatchCommand(LsofRuns &runs, const QStringList &arguments, int quitFd) {
    CommandLine commandLine(watchSyntax);
    const QCommandLineOption json(QStringLiteral("json"));
    commandLine.add(json);
    QString filter;
    if (const std::optional<int> status = commandLine.parse(arguments, filter))
        return *status;
    const PortFilter matcher(filter);
    const bool asJson = commandLine.parser.isSet(json);

    // A reader that went away (| head -1) ends the watch as EPIPE, without a
    // word: that is how such a pipe is meant to end.
    std::signal(SIGPIPE, SIG_IGN);
    // A terminating signal makes quitFd readable (main's thread for them).
    std::optional<QSocketNotifier> interrupted;
    if (quitFd >= 0) {
        interrupted.emplace(quitFd, QSocketNotifier::Read);
        QObject::connect(&*interrupted, &QSocketNotifier::activated, QCoreApplication::instance(),
                         &QCoreApplication::quit);
    }

    PortScanner scanner(runs, commandLine.lsofPath());
    ChangeCheck check(scanner);
    PortWatch watch(check, watchOptions);
    OutputStream out(STDOUT_FILENO);
    int status = ExitSuccess;
    bool ended = false; // what is still under way when the loop ends is dropped
    const auto end = [&](int with) {
        status = with;
        ended = true;
        QCoreApplication::quit();
    };
    QObject::connect(&watch, &PortWatch::ready, [] {
        OutputStream(STDERR_FILENO) << "quayline-cli: watching; Ctrl+C ends.\n";
    });
    QObject::connect(&watch, &PortWatch::scanFailed, [&](const QString &text) {
        // A scan that failed for the end of the lsof runs on a signal is no
        // failure: the signal was told before the runs ended.
        pollfd signalled{quitFd, POLLIN, 0};
        if (ended || ::poll(&signalled, 1, 0) == 1)
            return;
        OutputStream(STDERR_FILENO) << escapeControlCharacters(text) << '\n';
        // Later failures pass: the next refresh tries again.
        if (!watch.isReady())
            end(ExitFailure);
    });
    QObject::connect(&watch, &PortWatch::events, [&](const PortEventList &events) {
        for (const PortEvent &event : events) {
            if (ended || !matcher.matches(event.entry))
                continue;
            if (asJson)
                writeEventJson(out, event);
            else
                writeEventLine(out, event);
            if (!out.flush()) {
                end(out.error() == EPIPE ? ExitSuccess : finish(out));
                return;
            }
        }
    });
    watch.start();
    QCoreApplication::exec();
    watch.stop();
    runs.endAll();
    return status;
}
