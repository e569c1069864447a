// quayline-cli: one scan with the panel's scanner, printed as a table or JSON;
// or, as "quayline-cli stop", the panel's stop escalation applied to every
// process listening on the given ports.
#include "cli/ListCommand.h"
#include "cli/StopCommand.h"

#include <QCoreApplication>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quayline-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUAYLINE_VERSION));
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    // Only as the first argument is "stop" the subcommand; "-- stop" and
    // "--json stop" filter the listing by the word.
    if (!arguments.isEmpty() && arguments.first() == u"stop")
        return runStopCommand(arguments.sliced(1));
    return runListCommand(arguments);
}
