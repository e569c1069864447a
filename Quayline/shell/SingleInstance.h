#pragma once

#include <QObject>
#include <QString>
#include <chrono>

class QLocalServer;

// One Quayline per user and display: a second start would put a second icon
// into the same tray. The first instance listens on a local socket in the
// user's runtime folder; a later start finds it there, asks it to show its
// panel and ends.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Role {
        Primary,        // this process serves the session (or runs unguarded, see claim())
        AlreadyRunning, // another instance was asked to show its panel
    };

    // The socket for the display that this process talks to, in the user's
    // runtime folder (private to the user).
    static QString defaultSocketPath();
    // What names a display in that path: the display variable without its screen number.
    static QString displayKey(const QByteArray &platformName, const QByteArray &x11Display,
                              const QByteArray &waylandDisplay);

    explicit SingleInstance(QString socketPath, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Decides the role once. When the socket cannot be made (an unwritable
    // runtime folder, say) the process still runs, unguarded: better a second
    // icon than no program at all.
    Role claim(std::chrono::milliseconds timeout = std::chrono::seconds(3));

signals:
    // Another start asked for the panel.
    void activationRequested();

private:
    bool askRunningInstance(std::chrono::milliseconds timeout);
    bool listen();
    void serveConnection();

    QString m_socketPath;
    QLocalServer *m_server = nullptr;
};
