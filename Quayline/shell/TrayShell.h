#pragma once

#include "Quayline/LoginItem.h"

#include <QMenu>
#include <QObject>
#include <QQmlEngine>
#include <QSystemTrayIcon>
#include <QUrl>
#include <memory>
#include <optional>

class PopoverWindow;
class PortListViewModel;
class PortNotifier;
class SettingsWindow;
class StatusNotifierItem;

// The program's visible top: the tray icon with its menu, the panel and the
// settings window, all showing the one model. It only wires these together;
// what the user sees inside the windows is the views' business.
class TrayShell : public QObject {
    Q_OBJECT

public:
    struct Resources {
        QUrl popoverView = QUrl(QStringLiteral("qrc:/Quayline/PopoverView.qml"));
        QUrl settingsView = QUrl(QStringLiteral("qrc:/Quayline/SettingsView.qml"));
        QString trayGlyph = QStringLiteral(":/Quayline/icons/powerplug.svg");
    };

    explicit TrayShell(PortListViewModel *model, QObject *parent = nullptr);
    TrayShell(PortListViewModel *model, Resources resources, QObject *parent = nullptr);
    ~TrayShell() override;

    // Puts the icon into the tray: as a StatusNotifierItem where a watcher
    // with a host is on the session bus, else into the X11 tray. Without
    // either the panel opens as an ordinary window, at once when there is no
    // session bus, else once the watcher has answered. False, with the reason
    // on stderr, when the panel cannot be created (or the program exits with
    // status 1 when that is found later).
    bool start();

    // What the settings view shows the watched ports of; set before the
    // settings are first opened. Without one the view has no such section.
    void setNotifier(PortNotifier *notifier) { m_notifier = notifier; }

public slots:
    // Brings the panel up (another start of the program, the tray menu).
    void showPanel();
    // The tray icon's click: opens the panel, or closes it when open.
    void togglePanel();
    void openSettings();

private:
    // Once it is known whether a StatusNotifier host shows the item: the X11
    // icon where none does, the panel as a window where no tray is at all.
    bool settleTray();
    bool ensurePopover();
    bool ensureSettings();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void onStatusNotifierActivated(QPoint position);
    // Keeps a click position a host reported, unless it cannot be the icon's.
    void rememberClick(QPoint position);
    void onStatusNotifierActiveChanged(bool active);
    void onPanelClosedAsWindow();
    bool trayAvailable() const;
    void showXEmbedIcon();
    QRect popoverGeometry() const;
    QRect wlrootsPopoverGeometry() const;
    void placeOnSway(QPoint topLeft);
    void updateModelOnScreen();

    PortListViewModel *m_model;
    PortNotifier *m_notifier = nullptr;
    Resources m_resources;
    QQmlEngine m_engine; // shared by both windows: one set of loaded types
    LoginItem m_loginItem;
    std::unique_ptr<PopoverWindow> m_popover;
    std::unique_ptr<SettingsWindow> m_settings;
    QMenu m_menu;
    QIcon m_icon;
    std::unique_ptr<StatusNotifierItem> m_statusNotifier;
    // Made only while no StatusNotifier host is there: Qt's tray icon would
    // register an item of its own next to ours, and decides once per process
    // which kind it is.
    std::unique_ptr<QSystemTrayIcon> m_tray;
    // Where the StatusNotifier host last reported a click (logical pixels).
    std::optional<QPoint> m_clickPosition;
    // On XWayland under a wlroots compositor, whose bars X11 cannot see.
    bool m_wlroots = false;
    // On an X server of its own (no Wayland compositor under it), where the
    // pointer's place is known when a host reports a click.
    bool m_pointerKnown = false;
};
