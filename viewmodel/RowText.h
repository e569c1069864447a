#pragma once

#include "model/PortEntry.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>

// The texts the panel shows for one row beyond its fields: what a screen
// reader says, the process name's tooltip, and the command line to copy.
// Every piece of data in them goes through the one escaper, so none can fake
// a line of its own or reorder what is shown.
class RowText {
    Q_DECLARE_TR_FUNCTIONS(RowText)

public:
    // "Port 3000, node, PID 4242, TCP, listening".
    static QString accessibleName(const PortEntry &entry);

    // The row's name: its process's, or where no process is known (another
    // user's socket), who holds the port ("postgres, postgresql.service");
    // "kernel" for the kernel's own socket.
    static QString name(const PortEntry &entry);

    // The row's second line: "PID 4242", with the owner and unit or
    // container where the port is another user's ("PID 88 · root,
    // nginx.service"); never "PID 0" where no process is known. For the
    // kernel's socket, what it serves ("vxlan vx0").
    static QString pidLine(const PortEntry &entry);

    // What the row's stop button says it will do: the signal the next press
    // sends (stage "Kill" or "Force"), or why the row is not stopped here
    // (refusal) and what would stop it (command, where any).
    static QString stopToolTip(const PortEntry &entry, const QString &stage, const QString &refusal,
                               const QString &command);
    // Why a row is not stopped here and, on a line of its own, what would
    // stop it (where anything would). Each part is escaped before the two
    // are joined, so that the break between them is the only one.
    static QString refusal(const QString &reason, const QString &command);

    // The row's name, then what the scan learned of the process, one line each:
    // command line, working folder, unit or container, and how long ago it
    // started, reckoned from now.
    static QString identity(const PortEntry &entry, const QDateTime &now);

    // When this program first saw a row, in local time: "First seen 14:02",
    // with the date where that was not today; an invalid time says that the
    // row was there when the program started.
    static QString firstSeen(const QDateTime &seen, const QDateTime &now);

    // The command line for reading: quoted as a shell reads it back, cut
    // with "…" after at most maxShownCharacters, and marked with "…" where the
    // scan itself read only its start. Empty when unknown.
    static QString commandLineShown(const ProcessInfo &process);
    static constexpr qsizetype maxShownCharacters = 2000;

    // The command line for the clipboard: the whole argv, quoted from its
    // bytes. One that the scan read only in part is copied as a shell comment
    // saying so, so that pasting it runs nothing.
    static QString commandLineToCopy(const ProcessInfo &process);

    // A duration in its largest whole unit: "5 minutes", "1 day".
    static QString elapsed(qint64 seconds);

    // Installs the English plural forms of the texts above into the running
    // application, beneath any translation installed later.
    static void installTranslations();
};
