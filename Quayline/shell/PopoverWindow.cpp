#include "Quayline/shell/PopoverWindow.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QQuickItem>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace {

// Longer than a click takes from press to the tray's activation signal.
constexpr qint64 focusLossClickWindowMs = 400;

// The popover is a utility window to X11 window managers (kept out of task
// lists, no decorations), as Qt::Tool would make it. Qt::Tool itself also
// sets WM_TRANSIENT_FOR, and with no parent window Qt names its client
// leader there, an unmapped window: GNOME's window manager logs "Invalid
// WM_TRANSIENT_FOR" for it. So the window is an ordinary one whose X11 type
// Qt's xcb platform takes from this property (its utility bit).
constexpr const char *xcbWindowTypeProperty = "_q_xcb_wm_window_type";
constexpr int xcbUtilityType = 0x20;
// And the X11 window role from this one, as the window is made.
constexpr const char *xcbWindowRoleProperty = "_q_xcb_wm_window_role";

} // namespace

PopoverWindow::PopoverWindow(QQmlEngine *engine)
    : ViewWindow(engine) {
    setTitle(tr("Quayline"));
    applyMode(Mode::Popover);
    connect(this, &QWindow::activeChanged, this, &PopoverWindow::onActiveChanged);
    // The view's root is connected once it exists; until then there is nothing to forward.
    connect(this, &QQuickView::statusChanged, this, [this](QQuickView::Status status) {
        if (status == QQuickView::Ready && rootObject())
            connect(rootObject(), SIGNAL(settingsRequested()), this, SIGNAL(settingsRequested()),
                    Qt::UniqueConnection);
    });
}

void PopoverWindow::present(Mode mode, std::optional<QPoint> topLeft) {
    if (isVisible() && mode != m_mode)
        hide();
    const bool appearing = !isVisible();
    if (appearing) {
        applyMode(mode);
        if (topLeft)
            setPosition(*topLeft);
        m_focusGiven = false;
        ++m_showing;
        refreshX11Time();
        show();
    }
    raise();
    requestActivate();
    if (appearing)
        notifyShown();
}

QSize PopoverWindow::naturalSize() const {
    if (!m_naturalSize.isValid())
        m_naturalSize = size();
    return m_naturalSize;
}

void PopoverWindow::setPanelHeight(int height) {
    const QSize natural = naturalSize();
    const QSize fitted(natural.width(), std::clamp(height, 1, natural.height()));
    if (fitted == size())
        return;
    setMinimumSize(fitted);
    setMaximumSize(fitted);
    // The window follows its root item's size.
    if (QQuickItem *root = rootObject())
        root->setSize(fitted);
    resize(fitted);
}

void PopoverWindow::refreshX11Time() {
    // The panel often opens on a click the program hears of over D-Bus (a
    // StatusNotifier host's), not through X11, so Qt's last X11 timestamp
    // can be older than the user's last click elsewhere; window managers
    // that prevent focus stealing (GNOME's) then refuse the focus asked for
    // with it. Appending nothing to a property of the window makes the server
    // send a PropertyNotify carrying its current time, which Qt takes as its
    // own. It arrives before the window's MapNotify, where Qt asks for the
    // focus of a window that was not yet mapped.
    // Other platforms (offscreen among them) may answer for X11 without a connection.
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !connection)
        return;
    if (!m_timeAtom) {
        static const char name[] = "_QUAYLINE_TIME";
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, false, std::strlen(name), name), nullptr);
        if (!reply)
            return;
        m_timeAtom = reply->atom;
        std::free(reply);
    }
    create();
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, xcb_window_t(winId()), m_timeAtom,
                        XCB_ATOM_STRING, 8, 0, nullptr);
    xcb_flush(connection);
}

void PopoverWindow::renewNativeWindow(const QByteArray &role, bool asTitle) {
    if (isVisible())
        return;
    destroy();
    if (!asTitle) {
        setProperty(xcbWindowRoleProperty, role);
        return;
    }
    setTitle(QString::fromLatin1(role));
    // The compositor reads the title as the first frame maps the window; a
    // title set later comes after that.
    connect(
        this, &QQuickWindow::frameSwapped, this, [this] { setTitle(tr("Quayline")); },
        Qt::SingleShotConnection);
}

bool PopoverWindow::justLostFocus() const {
    return m_lostFocus.isValid() && m_lostFocus.elapsed() < focusLossClickWindowMs;
}

void PopoverWindow::applyMode(Mode mode) {
    m_mode = mode;
    // The X11 window type is read from this property whenever the flags are
    // set, so it goes first.
    setProperty(xcbWindowTypeProperty, mode == Mode::Popover ? xcbUtilityType : 0);
    if (mode == Mode::Popover)
        setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    else
        setFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

void PopoverWindow::onActiveChanged() {
    // On X11, Qt takes a window as active as soon as it asks the window
    // manager for the focus, and takes that back by itself 100 ms after
    // another of its windows lost the focus, unless the server has meanwhile
    // focused one of them. The tray menu's "Open Quayline" does both: the
    // menu's keyboard grab ends as the panel shows. A window manager slower
    // than that (budgie-wm on a busy machine) would have the panel hide
    // before it was ever focused; a focus the panel never had is not lost.
    const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb");
    if (m_mode == Mode::Popover && !isActive() && isVisible() && (m_focusGiven || !x11)) {
        m_lostFocus.start();
        hide();
    }
}

bool PopoverWindow::event(QEvent *event) {
    const bool closing = event->type() == QEvent::Close;
    const bool handled = ViewWindow::event(event);
    if (closing && event->isAccepted() && m_mode == Mode::Window)
        emit closedAsWindow();
    return handled;
}

bool PopoverWindow::nativeEvent(const QByteArray &eventType, void *message, qintptr *result) {
    // As Qt does, not the focus that only follows the pointer over the window.
    const auto focusIn = [](const auto *event) {
        return (event->response_type & ~0x80) == XCB_FOCUS_IN &&
               event->detail != XCB_NOTIFY_DETAIL_POINTER;
    };
    if (eventType == "xcb_generic_event_t" &&
        focusIn(static_cast<const xcb_focus_in_event_t *>(message))) {
        // Counted once Qt has acted on the X11 events read with this one: a
        // deactivation of its own making may still be queued before it.
        QMetaObject::invokeMethod(
            this,
            [this, showing = m_showing] { m_focusGiven = m_focusGiven || showing == m_showing; },
            Qt::QueuedConnection);
    }
    return ViewWindow::nativeEvent(eventType, message, result);
}

void PopoverWindow::keyPressEvent(QKeyEvent *event) {
    ViewWindow::keyPressEvent(event);
    if (!event->isAccepted() && event->key() == Qt::Key_Escape && m_mode == Mode::Popover) {
        hide();
        event->accept();
    }
}
