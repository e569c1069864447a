#pragma once

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>
#include <optional>

class OutputStream;

// What every subcommand shares: its texts, the options all of them take, and
// the way a parse ends in --help, --version or a usage error.
struct CommandSyntax {
    const char *usage; // "Usage: ..." lines, printed with every usage error
    const char *help;  // the rest of --help
};

// Exit statuses of quayline-cli.
enum ExitStatus { ExitSuccess = 0, ExitFailure = 1, ExitUsage = 2 };

// Writes "quayline-cli: PROBLEM" and the usage lines on standard error.
int usageError(const CommandSyntax &syntax, const QString &problem);

// "quayline-cli: could not write ...: REASON" on standard error when out has
// failed; the status to end with.
int finish(OutputStream &out);

// A number of digits only (no sign) from 1 to maximum: a port, a count.
std::optional<qint64> parseNumber(const QString &text, qint64 maximum = 65535);

class CommandLine {
public:
    explicit CommandLine(const CommandSyntax &syntax);

    QCommandLineParser parser;
    const QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}};
    const QCommandLineOption version{QStringLiteral("version")};
    const QCommandLineOption lsof{QStringLiteral("lsof"), {}, QStringLiteral("PATH")};

    // Parses arguments (without the program name). Nothing when the command
    // should run; otherwise the status to exit with, after printing the help,
    // the version or the usage error naming the argument at fault.
    std::optional<int> parse(const QStringList &arguments);
    // parse(), then the one FILTER at most that follows the options (empty
    // where none), for the listing and the watch.
    std::optional<int> parse(const QStringList &arguments, QString &filter);
    void add(const QCommandLineOption &option);
    int usageError(const QString &problem) const { return ::usageError(m_syntax, problem); }
    QString lsofPath() const;

private:
    QString describeError(const QStringList &arguments) const;

    const CommandSyntax &m_syntax;
    QList<QCommandLineOption> m_options; // as added, for the valued ones' names
};
