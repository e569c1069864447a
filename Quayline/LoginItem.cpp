#include "Quayline/LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>

namespace {

// Characters that make the Exec line's program need double quotes
// (the freedesktop.org desktop entry rules for the Exec key).
bool needsQuoting(QChar c) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    return reserved.contains(c);
}

// The general string escapes of desktop-entry values.
QString escapeValue(const QString &text) {
    QString value;
    for (const QChar c : text) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else
            value += c;
    }
    return value;
}

// The program path as the Exec key's first argument: quoted when needed, with
// the quoting escapes first and the general string escapes of values second.
QString execValue(const QString &program) {
    QString arg;
    if (std::any_of(program.begin(), program.end(), needsQuoting)) {
        arg = QStringLiteral("\"");
        for (const QChar c : program) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                arg += u'\\';
            arg += c;
        }
        arg += u'"';
    } else {
        arg = program;
    }
    arg.replace(u'%', QStringLiteral("%%"));
    return escapeValue(arg);
}

// Undoes the general string escapes of a desktop-entry value.
QString unescapeValue(QStringView raw) {
    QString out;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] != u'\\' || i + 1 == raw.size()) {
            out += raw[i];
            continue;
        }
        switch (raw[++i].unicode()) {
        case 's':
            out += u' ';
            break;
        case 'n':
            out += u'\n';
            break;
        case 't':
            out += u'\t';
            break;
        case 'r':
            out += u'\r';
            break;
        case '\\':
            out += u'\\';
            break;
        default:
            out += u'\\';
            out += raw[i];
        }
    }
    return out;
}

// The program that an Exec value starts: its first argument, unquoted.
QString execProgram(const QString &value) {
    const QString exec = unescapeValue(value).trimmed();
    QString program;
    if (exec.startsWith(u'"')) {
        for (qsizetype i = 1; i < exec.size(); ++i) {
            if (exec[i] == u'"')
                break;
            if (exec[i] == u'\\' && i + 1 < exec.size())
                ++i;
            program += exec[i];
        }
    } else {
        const qsizetype end = exec.indexOf(QRegularExpression(QStringLiteral("\\s")));
        program = end < 0 ? exec : exec.left(end);
    }
    program.replace(QStringLiteral("%%"), QStringLiteral("%"));
    return program;
}

// The keys of the [Desktop Entry] group; later duplicates win. Localised keys
// (Name[de]) keep their suffix and so never match a plain key.
QHash<QString, QString> desktopEntryKeys(const QByteArray &content) {
    QHash<QString, QString> keys;
    bool inEntry = false;
    for (const QByteArray &rawLine : content.split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            inEntry = line == u"[Desktop Entry]";
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (!inEntry || eq <= 0)
            continue;
        keys.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return keys;
}

bool isFalse(const QString &value) {
    return value.compare(u"false", Qt::CaseInsensitive) == 0;
}
bool isTrue(const QString &value) {
    return value.compare(u"true", Qt::CaseInsensitive) == 0;
}

bool samePath(const QString &a, const QString &b) {
    if (a == b)
        return true;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

} // namespace

LoginItem::LoginItem(QObject *parent)
    : LoginItem(defaultAutostartDir(), QCoreApplication::applicationFilePath(), parent) {}

LoginItem::LoginItem(QString autostartDir, QString executablePath, QObject *parent)
    : QObject(parent)
    , m_autostartDir(std::move(autostartDir))
    , m_executablePath(std::move(executablePath)) {}

QString LoginItem::defaultAutostartDir() {
    // The XDG base directory rules ignore a relative XDG_CONFIG_HOME.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart");
}

QString LoginItem::entryPath() const {
    return m_autostartDir + u'/' + fileName();
}

LoginItem::Status LoginItem::status() const {
    if (m_executablePath.isEmpty())
        return NotFound;
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return NotRegistered;
    const QHash<QString, QString> keys = desktopEntryKeys(file.readAll());
    // An entry for some other program (say, an older copy elsewhere) is not
    // ours: registering again rewrites it for this one.
    if (!samePath(execProgram(keys.value(QStringLiteral("Exec"))), m_executablePath))
        return NotRegistered;
    if (isTrue(keys.value(QStringLiteral("Hidden"))) ||
        isFalse(keys.value(QStringLiteral("X-GNOME-Autostart-enabled"))))
        return RequiresApproval;
    return Enabled;
}

// TryExec: once the program is gone (the package removed), sessions skip the
// entry instead of failing to start it at every login.
QString LoginItem::entryText() const {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quayline\n"
                          "Comment=Listening ports and the processes behind them\n"
                          "Exec=%1\n"
                          "TryExec=%2\n"
                          "Icon=quayline\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(execValue(m_executablePath), escapeValue(m_executablePath));
}

QString LoginItem::registerItem() {
    if (m_executablePath.isEmpty())
        return tr("The path of the running program could not be determined.");
    // A failure here shows up, with the system's message, when the file is opened.
    QDir().mkpath(m_autostartDir);
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(entryText().toUtf8()) < 0 || !file.commit())
        return file.errorString().isEmpty() ? tr("Unknown error") : file.errorString();
    return {};
}

QString LoginItem::unregisterItem() {
    QFile file(entryPath());
    if (file.remove() || !file.exists())
        return {};
    return file.errorString().isEmpty() ? tr("Unknown error") : file.errorString();
}

QString LoginItem::setLaunchAtLogin(bool enabled) {
    const bool isEnabled = status() == Enabled;
    if (enabled == isEnabled)
        return {};
    return enabled ? registerItem() : unregisterItem();
}
