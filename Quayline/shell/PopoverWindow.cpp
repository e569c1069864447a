#include "Quayline/shell/PopoverWindow.h"

#include <QKeyEvent>
#include <QQuickItem>
#include <algorithm>

namespace {

// Longer than a click takes from press to the tray's activation signal.
constexpr qint64 focusLossClickWindowMs = 400;

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

bool PopoverWindow::justLostFocus() const {
    return m_lostFocus.isValid() && m_lostFocus.elapsed() < focusLossClickWindowMs;
}

void PopoverWindow::applyMode(Mode mode) {
    m_mode = mode;
    if (mode == Mode::Popover)
        setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    else
        setFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

void PopoverWindow::onActiveChanged() {
    if (m_mode == Mode::Popover && !isActive() && isVisible()) {
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

void PopoverWindow::keyPressEvent(QKeyEvent *event) {
    ViewWindow::keyPressEvent(event);
    if (!event->isAccepted() && event->key() == Qt::Key_Escape && m_mode == Mode::Popover) {
        hide();
        event->accept();
    }
}
