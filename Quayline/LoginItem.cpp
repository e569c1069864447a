#include "Quayline/LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSaveFile>
#include <cerrno>
#include <sys/stat.h>
#include <utility>

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

// The system's reason for a failed file operation, without a trailing period.
QString reason(const QFileDevice &file) {
    QString text = file.errorString();
    if (text.endsWith(u'.'))
        text.chop(1);
    return text.isEmpty() ? LoginItem::tr("Unknown error") : text;
}

bool isFalse(const QString &value) {
    return value.compare(u"false", Qt::CaseInsensitive) == 0;
}
bool isTrue(const QString &value) {
    return value.compare(u"true", Qt::CaseInsensitive) == 0;
}

// Makes the folder and those above it that are missing. On failure, which
// folder could not be made and why.
QString makeFolder(const QString &path) {
    const QByteArray folder = QFile::encodeName(QDir::cleanPath(QDir(path).absolutePath()));
    for (qsizetype end = folder.indexOf('/', 1);; end = folder.indexOf('/', end + 1)) {
        const QByteArray part = end < 0 ? folder : folder.first(end);
        struct stat info {};
        int error = 0;
        if (::stat(part.constData(), &info) == 0)
            error = S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
        else if (errno != ENOENT)
            error = errno;
        else if (::mkdir(part.constData(), 0700) != 0 && errno != EEXIST)
            error = errno;
        if (error != 0)
            return LoginItem::tr("Could not create the folder %1: %2.")
                .arg(QFile::decodeName(part), qt_error_string(error));
        if (end < 0)
            return {};
    }
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
    , m_executablePath(std::move(executablePath)) {
    m_launchAtLogin = status() == Enabled;
}

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
        return Disabled;
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
    if (const QString error = makeFolder(m_autostartDir); !error.isEmpty())
        return error;
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(entryText().toUtf8()) < 0 || !file.commit())
        return tr("Could not write %1: %2.").arg(entryPath(), reason(file));
    return {};
}

QString LoginItem::unregisterItem() {
    QFile file(entryPath());
    if (file.remove() || !file.exists())
        return {};
    return tr("Could not remove %1: %2.").arg(entryPath(), reason(file));
}

QString LoginItem::change(bool enabled) {
    const bool isEnabled = status() == Enabled;
    if (enabled == isEnabled)
        return {};
    return enabled ? registerItem() : unregisterItem();
}

void LoginItem::setLaunchAtLogin(bool enabled) {
    if (std::exchange(m_launchAtLogin, enabled) != enabled)
        emit launchAtLoginChanged();
    const QString error = change(enabled);
    setError(error);
    if (!error.isEmpty()) {
        m_launchAtLogin = status() == Enabled;
        // Also when the value is the one it was: the switch moved under the
        // user's hand and must move back.
        emit launchAtLoginChanged();
    }
}

void LoginItem::followRegistration() {
    const bool enabled = status() == Enabled;
    if (enabled == m_launchAtLogin)
        return;
    // The entry now agrees with the value: a change would have nothing to do,
    // so it counts as one that worked.
    m_launchAtLogin = enabled;
    emit launchAtLoginChanged();
    setError({});
}

void LoginItem::setError(const QString &error) {
    if (m_error == error)
        return;
    m_error = error;
    emit errorChanged();
}
