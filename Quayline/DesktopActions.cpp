#include "Quayline/DesktopActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <algorithm>

namespace {

// C0 and C1 controls, DEL, and the characters that change the direction of
// the text around them.
bool isHidden(char16_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

QString escaped(char16_t c) {
    switch (c) {
    case u'\n':
        return QStringLiteral("\\n");
    case u'\t':
        return QStringLiteral("\\t");
    case u'\r':
        return QStringLiteral("\\r");
    default:
        break;
    }
    if (c < 0x80)
        return QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    return QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
}

bool isPlainWordCharacter(QChar c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           QStringView(u"_@%+=:,./-").contains(c);
}

QString quotedWord(const QString &word) {
    if (!word.isEmpty() && std::all_of(word.begin(), word.end(), isPlainWordCharacter))
        return word;
    if (std::any_of(word.begin(), word.end(), [](QChar c) { return isHidden(c.unicode()); })) {
        QString out = QStringLiteral("$'");
        for (QChar c : word) {
            if (isHidden(c.unicode()))
                out += escaped(c.unicode());
            else if (c == u'\\' || c == u'\'')
                out += QLatin1Char('\\') + c;
            else
                out += c;
        }
        return out + QLatin1Char('\'');
    }
    QString out = word;
    out.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + out + QLatin1Char('\'');
}

} // namespace

DesktopActions::Effects DesktopActions::real() {
    return {
        [](const QString &text) {
            if (QClipboard *clipboard = QGuiApplication::clipboard())
                clipboard->setText(text);
        },
        [](const QUrl &url) { return QDesktopServices::openUrl(url); },
    };
}

DesktopActions::DesktopActions(QObject *parent)
    : QObject(parent)
    , m_effects(real()) {}

void DesktopActions::setEffects(Effects effects) {
    m_effects = std::move(effects);
}

void DesktopActions::copyText(const QString &text) {
    m_effects.copyText(text);
}

bool DesktopActions::openUrl(const QString &url) {
    const QUrl parsed(url, QUrl::StrictMode);
    return parsed.isValid() && !parsed.isEmpty() && m_effects.openUrl(parsed);
}

QString DesktopActions::browserUrl(const QString &address, qint64 port) {
    if (port < 1 || port > 65535)
        return {};
    QString host = address;
    if (host.size() >= 2 && host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    // lsof prints the wildcard as "*"; the others are its numeric spellings.
    if (host.isEmpty() || host == u"*" || host == u"0.0.0.0" || host == u"::" ||
        host == u"0:0:0:0:0:0:0:0")
        host = QStringLiteral("localhost");
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host, QUrl::StrictMode);
    url.setPort(int(port));
    if (!url.isValid() || url.host().isEmpty())
        return {};
    return url.toString(QUrl::FullyEncoded);
}

QString DesktopActions::folderUrl(const QString &path) {
    return path.isEmpty() ? QString() : QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

QString DesktopActions::commandLineText(const QStringList &arguments) {
    QStringList words;
    words.reserve(arguments.size());
    for (const QString &argument : arguments)
        words << quotedWord(argument);
    return words.join(QLatin1Char(' '));
}

QString DesktopActions::printable(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text)
        out += isHidden(c.unicode()) ? escaped(c.unicode()) : QString(c);
    return out;
}
