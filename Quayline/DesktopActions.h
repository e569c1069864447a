#pragma once

#include <QObject>
#include <QString>
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
    // Hands the folder at path to the desktop's file manager, provided it is
    // a folder at this moment: a process's working folder may have been
    // removed and something else put in its place by the process's owner,
    // which the desktop's default program for it must not get to open.
    Q_INVOKABLE bool openFolder(const QString &path);

private:
    Effects m_effects;
};
