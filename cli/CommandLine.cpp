#include "cli/CommandLine.h"

#include "cli/OutputStream.h"
#include "scanner/FieldOutputParser.h"
#include "scanner/PortScanner.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>
#include <unistd.h>

int usageError(const CommandSyntax &syntax, const QString &problem) {
    OutputStream err(STDERR_FILENO);
    err << "quayline-cli: " << problem << "\n\n" << syntax.usage;
    return ExitUsage;
}

int finish(OutputStream &out) {
    if (out.flush())
        return ExitSuccess;
    OutputStream err(STDERR_FILENO);
    err << "quayline-cli: could not write the output: " << std::strerror(out.error()) << '\n';
    return ExitFailure;
}

std::optional<qint64> parseNumber(const QString &text, qint64 maximum) {
    if (text.isEmpty() || !text.front().isDigit())
        return std::nullopt;
    const std::optional<qint64> number = parseDecimal<qint64>(text);
    if (!number || *number < 1 || *number > maximum)
        return std::nullopt;
    return number;
}

CommandLine::CommandLine(const CommandSyntax &syntax)
    : m_syntax(syntax) {
    // Only the long forms and -h; "-json" is an unknown option, not -j -s -o -n.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const QCommandLineOption &o : {help, version, lsof})
        add(o);
}

void CommandLine::add(const QCommandLineOption &option) {
    parser.addOption(option);
    m_options.append(option);
}

QString CommandLine::lsofPath() const {
    return parser.isSet(lsof) ? parser.value(lsof) : PortScanner::defaultLsofPath();
}

std::optional<int> CommandLine::parse(const QStringList &arguments) {
    if (!parser.parse(QStringList{QCoreApplication::applicationName()} + arguments))
        return usageError(describeError(arguments));
    if (parser.isSet(help)) {
        OutputStream(STDOUT_FILENO) << m_syntax.usage << '\n' << m_syntax.help;
        return ExitSuccess;
    }
    if (parser.isSet(version)) {
        OutputStream(STDOUT_FILENO) << QCoreApplication::applicationName() << ' '
                                    << QCoreApplication::applicationVersion() << '\n';
        return ExitSuccess;
    }
    return std::nullopt;
}

std::optional<int> CommandLine::parse(const QStringList &arguments, QString &filter) {
    if (const std::optional<int> status = parse(arguments))
        return status;
    const QStringList filters = parser.positionalArguments();
    if (filters.size() > 1)
        return usageError(QStringLiteral("only one filter may be given: ") + filters[1]);
    filter = filters.value(0);
    return std::nullopt;
}

// QCommandLineParser names an unknown option without its dashes and a
// compacted "-abc" letter by letter; the message quotes the argument as typed.
QString CommandLine::describeError(const QStringList &arguments) const {
    const QStringList unknown = parser.unknownOptionNames();
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == u"--")
            break;
        if (!a.startsWith(u'-') || a.size() == 1)
            continue;
        if (a.startsWith(u"--")) {
            const QString name = a.mid(2).section(u'=', 0, 0);
            if (unknown.contains(name))
                return QStringLiteral("unknown option ") + a;
            const bool takesValue =
                std::any_of(m_options.cbegin(), m_options.cend(), [&](const auto &o) {
                    return o.names().contains(name) && !o.valueName().isEmpty();
                });
            if (takesValue && !a.contains(u'=')) {
                if (i + 1 == arguments.size())
                    return a + QStringLiteral(" needs a value");
                ++i;
            }
        } else if (std::any_of(a.cbegin() + 1, a.cend(),
                               [&](QChar c) { return unknown.contains(QString(c)); })) {
            return QStringLiteral("unknown option ") + a;
        }
    }
    return parser.errorText();
}
