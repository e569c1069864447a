#include "cli/FreeCommand.h"

#include "cli/CommandLine.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "scanner/ContainerEngine.h"
#include "scanner/FreePorts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <unistd.h>

namespace {

const CommandSyntax freeSyntax{
    "Usage: quayline-cli free [--count N] [--tcp | --udp | --both] [--json] [PORT]\n",
    "Prints the first N ports from PORT upward that a new listener can take,\n"
    "one per line. PORT defaults to the first port an ordinary user may bind\n"
    "(1024, or what net.ipv4.ip_unprivileged_port_start says). A port is free\n"
    "when no socket of any user holds it on any address in either family, no\n"
    "container publishes it, it lies outside the kernel's ephemeral range\n"
    "(net.ipv4.ip_local_port_range) and its reserved ports (unless PORT lies\n"
    "there), you may bind it (below the unprivileged start only root may), and\n"
    "bind() with SO_REUSEADDR on the wildcard address of each family the machine\n"
    "has succeeds; the probe is closed at once.\n"
    "\n"
    "  --count N      how many free ports to print; default 1\n"
    "  --tcp          free for TCP (the default)\n"
    "  --udp          free for UDP\n"
    "  --both         free for TCP and UDP alike\n"
    "  --json         print a JSON object: every port looked at, free or why not\n"
    "  -h, --help     show this text\n"
    "\n"
    "Nothing holds the ports it prints: another program can take one a moment\n"
    "later.\n"
    "\n"
    "Exit status 0 when it found N free ports, 1 when it ran out of ports\n"
    "first, 2 for usage errors.\n"};

struct FreeOptions {
    std::optional<quint16> port;
    int count = 1;
    int protocols = FreePorts::Tcp;
    bool json = false;
};

std::variant<FreeOptions, int> parseFreeArguments(const QStringList &arguments) {
    CommandLine commandLine(freeSyntax);
    const QCommandLineOption count(QStringLiteral("count"), {}, QStringLiteral("N"));
    const QCommandLineOption tcp(QStringLiteral("tcp")), udp(QStringLiteral("udp")),
        both(QStringLiteral("both")), json(QStringLiteral("json"));
    for (const QCommandLineOption &o : {count, tcp, udp, both, json})
        commandLine.add(o);
    if (const std::optional<int> status = commandLine.parse(arguments))
        return *status;
    const QCommandLineParser &parser = commandLine.parser;
    if (parser.isSet(commandLine.lsof))
        return commandLine.usageError(QStringLiteral("free runs no lsof: --lsof has no use here"));
    if (int(parser.isSet(tcp)) + int(parser.isSet(udp)) + int(parser.isSet(both)) > 1)
        return commandLine.usageError(QStringLiteral("--tcp, --udp and --both exclude each other"));

    FreeOptions options;
    options.json = parser.isSet(json);
    options.protocols = parser.isSet(udp)    ? FreePorts::Udp
                        : parser.isSet(both) ? FreePorts::Both
                                             : FreePorts::Tcp;
    if (parser.isSet(count)) {
        const std::optional<qint64> n = parseNumber(parser.value(count));
        if (!n)
            return commandLine.usageError(
                QStringLiteral("--count needs a number from 1 to 65535: ") + parser.value(count));
        options.count = int(*n);
    }
    const QStringList ports = parser.positionalArguments();
    if (ports.size() > 1)
        return commandLine.usageError(QStringLiteral("only one PORT may be given: ") + ports[1]);
    if (!ports.isEmpty()) {
        const std::optional<qint64> port = parseNumber(ports[0]);
        if (!port)
            return commandLine.usageError(QStringLiteral("not a port number from 1 to 65535: ") +
                                          ports[0]);
        options.port = quint16(*port);
    }
    return options;
}

QJsonObject toJson(const PortVerdict &verdict, bool withProtocol) {
    QJsonObject object{{"port", verdict.port},
                       {"free", verdict.free()},
                       {"reason", verdict.key()},
                       {"text", verdict.text(withProtocol)}};
    if (!verdict.protocol.isEmpty())
        object.insert("protocol", verdict.protocol);
    if (verdict.pid > 0)
        object.insert("pid", verdict.pid);
    if (verdict.reason == PortVerdict::Reason::Held && verdict.pid > 0)
        object.insert("processName", verdict.name);
    if (verdict.reason == PortVerdict::Reason::Published)
        object.insert("container", verdict.name);
    return object;
}

} // namespace

int runFreeCommand(const QStringList &arguments) {
    const std::variant<FreeOptions, int> parsed = parseFreeArguments(arguments);
    if (const int *status = std::get_if<int>(&parsed))
        return *status;
    const FreeOptions &options = std::get<FreeOptions>(parsed);

    // A port published by address translation alone has no socket: only the
    // engine knows it.
    const std::optional<QList<ContainerEngine::Container>> containers = ContainerEngine().list();
    const FreePorts rule(FreePorts::System::real(ContainerEngine::publishedPorts(
                             containers.value_or(QList<ContainerEngine::Container>()))),
                         options.protocols);
    const quint16 start = options.port.value_or(
        rule.privileged() ? 1024 : qMax<quint16>(1, rule.unprivilegedStart()));
    const QList<PortVerdict> verdicts = rule.search(start, options.count, options.port);
    const qsizetype found = std::count_if(verdicts.cbegin(), verdicts.cend(),
                                          [](const PortVerdict &v) { return v.free(); });
    const bool withProtocol = options.protocols == FreePorts::Both;

    OutputStream err(STDERR_FILENO);
    if (const std::optional<QString> &error = rule.tableError())
        err << "quayline-cli: " << escapeControlCharacters(*error)
            << "\nquayline-cli: only the bind probe speaks for the ports the table missed.\n";
    OutputStream out(STDOUT_FILENO);
    if (options.json) {
        QJsonArray ports;
        for (const PortVerdict &verdict : verdicts)
            ports.append(toJson(verdict, withProtocol));
        out << QJsonDocument(QJsonObject{{"requested", options.count},
                                         {"found", qint64(found)},
                                         {"ports", ports}})
                   .toJson(QJsonDocument::Compact)
            << '\n';
    } else {
        if (options.port && !verdicts.isEmpty() && !verdicts.first().free())
            err << "quayline-cli: port " << qint64(*options.port)
                << " is not free: " << escapeControlCharacters(verdicts.first().text(withProtocol))
                << '\n';
        for (const PortVerdict &verdict : verdicts) {
            if (verdict.free())
                out << qint64(verdict.port) << '\n';
        }
    }
    err << "quayline-cli: nothing holds a port found free; another program can take it a "
           "moment later.\n";
    if (found < options.count) {
        out.flush();
        err << "quayline-cli: found " << qint64(found) << " of " << options.count
            << " free ports from " << qint64(start) << "; stopped at 65535.\n";
        return ExitFailure;
    }
    return finish(out);
}
