// quayline-cli: one scan with the panel's scanner, printed as a table or JSON;
// or, as "quayline-cli stop", the panel's stop escalation applied to every
// process listening on the given ports.
#include "model/PortFilter.h"
#include "scanner/PortScanner.h"
#include "viewmodel/SignalProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <thread>

namespace {

const char usageText[] =
    "Usage: quayline-cli [--json] [--lsof PATH] [FILTER]\n"
    "       quayline-cli stop [--force] [--timeout SECONDS] [--lsof PATH] PORT...\n"
    "\n"
    "Lists the processes holding listening TCP ports and UDP sockets.\n"
    "FILTER keeps the entries whose port or process name contains it\n"
    "(write -- stop to filter by the word stop).\n"
    "\n"
    "stop sends SIGTERM to every process listening on one of the PORTs (any\n"
    "protocol), then looks again every 0.4 seconds until none of them is listed.\n"
    "Only processes you own are signalled. Exit status 0 when all of them are\n"
    "gone, 1 otherwise, 2 for usage errors.\n"
    "\n"
    "  --json             print a JSON array instead of a table\n"
    "  --lsof PATH        run this lsof instead of the built-in path\n"
    "  --force            (stop) send SIGKILL to those still listed after the timeout\n"
    "  --timeout SECONDS  (stop) how long to wait for them after SIGTERM; default 3\n"
    "  --help             show this text\n";

struct Options {
    bool json = false;
    QString lsofPath = PortScanner::defaultLsofPath();
    QString filter;
};

int usageError(const QString &problem) {
    QTextStream err(stderr);
    err << "quayline-cli: " << problem << "\n\n" << usageText;
    return 2;
}

QJsonArray toJson(const PortEntryList &entries) {
    QJsonArray array;
    for (const PortEntry &e : entries) {
        array.append(QJsonObject{
            {QStringLiteral("id"), e.id()},
            {QStringLiteral("pid"), e.pid},
            {QStringLiteral("processName"), e.processName},
            {QStringLiteral("user"), e.user},
            {QStringLiteral("networkProtocol"), e.networkProtocol},
            {QStringLiteral("ipVersion"), e.ipVersion},
            {QStringLiteral("address"), e.address},
            {QStringLiteral("port"), e.port},
            {QStringLiteral("state"), e.state},
        });
    }
    return array;
}

void printTable(QTextStream &out, const PortEntryList &entries) {
    QList<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("PROTO"),
                             QStringLiteral("ADDRESS"), QStringLiteral("PID"),
                             QStringLiteral("USER"), QStringLiteral("IP"), QStringLiteral("STATE"),
                             QStringLiteral("PROCESS")}};
    for (const PortEntry &e : entries) {
        rows.append({QString::number(e.port), e.networkProtocol, e.address, QString::number(e.pid),
                     e.user, e.ipVersion, e.state, e.processName});
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    }
    for (const QStringList &row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            const bool last = i + 1 == row.size();
            line += last ? row[i] : row[i].leftJustified(widths[i] + 2);
        }
        out << line << '\n';
    }
}

// quayline-cli stop

// The panel's delayed refresh after a stop, used here as the polling period.
constexpr std::chrono::milliseconds stopPollInterval{400};
constexpr double maximumTimeoutSeconds = 86400;

struct StopOptions {
    bool force = false;
    std::chrono::milliseconds timeout{3000};
    QString lsofPath = PortScanner::defaultLsofPath();
    QList<qint64> ports; // distinct, in the order given
};

// One process to stop, as the first scan listed it.
struct Target {
    qint32 pid = 0;
    QString processName;
    QString user;
    quint64 startTicks = 0;
};

std::optional<qint64> parsePort(const QString &text) {
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    qint64 port = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        port = port * 10 + (c.unicode() - u'0');
    }
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

// The exit status for a usage error (or --help), nothing when the arguments are fine.
std::optional<int> parseStopArguments(const QStringList &args, StopOptions &options) {
    bool onlyPorts = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (onlyPorts || !arg.startsWith(u'-') || arg.size() == 1) {
            const std::optional<qint64> port = parsePort(arg);
            if (!port)
                return usageError(QStringLiteral("not a port number from 1 to 65535: ") + arg);
            if (!options.ports.contains(*port))
                options.ports.append(*port);
        } else if (arg == u"--") {
            onlyPorts = true;
        } else if (arg == u"--help" || arg == u"-h") {
            QTextStream(stdout) << usageText;
            return 0;
        } else if (arg == u"--force") {
            options.force = true;
        } else if (arg == u"--lsof") {
            if (i + 1 == args.size())
                return usageError(QStringLiteral("--lsof needs a path"));
            options.lsofPath = args[++i];
        } else if (arg == u"--timeout") {
            bool ok = false;
            const double seconds = i + 1 < args.size() ? args[++i].toDouble(&ok) : 0;
            // The upper bound keeps the conversion to milliseconds in range.
            if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > maximumTimeoutSeconds)
                return usageError(QStringLiteral("--timeout needs a number of seconds from 0 to %1")
                                      .arg(maximumTimeoutSeconds));
            options.timeout = std::chrono::milliseconds(qint64(std::ceil(seconds * 1000)));
        } else {
            return usageError(QStringLiteral("unknown option ") + arg);
        }
    }
    if (options.ports.isEmpty())
        return usageError(QStringLiteral("stop needs at least one PORT"));
    return std::nullopt;
}

QString describe(const Target &target) {
    return QStringLiteral("PID %1 (%2)").arg(target.pid).arg(target.processName);
}

