#pragma once

#include "Quayline/shell/ViewWindow.h"

#include <QElapsedTimer>
#include <optional>

// The panel window. Next to a tray icon it behaves like a popover: frameless,
// above other windows, gone as soon as it loses the focus or on Escape.
// Without a tray host it is an ordinary window instead, since nothing else
// would let the user reach the program.
class PopoverWindow : public ViewWindow {
    Q_OBJECT

public:
    enum class Mode { Popover, Window };

    explicit PopoverWindow(QQmlEngine *engine);

    Mode mode() const { return m_mode; }

    // Shows the panel in the given mode, at topLeft when given, and gives it
    // the focus. A panel that was hidden counts as shown anew: the view's
    // shown() runs (its scan and timer restart). One already on screen is
    // only raised, unless the mode changes, which needs a new window.
    void present(Mode mode, std::optional<QPoint> topLeft = std::nullopt);

    // The view's own size, before any fitting to a small screen.
    QSize naturalSize() const;
    // Makes the panel as tall as given, at most its natural height: on a
    // screen too small for it the list gives up the height.
    void setPanelHeight(int height);

    // Makes the hidden panel's window anew on its next showing, named as
    // given: a compositor's rules for a window run once, as it first maps it.
    // The name is the X11 window role; on Wayland, which has no roles, the
    // title the window maps with, the usual one back after its first frame.
    void renewNativeWindow(const QByteArray &role, bool asTitle = false);

    // True for a moment after the popover hid because it lost the focus. The
    // click on the tray icon that took the focus away must close the panel,
    // not open it again.
    bool justLostFocus() const;

signals:
    // The view's settings link.
    void settingsRequested();
    // The user closed the panel while it was an ordinary window.
    void closedAsWindow();

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void applyMode(Mode mode);
    void refreshX11Time();
    void onActiveChanged();

    Mode m_mode = Mode::Popover;
    mutable QSize m_naturalSize;
    QElapsedTimer m_lostFocus;
    quint32 m_timeAtom = 0; // X11's name for the property refreshX11Time() touches
    // On X11: whether the server has given this showing of the panel the
    // focus yet (see onActiveChanged()), and which showing it is.
    bool m_focusGiven = false;
    quint32 m_showing = 0;
};
