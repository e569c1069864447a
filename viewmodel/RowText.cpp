#include "viewmodel/RowText.h"

#include "model/DisplayText.h"
#include "stop/StopText.h"

#include <QLocale>
#include <QStringList>
#include <QTranslator>
#include <algorithm>
#include <climits>

QString RowText::accessibleName(const PortEntry &entry) {
    // Data is joined, never put through arg() twice, so that a "%1" in a
    // process name stays as it is.
    QStringList parts{tr("Port %1").arg(entry.port)};
    if (!entry.processName.isEmpty())
        parts << escapeControlCharacters(entry.processName);
    // A row of another user's socket may have no process known: never "PID 0".
    if (entry.pid > 0)
        parts << tr("PID %1").arg(entry.pid);
    if (const QString holder = entry.holder(); !holder.isEmpty())
        parts << escapeControlCharacters(holder);
    parts << escapeControlCharacters(entry.networkProtocol);
    if (entry.state == u"LISTEN")
        parts << tr("listening");
    else if (!entry.state.isEmpty())
        parts << escapeControlCharacters(entry.state);
    return parts.join(QStringLiteral(", "));
}

QString RowText::name(const PortEntry &entry) {
    if (entry.kernelHeld)
        return QStringLiteral("kernel");
    return escapeControlCharacters(entry.processName.isEmpty() ? entry.holder()
                                                               : entry.processName);
}

QString RowText::pidLine(const PortEntry &entry) {
    if (entry.kernelHeld)
        return entry.kernelUse.isEmpty() ? tr("no process")
                                         : escapeControlCharacters(entry.kernelUse);
    const QString holder = escapeControlCharacters(entry.holder());
    if (holder.isEmpty())
        return tr("PID %1").arg(entry.pid);
    if (entry.pid > 0)
        return tr("PID %1").arg(entry.pid) + QStringLiteral(" · ") + holder;
    return entry.processName.isEmpty() ? tr("no process known") : holder;
}

QString RowText::stopToolTip(const PortEntry &entry, const QString &stage, const QString &refusal,
                             const QString &command) {
    if (!refusal.isEmpty())
        return RowText::refusal(refusal, command);
    return stage == u"Force" ? tr("Process didn’t exit — send SIGKILL to PID %1").arg(entry.pid)
                             : tr("Send SIGTERM to PID %1").arg(entry.pid);
}

QString RowText::refusal(const QString &reason, const QString &command) {
    const QString why = escapeControlCharacters(reason);
    return command.isEmpty() ? why
                             : why + u'\n' + StopText::stopItWith(escapeControlCharacters(command));
}

QString RowText::firstSeen(const QDateTime &seen, const QDateTime &now) {
    if (!seen.isValid())
        return tr("Seen since Quayline started");
    const QDateTime local = seen.toLocalTime();
    const QLocale locale;
    return tr("First seen %1")
        .arg(local.date() == now.toLocalTime().date()
                 ? locale.toString(local.time(), QLocale::ShortFormat)
                 : locale.toString(local, QLocale::ShortFormat));
}

QString RowText::identity(const PortEntry &entry, const QDateTime &now) {
    const ProcessInfo &info = entry.process;
    QStringList lines{name(entry)};
    if (const QString command = commandLineShown(info); !command.isEmpty())
        lines << command;
    if (!info.cwd.isEmpty()) {
        const QString folder = escapeControlCharacters(info.cwd);
        lines << (info.cwdDeleted ? tr("Folder: %1 (deleted)") : tr("Folder: %1")).arg(folder);
    }
    if (!info.unit.isEmpty())
        lines << tr("Unit: %1").arg(escapeControlCharacters(info.unit));
    if (!info.container.isEmpty())
        lines << tr("Container: %1").arg(escapeControlCharacters(info.container));
    if (info.startedAt.isValid())
        lines << tr("Started %1 ago").arg(elapsed(info.startedAt.secsTo(now)));
    return lines.join(u'\n');
}

QString RowText::commandLineShown(const ProcessInfo &process) {
    // Only as much as can show (a character takes at most four bytes): a
    // command line can be megabytes long.
    const QByteArrayView raw =
        QByteArrayView(process.rawCommandLine)
            .first(std::min(process.rawCommandLine.size(), 4 * maxShownCharacters));
    QString text = shellQuotedCommandLine(raw);
    if (text.size() > maxShownCharacters) {
        text.truncate(maxShownCharacters);
        // Not half of a surrogate pair.
        if (text.back().isHighSurrogate())
            text.chop(1);
    } else if (!process.commandLineCut && raw.size() == process.rawCommandLine.size()) {
        return text;
    }
    return text + QStringLiteral(" …");
}

QString RowText::commandLineToCopy(const ProcessInfo &process) {
    const QString text = shellQuotedCommandLine(process.rawCommandLine);
    if (!process.commandLineCut)
        return text;
    // The quoting escapes every line break, so the comment covers it all.
    return QStringLiteral("# ") + tr("Incomplete, only its start could be read:") + u' ' + text;
}

QString RowText::elapsed(qint64 seconds) {
    seconds = std::max<qint64>(seconds, 0);
    if (seconds < 60)
        return tr("%n second(s)", nullptr, int(seconds));
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return tr("%n minute(s)", nullptr, int(minutes));
    const qint64 hours = minutes / 60;
    if (hours < 24)
        return tr("%n hour(s)", nullptr, int(hours));
    return tr("%n day(s)", nullptr, int(std::min<qint64>(hours / 24, INT_MAX)));
}

void RowText::installTranslations() {
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QStringLiteral(":/i18n/quayline_en.qm")))
        QCoreApplication::installTranslator(translator);
    else
        qWarning("The English plural forms are missing from the program.");
}
