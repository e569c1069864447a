#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QtQml/qqmlregistration.h>
#include <functional>

// What the row menu does outside the program: put a text on the clipboard, or
// hand a link or a folder to the desktop's default program. The two effects
// can be replaced, so that tests see what would have been copied or opened
// without touching the session's clipboard or starting a browser.
class DesktopActions : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    struct Effects {
        std::function<void(const QString &)> copyText;
        std::function<bool(const QUrl &)> openUrl;
    };
    // The clipboard and QDesktopServices.
    static Effects real();

    explicit DesktopActions(QObject *parent = nullptr);

    void setEffects(Effects effects);

    Q_INVOKABLE void copyText(const QString &text);
    // False when the text is no valid link or the desktop could not open it.
    Q_INVOKABLE bool openUrl(const QString &url);

    // The page a TCP listener would serve: http://localhost:PORT for a wildcard
    // address, otherwise the address itself (IPv6 in brackets). Empty when the
    // address or port makes no valid link (a scoped IPv6 address, say).
    Q_INVOKABLE static QString browserUrl(const QString &address, qint64 port);
    Q_INVOKABLE static QString folderUrl(const QString &path);
    // argv as one line that a POSIX shell reads back as the same words: plain
    // words as they are, others in single quotes, and words holding control or
    // bidi characters in $'…' with escapes, so that no argument can break the
    // line or reorder what is shown.
    Q_INVOKABLE static QString commandLineText(const QStringList &arguments);
    // The text with control and bidi characters shown as escapes (\n, \x1b, \u202e).
    Q_INVOKABLE static QString printable(const QString &text);

private:
    Effects m_effects;
};
