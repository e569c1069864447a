#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QTimer>

class QMenu;
class QDBusServiceWatcher;

// The tray icon as a StatusNotifierItem over D-Bus, for the trays of KDE
// Plasma, GNOME's AppIndicator extension and the wlroots bars. Qt's own tray
// icon serves one too, but it drops the click position that the host sends
// with Activate(x, y), and the panel has to open there.
//
// The item is exported at once and registered with the
// org.kde.StatusNotifierWatcher whenever one with a host is on the bus; it
// follows the watcher as it comes and goes, and registers again with each new
// owner of the watcher's name. Every call to the watcher is asynchronous: a
// watcher that is slow or never answers must not keep the item (and the
// program's event loop) from answering its host. Its menu is the given QMenu,
// exported over com.canonical.dbusmenu.
//
// GNOME Shell's AppIndicator extension sends no Activate for a single click:
// it opens the item's menu, and only a double click activates. There the
// menu's opening is taken as the click, and the menu is put away at once
// (the panel offers what it holds).
class StatusNotifierItem : public QObject, protected QDBusContext {
    Q_OBJECT

public:
    struct Icon {
        QString name;         // looked up in the icon theme by the host
        QString themePath;    // an extra folder to look it up in, or empty
        QList<QImage> images; // for hosts that cannot find the name
    };

    StatusNotifierItem(const QString &id, const QString &title, QMenu *menu,
                       QObject *parent = nullptr,
                       QDBusConnection bus = QDBusConnection::sessionBus());
    ~StatusNotifierItem() override;

    void setIcon(const Icon &icon);

    // Exports the item and asks the watcher, if there is one, whether a host
    // is there; watcherChecked() tells the answer. False when the item could
    // not be exported (no session bus): then no answer comes.
    bool start();

    // Registered with a watcher that has a host: the icon is in some tray.
    bool isActive() const { return m_active; }

    // The hosts' coordinates are the display's own pixels; Qt's are logical
    // ones, which differ when the screen is scaled.
    static QPoint fromNativePosition(QPoint native);

    // For the D-Bus adaptors.
    QString id() const { return m_id; }
    QString title() const { return m_title; }
    const Icon &icon() const { return m_icon; }
    void handleActivate(int x, int y);
    void handleSecondaryActivate(int x, int y);
    void handleContextMenu(int x, int y);
    QString status() const { return m_status; }
    // An event on the menu's root item from the host on the bus connection
    // named by sender: "opened" or "closed".
    void handleMenuEvent(const QString &sender, const QString &eventId);

signals:
    void activeChanged(bool active);
    // A question to the watcher was answered, or found no watcher, or went
    // unanswered; isActive() holds its outcome.
    void watcherChecked();
    // A primary (left) or secondary (middle) click, at the position the host
    // reported in logical coordinates; null when the host did not say.
    void activated(QPoint position);
    // The host wants the panel shown, not toggled: GNOME's extension sends
    // Activate only for a double click, whose first click opened the panel.
    void showRequested(QPoint position);
    void secondaryActivated(QPoint position);
    // The host asks the item to show its menu itself (hosts without dbusmenu).
    void contextMenuRequested(QPoint position);

    // D-Bus signals of the item interface, relayed by its adaptor.
    void iconChanged();
    void statusChanged(const QString &status);

private slots:
    // Asks the watcher whether a host is there and registers the item with it.
    void checkWatcher();

private:
    void onWatcherOwnerChanged(const QString &newOwner);
    void onHostAnswer(const QDBusMessage &reply);
    void registerWithWatcher();
    void setActive(bool active);
    void setStatus(const QString &status);
    // GNOME's menu for the item has closed (or should have by now): the icon
    // comes back, and the click that opened the menu takes effect.
    void hostMenuGone();
    // Whether the bus connection named is GNOME Shell's, that is, the host is
    // its AppIndicator extension.
    bool isGnomeShell(const QString &sender) const;

    QString m_id;
    QString m_title;
    QMenu *m_menu;
    QDBusConnection m_bus;
    QString m_serviceName;
    Icon m_icon;
    QDBusServiceWatcher *m_watcher = nullptr;
    bool m_exported = false;
    bool m_active = false;
    QString m_status = QStringLiteral("Active");
    // Brings the icon back should the host not report its menu closed.
    QTimer m_statusRestore;
    bool m_menuClick = false; // a click opened GNOME's menu, not yet acted on
    // Registered with the watcher's present owner (a new owner knows nothing of us).
    bool m_registered = false;
    // One question to the watcher at a time: signals that come meanwhile only
    // ask for one more, so a watcher that floods them costs one call each round.
    bool m_checking = false;
    bool m_checkAgain = false;
    // Counts the watcher's owners, so an answer from an owner that has since
    // gone is not taken for the new one's.
    quint64 m_ownerGeneration = 0;
};
