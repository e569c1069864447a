#pragma once

// A dbus-daemon of the test's own, for services of the test's own: a client
// pointed at it (a connection to address(), or a child with
// DBUS_SESSION_BUS_ADDRESS) meets none of the session's. Ended, by the pid
// that started it, when the object goes.

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class PrivateBus {
public:
    ~PrivateBus() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // Starts the bus; empty on success, else why not.
    QString start() {
        if (!QFile::exists(QStringLiteral("/usr/bin/dbus-daemon")))
            return QStringLiteral("dbus-daemon is not installed");
        // A session bus without the machine's activatable services: the
        // desktops' packages offer some (plasma-workspace a notification
        // server) that would answer for services the test means to be absent.
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        if (!m_dir.isValid() || !config.open(QIODevice::WriteOnly) ||
            config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                         "<auth>EXTERNAL</auth><policy context=\"default\">"
                         "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                         "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                         "</busconfig>") < 0)
            return QStringLiteral("the bus's configuration could not be written");
        config.close();
        m_process.start(QStringLiteral("/usr/bin/dbus-daemon"),
                        {QStringLiteral("--config-file=") + config.fileName(),
                         QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                         QStringLiteral("--print-address=1")});
        if (!m_process.waitForStarted(10000))
            return QStringLiteral("dbus-daemon could not be started");
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_address = QString::fromUtf8(m_process.readLine().trimmed());
        return m_address.isEmpty() ? QStringLiteral("dbus-daemon gave no address") : QString();
    }

    const QString &address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_address;
};
