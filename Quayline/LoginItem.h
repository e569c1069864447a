#pragma once

#include <QObject>
#include <QString>

// Starting Quayline when the user logs in, through the desktop's XDG autostart
// entry "quayline.desktop". Every status read goes to the file afresh, since
// the user can also change it in the desktop's own session settings.
//
// It is also what the settings view's "Launch at login" switch binds to:
// launchAtLogin is the switch's value and error the message of the last
// failed change.
class LoginItem : public QObject {
    Q_OBJECT
    // Whether the entry is enabled, read at creation, by followRegistration()
    // and after every failed change; writing it registers or unregisters.
    Q_PROPERTY(
        bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
    // What the last change that failed said; empty once a change works.
    Q_PROPERTY(QString error READ error NOTIFY errorChanged)

public:
    enum Status {
        NotRegistered, // no entry
        Enabled,       // an entry that starts this program and is not switched off
        Disabled,      // an entry switched off (Hidden=true or X-GNOME-Autostart-enabled=false)
        NotFound,      // this program's own path cannot be determined
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

    // Each returns what failed and where (the path and the system's reason)
    // on failure, and an empty text on success.
    Q_INVOKABLE QString registerItem();
    Q_INVOKABLE QString unregisterItem();
    // Registers or unregisters only when the status says it is needed.
    QString change(bool enabled);

    bool launchAtLogin() const { return m_launchAtLogin; }
    // A change the user asked for: made when needed; when it fails, error
    // says why and launchAtLogin goes back to what the entry says.
    void setLaunchAtLogin(bool enabled);
    const QString &error() const { return m_error; }
    // For each time the settings are shown: when the entry was changed
    // elsewhere, launchAtLogin follows it and a stale error goes.
    Q_INVOKABLE void followRegistration();

    // The entry written by registerItem().
    QString entryText() const;

signals:
    void launchAtLoginChanged();
    void errorChanged();

private:
    void setError(const QString &error);

    QString m_autostartDir;
    QString m_executablePath;
    bool m_launchAtLogin = false;
    QString m_error;
};
