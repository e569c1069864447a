// quayline-cli: one scan with the panel's scanner, printed as a table or JSON.
#include "model/PortFilter.h"
#include "scanner/PortScanner.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>

namespace {

const char usageText[] = "Usage: quayline-cli [--json] [--lsof PATH] [FILTER]\n"
                         "\n"
                         "Lists the processes holding listening TCP ports and UDP sockets.\n"
                         "FILTER keeps the entries whose port or process name contains it.\n"
                         "\n"
                         "  --json       print a JSON array instead of a table\n"
                         "  --lsof PATH  run this lsof instead of the built-in path\n"
                         "  --help       show this text\n";

struct Options
{
    bool json = false;
    QString lsofPath = PortScanner::defaultLsofPath();
    QString filter;
};

int usageError(const QString &problem)
{
    QTextStream err(stderr);
    err << "quayline-cli: " << problem << "\n\n" << usageText;
    return 2;
}

QJsonArray toJson(const PortEntryList &entries)
{
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

void printTable(QTextStream &out, const PortEntryList &entries)
{
    QList<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("PROTO"),
                             QStringLiteral("ADDRESS"), QStringLiteral("PID"),
                             QStringLiteral("USER"), QStringLiteral("IP"), QStringLiteral("STATE"),
                             QStringLiteral("PROCESS")}};
    for (const PortEntry &e : entries) {
        rows.append({QString::number(e.port), e.networkProtocol, e.address,
                     QString::number(e.pid), e.user, e.ipVersion, e.state, e.processName});
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments();
    args.removeFirst();

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
