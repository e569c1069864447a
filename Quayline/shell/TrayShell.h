#pragma once

#include "Quayline/LoginItem.h"

#include <QMenu>
#include <QObject>
#include <QQmlEngine>
#include <QSystemTrayIcon>
#include <QUrl>
#include <memory>

class PopoverWindow;
class PortListViewModel;
class SettingsWindow;

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

    // Puts the icon into the tray. Without a tray host the panel opens at once
    // as an ordinary window. False, with the reason on stderr, when the panel
    // cannot be created.
    bool start();

public slots:
    // Brings the panel up (another start of the program, the tray menu).
    void showPanel();
    // The tray icon's click: opens the panel, or closes it when open.
    void togglePanel();
    void openSettings();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool ensurePopover();
    bool ensureSettings();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void onPanelClosedAsWindow();
    QPoint popoverPosition() const;
    void updateTrayIcon();

    PortListViewModel *m_model;
    Resources m_resources;
    QQmlEngine m_engine; // shared by both windows: one set of loaded types
    LoginItem m_loginItem;
    std::unique_ptr<PopoverWindow> m_popover;
    std::unique_ptr<SettingsWindow> m_settings;
    QMenu m_menu;
    QSystemTrayIcon m_tray;
};
