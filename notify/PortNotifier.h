#pragma once

#include "model/PortEntry.h"
#include "scanner/PortEvent.h"

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSettings>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

class QDBusMessage;

// Desktop notifications for the ports the user chose to watch: "Port 3000 is
// now held by node (PID 4242)." and "Port 3000 is free.", sent to the
// desktop's notification server (org.freedesktop.Notifications on the session
// bus). Also what the settings view's port field binds to: the list is one of
// the program's settings, empty (nothing watched) until the user fills it in.
//
// Nothing here waits for the server: every call is answered later, so a
// server that hangs or is missing holds up nothing.
class PortNotifier : public QObject {
    Q_OBJECT
    // The list as the user wrote it ("3000, 5173"); writing it watches and
    // saves the ports in it. At start, the saved list.
    Q_PROPERTY(QString watchedPortsText READ watchedPortsText WRITE setWatchedPortsText NOTIFY
                   watchedPortsChanged)
    // Empty, or what is wrong with the list as written (entries that are no
    // port, each named) and why it could not be saved, one line each.
    Q_PROPERTY(QString watchedPortsError READ watchedPortsError NOTIFY watchedPortsChanged)
    // Whether a notification server runs on the session bus or would be
    // started by it; false where there is no session bus.
    Q_PROPERTY(bool serviceAvailable READ serviceAvailable NOTIFY serviceAvailableChanged)

public:
    struct Dependencies {
        std::unique_ptr<QSettings> settings; // defaults to the user's Quayline settings
        std::optional<QDBusConnection> bus;  // defaults to the session bus
    };

    explicit PortNotifier(Dependencies dependencies = {}, QObject *parent = nullptr);

    const QList<int> &watchedPorts() const { return m_ports; }
    const QString &watchedPortsText() const { return m_text; }
    void setWatchedPortsText(const QString &text);
    QString watchedPortsError() const;
    bool serviceAvailable() const { return m_serviceAvailable; }

public slots:
    // Events of the watched ports become notifications, one per port however
    // many rows opened or closed on it: the holder of a row that opened, or
    // that the port is free, where no row of current holds it any more.
    void handle(const PortEventList &events, const PortEntryList &current);

signals:
    void watchedPortsChanged();
    void serviceAvailableChanged();
    // The user chose a notification's "Open": the panel should show that port.
    void openRequested(int port);

private slots:
    void onActionInvoked(uint id, const QString &key);
    void onNotificationClosed(uint id, uint reason);

private:
    struct Notice {
        int port = 0;
        bool opened = false;
        PortEntry holder; // for an opened port
    };

    void applyText(const QString &text);
    void checkService();
    void setServiceAvailable(bool available);
    void onServiceOwnerChanged(const QString &newOwner);
    void askCapabilities();
    void send(const Notice &notice);
    void call(const QDBusMessage &message, std::function<void(const QDBusMessage &)> answered);

    std::unique_ptr<QSettings> m_settings;
    QDBusConnection m_bus;
    QString m_text;
    QList<int> m_ports;
    QStringList m_invalid;
    QString m_saveError;
    bool m_serviceAvailable = false;
    // The server's capabilities, once it has told them.
    std::optional<QStringList> m_capabilities;
    bool m_askingCapabilities = false;
    // What waits for the capabilities, which decide how a notice is written.
    QList<Notice> m_waiting;
    // The server's id of each port's last notification, so that the next one
    // replaces it, and the other way round for the server's answers.
    QHash<int, uint> m_ids;
    QHash<uint, int> m_portOfId;
    // Bumped when the server's name changes hands: answers of the old one
    // count no more, nor do its ids.
    quint64 m_serverGeneration = 0;
};
