#pragma once

#include <QObject>
#include <QString>

// Starting Quayline when the user logs in, through the desktop's XDG autostart
// entry "quayline.desktop". Every call reads the file afresh, since the user
// can also change it in the desktop's own session settings.
class LoginItem : public QObject {
    Q_OBJECT

public:
    enum Status {
        NotRegistered,    // no entry
        Enabled,          // an entry that starts this program and is not switched off
        RequiresApproval, // an entry switched off (Hidden=true or X-GNOME-Autostart-enabled=false)
        NotFound,         // this program's own path cannot be determined
    };
    Q_ENUM(Status)

    // The user's autostart folder and this program. Both can be given, so that
    // tests neither touch the real session nor depend on the test binary.
    explicit LoginItem(QObject *parent = nullptr);
    LoginItem(QString autostartDir, QString executablePath, QObject *parent = nullptr);

    // $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when the variable is unset or empty.
    static QString defaultAutostartDir();
    static QString fileName() { return QStringLiteral("quayline.desktop"); }

    QString autostartDir() const { return m_autostartDir; }
    QString executablePath() const { return m_executablePath; }
    QString entryPath() const;

    Q_INVOKABLE Status status() const;

    // Each returns the system's own message on failure and an empty text on success.
    Q_INVOKABLE QString registerItem();
    Q_INVOKABLE QString unregisterItem();
    // Registers or unregisters only when the status says it is needed.
    Q_INVOKABLE QString setLaunchAtLogin(bool enabled);

    // The entry written by registerItem().
    QString entryText() const;

private:
    QString m_autostartDir;
    QString m_executablePath;
};
