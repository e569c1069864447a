#include "Quayline/DesktopActions.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <sys/stat.h>

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

bool DesktopActions::openFolder(const QString &path) {
    struct stat info {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0 ||
        !S_ISDIR(info.st_mode))
        return false;
    return m_effects.openUrl(QUrl::fromLocalFile(path));
}
