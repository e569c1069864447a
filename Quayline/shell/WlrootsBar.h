#pragma once

#include "Quayline/shell/DisplayCheck.h"

#include <QPoint>
#include <QRect>
#include <QString>
#include <optional>

// The tray on the wlroots compositors (sway, Hyprland, river, labwc) as seen
// from XWayland. Their bars are layer-shell surfaces that X11 knows nothing
// of: the screen's available area is the whole screen, the pointer's place is
// stale while it is over the bar, and waybar reports a click's position inside
// the icon rather than on the screen. The compositors centre every floating
// window they manage whatever position it asks for. One they do not manage
// (override-redirect) stays where it asks to be, but never gets the X11 input
// focus: their window manager sends every focus request of a client back to
// the managed window it last focused, so typing could not reach the filter.
// sway (and i3) move a managed floating window on request through their IPC.
// A native Wayland window cannot place itself anywhere, but sway places it
// too when a rule it was given ahead names the window.
namespace WlrootsBar {

// True where the program runs on XWayland under one of those compositors, or
// natively on sway's Wayland.
bool isWlrootsSession(const DisplayCheck::Getenv &getenv, const QString &platformName);

// The output's area that the bars leave free, in the compositor's layout
// coordinates (XWayland's too), as sway (or i3) tells through its IPC socket
// ($SWAYSOCK, else $I3SOCK): the focused workspace's rectangle. Empty when no
// such compositor answers within a moment.
QRect usableArea(const DisplayCheck::Getenv &getenv);

// Where the panel is to be anchored: a point at the tray's edge beside the
// icon. A reported position is kept when it can be one on the screen, in the
// strip a bar leaves outside the usable area; one inside a small box at the
// screen's origin is a position inside the icon and tells nothing. Without a
// trusted position: the end of the bar where trays sit (its right end, the
// bottom end of a bar at the side), or the top right corner when no bar is
// known.
QPoint trayAnchor(const QRect &screen, const QRect &usable, std::optional<QPoint> reported);

// Asks sway to put this process's windows of a name of their own at topLeft,
// in layout coordinates, as it maps them: the rule runs before the window's
// first frame, where a move after it appears shows it centred for a frame or
// more. sway runs a rule once per window and keeps one rule per text, so a
// name stands for one place (one rule however often the panel opens there),
// and a window shown anew must be a new window. The name is an X11 window's
// role; a native Wayland window has none, so there it is the title the window
// maps with (nativeWayland), which the rule also floats without a border, as
// X11's utility windows are. The name to give the window; empty when no
// compositor with that IPC takes the rule.
QByteArray placeWhenMapped(const DisplayCheck::Getenv &getenv, qint64 pid, QPoint topLeft,
                           bool nativeWayland = false);

} // namespace WlrootsBar
