#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

// QApplication aborts the process when it cannot open a display. A tray
// program started from a login script, over ssh or by a service manager has
// no display more often than one would think, so these give a plain message
// and an exit status instead of a core dump.
namespace DisplayCheck {

using Getenv = std::function<QByteArray(const char *)>;

// Why no window system can be reached, judged from the environment before
// QApplication exists; empty when a display seems to be there. Only the
// platforms that need a display server are judged (xcb, wayland); any other
// QT_QPA_PLATFORM (offscreen, vnc, eglfs...) is left to Qt.
QString missingDisplayReason(const Getenv &getenv);
QString missingDisplayReason();

// Turns Qt's fatal "could not initialise a platform plugin" (a display that
// is named but does not answer) into the same message and exit status, for
// as long as the returned guard lives. Install it just before constructing
// QApplication and drop it right after.
class FatalStartGuard {
public:
    FatalStartGuard();
    ~FatalStartGuard();
    FatalStartGuard(const FatalStartGuard &) = delete;
    FatalStartGuard &operator=(const FatalStartGuard &) = delete;
};

// Status with which the program ends when it has no display.
inline constexpr int exitStatus = 1;

} // namespace DisplayCheck
