#pragma once

#include "Quayline/shell/DisplayCheck.h"

#include <QByteArray>

// On Wayland a program cannot place its own windows, so a panel opened from
// the tray lands wherever the compositor puts it, most often the middle of
// the screen. X11 clients may place theirs, and under XWayland they still
// can. So in a Wayland session that also offers XWayland, and where the user
// has not chosen a Qt platform, the program runs on XWayland; with native
// Wayland only it runs there and the compositor places the panel.
namespace PlatformChoice {

// The QT_QPA_PLATFORM to use, judged from the environment; empty to leave
// Qt's own choice.
QByteArray preferredPlatform(const DisplayCheck::Getenv &getenv);

// Sets QT_QPA_PLATFORM for this process when preferredPlatform() says so.
// True when it did; call restore() once QApplication exists, so that the
// programs Quayline starts do not inherit the choice.
bool apply();
void restore();

} // namespace PlatformChoice
