#include "Quayline/shell/TrayShell.h"

#include "Quayline/shell/PopoverPlacement.h"
#include "Quayline/shell/PopoverWindow.h"
#include "Quayline/shell/SettingsWindow.h"
#include "Quayline/shell/StatusNotifierItem.h"
#include "Quayline/shell/TrayGlyph.h"
#include "Quayline/shell/WlrootsBar.h"
#include "notify/PortNotifier.h"
#include "viewmodel/PortListViewModel.h"

#include <QApplication>
#include <QCursor>
#include <QScreen>
#include <QTimer>
#include <cstdio>

namespace {

void reportLoadFailure(const QString &errors) {
    std::fprintf(stderr, "quayline: the interface could not be loaded:\n%s\n", qPrintable(errors));
}

} // namespace

TrayShell::TrayShell(PortListViewModel *model, QObject *parent)
    : TrayShell(model, Resources{}, parent) {}

TrayShell::TrayShell(PortListViewModel *model, Resources resources, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_resources(std::move(resources)) {
    // The views' quit button calls Qt.quit(); a plain engine does not act on it by itself.
    connect(&m_engine, &QQmlEngine::quit, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    connect(&m_engine, &QQmlEngine::exit, qApp, &QCoreApplication::exit, Qt::QueuedConnection);

    m_menu.addAction(tr("Open Quayline"), this, &TrayShell::showPanel);
    m_menu.addAction(tr("Settings"), this, &TrayShell::openSettings);
    m_menu.addSeparator();
    m_menu.addAction(tr("Quit"), qApp, &QCoreApplication::quit);

    const QList<QImage> glyph = TrayGlyph::images(m_resources.trayGlyph);
    m_icon = TrayGlyph::icon(glyph);
    const TrayGlyph::ThemeIcon themed = TrayGlyph::installedThemeIcon();
    m_statusNotifier =
        std::make_unique<StatusNotifierItem>(QStringLiteral("quayline"), tr("Quayline"), &m_menu);
    m_statusNotifier->setIcon({themed.name, themed.themePath, glyph});
    connect(m_statusNotifier.get(), &StatusNotifierItem::activated, this,
            &TrayShell::onStatusNotifierActivated);
    connect(m_statusNotifier.get(), &StatusNotifierItem::showRequested, this,
            [this](QPoint position) {
                rememberClick(position);
                showPanel();
            });
    // The middle click: the panel too; there is no second action to give it.
    connect(m_statusNotifier.get(), &StatusNotifierItem::secondaryActivated, this,
            &TrayShell::onStatusNotifierActivated);
    connect(
        m_statusNotifier.get(), &StatusNotifierItem::contextMenuRequested, this,
        [this](QPoint position) { m_menu.popup(position.isNull() ? QCursor::pos() : position); });
    connect(m_statusNotifier.get(), &StatusNotifierItem::activeChanged, this,
            &TrayShell::onStatusNotifierActiveChanged);
    // No window yet: the timer, once started, scans only while one is shown.
    m_model->setOnScreen(false);
    m_wlroots = WlrootsBar::isWlrootsSession([](const char *name) { return qgetenv(name); },
                                             QGuiApplication::platformName());
    m_pointerKnown = QGuiApplication::platformName() == QLatin1String("xcb") &&
                     qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

TrayShell::~TrayShell() {
    // Windows before the engine that made their views (members go in reverse order anyway).
    m_settings.reset();
    m_popover.reset();
}

bool TrayShell::start() {
    if (m_statusNotifier->start()) {
        // The watcher answers later; until it has, no icon of Qt's is made
        // (it would register an item of its own next to ours).
        connect(
            m_statusNotifier.get(), &StatusNotifierItem::watcherChecked, this,
            [this] {
                if (!settleTray())
                    QCoreApplication::exit(1);
            },
            Qt::SingleShotConnection);
    } else if (!settleTray()) {
        return false;
    }
    // The icon first, so that it appears at once; the panel is made on the
    // next turn of the event loop, before any click can reach the icon.
    QTimer::singleShot(0, this, [this] {
        if (!ensurePopover())
            QCoreApplication::exit(1);
    });
    return true;
}

bool TrayShell::settleTray() {
    if (!m_statusNotifier->isActive()) {
        // Shown even without a tray host: on X11 the icon docks by itself
        // when a host turns up later.
        showXEmbedIcon();
    }
    if (trayAvailable())
        return true;
    if (!ensurePopover())
        return false;
    showPanel();
    return true;
}

bool TrayShell::ensurePopover() {
    if (m_popover)
        return true;
    auto popover = std::make_unique<PopoverWindow>(&m_engine);
    const QString errors = popover->load(
        m_resources.popoverView, {{QStringLiteral("viewModel"), QVariant::fromValue(m_model)}});
    if (!errors.isEmpty()) {
        reportLoadFailure(errors);
        return false;
    }
    connect(popover.get(), &PopoverWindow::settingsRequested, this, &TrayShell::openSettings);
    connect(popover.get(), &PopoverWindow::closedAsWindow, this, &TrayShell::onPanelClosedAsWindow);
    connect(popover.get(), &QWindow::visibilityChanged, this, &TrayShell::updateModelOnScreen);
    m_popover = std::move(popover);
    return true;
}

bool TrayShell::ensureSettings() {
    if (m_settings)
        return true;
    auto settings = std::make_unique<SettingsWindow>(&m_engine);
    QVariantMap properties{{QStringLiteral("viewModel"), QVariant::fromValue(m_model)},
                           {QStringLiteral("loginItem"), QVariant::fromValue(&m_loginItem)}};
    if (m_notifier)
        properties.insert(QStringLiteral("notifier"), QVariant::fromValue(m_notifier));
    const QString errors = settings->load(m_resources.settingsView, properties);
    if (!errors.isEmpty()) {
        reportLoadFailure(errors);
        return false;
    }
    connect(settings.get(), &QWindow::visibilityChanged, this, &TrayShell::updateModelOnScreen);
    m_settings = std::move(settings);
    return true;
}

void TrayShell::showPanel() {
    if (!ensurePopover())
        return;
    // A panel that hides when it loses the focus needs an icon to come back
    // from; without a tray host it is an ordinary window.
    if (trayAvailable()) {
        const QRect geometry = popoverGeometry();
        const bool appearing = !m_popover->isVisible();
        if (appearing)
            m_popover->setPanelHeight(geometry.height());
        if (appearing && m_wlroots)
            placeOnSway(geometry.topLeft());
        m_popover->present(PopoverWindow::Mode::Popover, geometry.topLeft());
    } else {
        const QScreen *screen = QGuiApplication::primaryScreen();
        std::optional<QPoint> centred;
        if (screen && !m_popover->isVisible()) {
            const QRect area = screen->availableGeometry();
            m_popover->setPanelHeight(area.height());
            centred = area.center() - QPoint(m_popover->width() / 2, m_popover->height() / 2);
        }
        m_popover->present(PopoverWindow::Mode::Window, centred);
    }
}

void TrayShell::togglePanel() {
    if (!ensurePopover())
        return;
    if (m_popover->isVisible() && m_popover->mode() == PopoverWindow::Mode::Popover) {
        m_popover->hide();
        return;
    }
    if (m_popover->justLostFocus())
        return; // this very click took the focus away and so closed it
    showPanel();
}

void TrayShell::openSettings() {
    if (!ensureSettings())
        return;
    if (!m_settings->isVisible()) {
        const QScreen *screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (screen)
            m_settings->setPosition(screen->availableGeometry().center() -
                                    QPoint(m_settings->width() / 2, m_settings->height() / 2));
    }
    m_settings->open();
}

void TrayShell::onTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        togglePanel();
    } else if (reason == QSystemTrayIcon::DoubleClick) {
        // The second press of a double click comes as this instead of a
        // Trigger. Users who double-click tray icons out of habit want the
        // panel open, not opened and closed again.
        if (!m_popover || !m_popover->isVisible())
            showPanel();
    }
}

void TrayShell::updateModelOnScreen() {
    const auto onScreen = [](const QWindow *window) {
        return window && window->visibility() != QWindow::Hidden &&
               window->visibility() != QWindow::Minimized;
    };
    m_model->setOnScreen(onScreen(m_popover.get()) || onScreen(m_settings.get()));
}

void TrayShell::onPanelClosedAsWindow() {
    // The window was the only way to the program; once a tray host exists
    // the icon is, and closing the window just puts the program there.
    if (!trayAvailable())
        QCoreApplication::quit();
}

void TrayShell::onStatusNotifierActivated(QPoint position) {
    rememberClick(position);
    togglePanel();
}

void TrayShell::rememberClick(QPoint position) {
    // The icon stays where it is; a later click that comes without a usable
    // position, or "Open Quayline" from the menu, opens the panel at the same place.
    if (position.isNull())
        return;
    if (m_pointerKnown)
        position = PopoverPlacement::hostClick(position, QCursor::pos());
    const QScreen *screen = QGuiApplication::screenAt(position);
    if (PopoverPlacement::isTrustedClick(position, screen ? screen->geometry() : QRect(),
                                         screen ? screen->availableGeometry() : QRect(),
                                         m_clickPosition))
        m_clickPosition = position;
}

void TrayShell::onStatusNotifierActiveChanged(bool active) {
    if (active) {
        if (m_tray)
            m_tray->hide();
    } else {
        m_clickPosition.reset();
        showXEmbedIcon();
    }
}

bool TrayShell::trayAvailable() const {
    if (m_statusNotifier->isActive())
        return true;
    // Asked only once our item is out of the way: the first question settles
    // which kind of icon Qt makes for the rest of the process.
    return m_tray && QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayShell::showXEmbedIcon() {
    if (!m_tray) {
        m_tray = std::make_unique<QSystemTrayIcon>(m_icon);
        m_tray->setToolTip(tr("Quayline"));
        m_tray->setContextMenu(&m_menu);
        connect(m_tray.get(), &QSystemTrayIcon::activated, this, &TrayShell::onTrayActivated);
    }
    m_tray->show();
}

QRect TrayShell::popoverGeometry() const {
    if (m_wlroots && m_statusNotifier->isActive())
        return wlrootsPopoverGeometry();
    PopoverPlacement placement;
    // A StatusNotifier host tells where the click was, and Qt's icon knows
    // nothing; the X11 tray tells where the icon is. Where a StatusNotifier
    // host has not told (GNOME's menu, a host's own menu), the panel goes to
    // the tray's corner: the pointer's last known place is no guide, since
    // under XWayland it is wherever the pointer last crossed an X11 window.
    if (m_statusNotifier->isActive()) {
        placement.cursor = m_clickPosition.value_or(QPoint());
    } else {
        if (m_tray)
            placement.iconGeometry = m_tray->geometry();
        if (placement.iconGeometry.isEmpty())
            placement.cursor = QCursor::pos();
    }
    placement.size = m_popover->naturalSize();
    const QPoint anchor =
        placement.iconGeometry.isEmpty() ? placement.cursor : placement.iconGeometry.center();
    const QScreen *screen = placement.iconGeometry.isEmpty() && placement.cursor.isNull()
                                ? QGuiApplication::primaryScreen()
                                : QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        placement.screenGeometry = screen->geometry();
        placement.availableGeometry = screen->availableGeometry();
    }
    return placement.geometry();
}

QRect TrayShell::wlrootsPopoverGeometry() const {
    // The bar is found from what it leaves free of its output; the pointer
    // and Qt's available area know nothing of it here.
    const QRect usable = WlrootsBar::usableArea([](const char *name) { return qgetenv(name); });
    const QScreen *screen = usable.isValid() ? QGuiApplication::screenAt(usable.center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    PopoverPlacement placement;
    placement.size = m_popover->naturalSize();
    if (!screen)
        return {QPoint(), placement.size};
    placement.screenGeometry = screen->geometry();
    placement.availableGeometry = usable.isValid() ? usable : screen->availableGeometry();
    placement.cursor = WlrootsBar::trayAnchor(placement.screenGeometry, usable, m_clickPosition);
    return placement.geometry();
}

void TrayShell::placeOnSway(QPoint topLeft) {
    // sway centres the floating window as it maps it, whatever it asked for;
    // a rule given ahead places it before its first frame. The other wlroots
    // compositors have no such IPC.
    const bool nativeWayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    const QByteArray role =
        WlrootsBar::placeWhenMapped([](const char *name) { return qgetenv(name); },
                                    QCoreApplication::applicationPid(), topLeft, nativeWayland);
    if (!role.isEmpty())
        m_popover->renewNativeWindow(role, nativeWayland);
}
