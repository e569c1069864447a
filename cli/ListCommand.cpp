#include "cli/ListCommand.h"

#include "cli/CommandLine.h"
#include "cli/EntryOutput.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "model/PortFilter.h"
#include "scanner/PortScanner.h"

#include <unistd.h>

namespace {

const CommandSyntax listSyntax{
    "Usage: quayline-cli [--json] [--wide] [--lsof PATH] [FILTER]\n"
    "       quayline-cli stop [--force] [--timeout SECONDS] [--watch SECONDS] [--lsof PATH] "
    "PORT...\n"
    "       quayline-cli stop --service|--container [--lsof PATH] PORT...\n"
    "       quayline-cli watch [--json] [--lsof PATH] [FILTER]\n"
    "       quayline-cli free [--count N] [--tcp | --udp | --both] [--json] [PORT]\n",
    "Lists the processes holding listening TCP ports and UDP sockets, one line\n"
    "per socket, sorted by port and protocol. FILTER keeps the entries whose port\n"
    "or process name contains it (write -- stop to filter by the word stop), or\n"
    "for another user's port, its unit or container. PID is - where unknown.\n"
    "\n"
    "  --json         print a JSON array instead of a table\n"
    "  --wide         add a COMMAND column with each process's command line\n"
    "  --lsof PATH    run this lsof instead of the built-in path\n"
    "  -h, --help     show this text\n"
    "  --version      show the version\n"
    "\n"
    "quayline-cli stop --help tells how to stop the processes behind ports,\n"
    "quayline-cli watch --help how to follow the ports that open and close,\n"
    "quayline-cli free --help how to find a port a new listener can take.\n"
    "Exit status 0 on success, 1 when the scan failed, 2 for usage errors.\n"};

} // namespace

int runListCommand(LsofRuns &runs, const QStringList &arguments) {
    CommandLine commandLine(listSyntax);
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption wide(QStringLiteral("wide"));
    commandLine.add(json);
    commandLine.add(wide);
    QString filter;
    if (const std::optional<int> status = commandLine.parse(arguments, filter))
        return *status;

    const ScanResult result = PortScanner(runs, commandLine.lsofPath()).scan().result();
    if (result.errorText) {
        OutputStream(STDERR_FILENO) << escapeControlCharacters(*result.errorText) << '\n';
        return ExitFailure;
    }
    // The listing stands; the notice says what it may lack, apart from it.
    if (result.notice)
        OutputStream(STDERR_FILENO) << escapeControlCharacters(*result.notice) << '\n';
    const PortEntryList entries = filterEntries(result.entries, filter);
    OutputStream out(STDOUT_FILENO);
    if (commandLine.parser.isSet(json))
        writeJson(out, entries);
    else
        writeTable(out, entries, commandLine.parser.isSet(wide));
    return finish(out);
}