// Looks again every stopPollInterval, at least once, until no pid of waiting
// is listed or the timeout has passed; waiting keeps the pids still listed.
// A scan that fails (lsof gone) ends the wait with false and waiting as it
// was: nothing is known about those processes, and taking the empty list for
// "all gone" would report success for processes that may still run.
bool waitUntilUnlisted(const PortScanner &scanner, QSet<qint32> &waiting,
                       std::chrono::milliseconds timeout, QTextStream &err) {
    const QDeadlineTimer deadline(timeout);
    while (!waiting.isEmpty()) {
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(
            stopPollInterval, deadline.remainingTimeAsDuration()));
        const ScanResult scan = scanner.scan().result();
        if (scan.errorText) {
            err << *scan.errorText << '\n';
            return false;
        }
        pruneTermSent(waiting, scan.entries);
        if (deadline.hasExpired())
            break;
    }
    return true;
}

int runStop(const StopOptions &options) {
    QTextStream out(stdout);
    QTextStream err(stderr);
    const PortScanner scanner(options.lsofPath);

    const ScanResult first = scanner.scan().result();
    if (first.errorText) {
        err << *first.errorText << '\n';
        return 1;
    }

    QList<Target> targets; // each pid once, in the order of the ports given
    for (qint64 port : options.ports) {
        bool listed = false;
        for (const PortEntry &e : first.entries) {
            if (e.port != port)
                continue;
            listed = true;
            const bool known = std::any_of(targets.cbegin(), targets.cend(),
                                           [&](const Target &t) { return t.pid == e.pid; });
            if (!known)
                targets.append({e.pid, e.processName, e.user, e.process.startTicks});
        }
        if (!listed)
            out << "Nothing is listening on port " << port << '\n';
    }

    bool allGone = true;
    QSet<qint32> termSent; // the panel's escalation memory
    // One press of the panel's stop button; true when the signal went out.
    auto press = [&](const Target &target) {
        const std::optional<KillError> error = escalateStop(termSent, target.pid, target.user, target.startTicks);
        if (error && error->kind() == KillError::Kind::ProcessGone) {
            out << describe(target) << " had already exited.\n";
        } else if (error) {
            err << "PID " << target.pid << ": " << error->message() << '\n';
            allGone = false;
        }
        return !error;
    };

    for (const Target &target : std::as_const(targets))
        press(target);
    const QSet<qint32> sentTerm = termSent;
    out.flush();
    err.flush();
    const bool checked = waitUntilUnlisted(scanner, termSent, options.timeout, err);

    QSet<qint32> sentKill;
    for (const Target &target : std::as_const(targets)) {
        if (!sentTerm.contains(target.pid))
            continue;
        if (!checked && termSent.contains(target.pid)) {
            // No SIGKILL on a pid that nothing shows to be still the same process.
            err << describe(target) << ": sent SIGTERM, but could not check whether it exited.\n";
            allGone = false;
        } else if (!termSent.contains(target.pid)) {
            out << describe(target) << " stopped.\n";
        } else if (!options.force) {
            err << describe(target) << " is still running.\n";
            allGone = false;
        } else if (press(target)) { // SIGKILL this time: the pid is in termSent
            out << describe(target) << " did not exit after SIGTERM; sent SIGKILL.\n";
            sentKill.insert(target.pid);
        }
    }
    if (checked && !options.force && !termSent.isEmpty())
        err << "--force sends SIGKILL to processes still running.\n";
    out.flush();
    err.flush();
    if (sentKill.isEmpty())
        return allGone ? 0 : 1;

    QSet<qint32> stillListed = sentKill;
    const bool killChecked = waitUntilUnlisted(scanner, stillListed, options.timeout, err);
    for (const Target &target : std::as_const(targets)) {
        if (!sentKill.contains(target.pid))
            continue;
        if (!killChecked && stillListed.contains(target.pid)) {
            err << describe(target) << ": sent SIGKILL, but could not check whether it exited.\n";
            allGone = false;
        } else if (stillListed.contains(target.pid)) {
            err << describe(target) << " is still running after SIGKILL.\n";
            allGone = false;
        } else {
            out << describe(target) << " stopped.\n";
        }
    }
    return allGone ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

    if (!args.isEmpty() && args.first() == u"stop") {
        StopOptions options;
        if (const std::optional<int> status = parseStopArguments(args.sliced(1), options))
            return *status;
        return runStop(options);
    }

    Options options;
    bool filterSeen = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if (arg == u"--help" || arg == u"-h") {
            QTextStream(stdout) << usageText;
            return 0;
        } else if (arg == u"--json") {
            options.json = true;
        } else if (arg == u"--lsof") {
            if (i + 1 == args.size())
                return usageError(QStringLiteral("--lsof needs a path"));
            options.lsofPath = args[++i];
        } else if (arg == u"--") {
            if (i + 2 < args.size() || (filterSeen && i + 1 < args.size()))
                return usageError(QStringLiteral("only one filter may be given"));
            if (i + 1 < args.size())
                options.filter = args[i + 1];
            break;
        } else if (arg.startsWith(u'-') && arg.size() > 1) {
            return usageError(QStringLiteral("unknown option ") + arg);
        } else {
            if (filterSeen)
                return usageError(QStringLiteral("only one filter may be given"));
            options.filter = arg;
            filterSeen = true;
        }
    }

    const ScanResult result = PortScanner(options.lsofPath).scan().result();
    if (result.errorText) {
        QTextStream(stderr) << *result.errorText << '\n';
        return 1;
    }
    const PortEntryList entries = filterEntries(result.entries, options.filter);
    QTextStream out(stdout);
    if (options.json)
        out << QJsonDocument(toJson(entries)).toJson(QJsonDocument::Indented);
    else
        printTable(out, entries);
    return 0;
}
