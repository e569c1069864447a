#include "Quayline/shell/TrayShell.h"

#include "Quayline/shell/PopoverPlacement.h"
#include "Quayline/shell/PopoverWindow.h"
#include "Quayline/shell/SettingsWindow.h"
#include "viewmodel/PortListViewModel.h"

#include <QApplication>
#include <QCursor>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QSvgRenderer>
#include <QTimer>
#include <cstdio>

namespace {

// The glyph is monochrome; it is drawn in the palette's text colour, which
// matches the desktop's light or dark panels far more often than black does.
QIcon tintedGlyph(const QString &svgPath, const QColor &colour) {
    QSvgRenderer renderer(svgPath);
    if (!renderer.isValid())
        return {};
    QIcon icon;
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter, QRectF(0, 0, side, side));
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), colour);
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

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

    m_tray.setToolTip(tr("Quayline"));
    m_tray.setContextMenu(&m_menu);
    connect(&m_tray, &QSystemTrayIcon::activated, this, &TrayShell::onTrayActivated);
    qApp->installEventFilter(this);
}

TrayShell::~TrayShell() {
    qApp->removeEventFilter(this);
    // Windows before the engine that made their views (members go in reverse order anyway).
    m_settings.reset();
    m_popover.reset();
}

bool TrayShell::start() {
    updateTrayIcon();
    // Shown even without a tray host: on X11 the icon docks by itself when a
    // host turns up later.
    m_tray.show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (!ensurePopover())
            return false;
        showPanel();
        return true;
    }
    // The icon first, so that it appears at once; the panel is made on the
    // next turn of the event loop, before any click can reach the icon.
    QTimer::singleShot(0, this, [this] {
        if (!ensurePopover())
            QCoreApplication::exit(1);
    });
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
    m_popover = std::move(popover);
    return true;
}

bool TrayShell::ensureSettings() {
    if (m_settings)
        return true;
    auto settings = std::make_unique<SettingsWindow>(&m_engine);
    const QString errors =
        settings->load(m_resources.settingsView,
                       {{QStringLiteral("viewModel"), QVariant::fromValue(m_model)},
                        {QStringLiteral("loginItem"), QVariant::fromValue(&m_loginItem)}});
    if (!errors.isEmpty()) {
        reportLoadFailure(errors);
        return false;
    }
    m_settings = std::move(settings);
    return true;
}

void TrayShell::showPanel() {
    if (!ensurePopover())
        return;
    // A panel that hides when it loses the focus needs an icon to come back
    // from; without a tray host it is an ordinary window.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_popover->present(PopoverWindow::Mode::Popover, popoverPosition());
    } else {
        const QScreen *screen = QGuiApplication::primaryScreen();
        std::optional<QPoint> centred;
        if (screen && !m_popover->isVisible())
            centred = screen->availableGeometry().center() -
                      QPoint(m_popover->width() / 2, m_popover->height() / 2);
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

void TrayShell::onPanelClosedAsWindow() {
    // The window was the only way to the program; once a tray host exists
    // the icon is, and closing the window just puts the program there.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        QCoreApplication::quit();
}

QPoint TrayShell::popoverPosition() const {
    PopoverPlacement placement;
    placement.iconGeometry = m_tray.geometry();
    placement.cursor = QCursor::pos();
    placement.size = m_popover->size();
    const QPoint anchor =
        placement.iconGeometry.isEmpty() ? placement.cursor : placement.iconGeometry.center();
    const QScreen *screen = QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (screen) {
        placement.screenGeometry = screen->geometry();
        placement.availableGeometry = screen->availableGeometry();
    }
    return placement.topLeft();
}

void TrayShell::updateTrayIcon() {
    m_tray.setIcon(tintedGlyph(m_resources.trayGlyph, QGuiApplication::palette().color(
                                                          QPalette::Active, QPalette::WindowText)));
}

bool TrayShell::eventFilter(QObject *watched, QEvent *event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange)
        updateTrayIcon();
    return QObject::eventFilter(watched, event);
}
