#include "Quayline/shell/PlatformChoice.h"

#include <QtGlobal>

namespace PlatformChoice {

QByteArray preferredPlatform(const DisplayCheck::Getenv &getenv) {
    if (!getenv("QT_QPA_PLATFORM").trimmed().isEmpty())
        return {}; // the user's choice stands
    if (getenv("WAYLAND_DISPLAY").isEmpty() || getenv("DISPLAY").isEmpty())
        return {};
    // Native Wayland stays the fallback should XWayland not answer.
    return "xcb;wayland";
}

bool apply() {
    const QByteArray platform = preferredPlatform([](const char *name) { return qgetenv(name); });
    if (platform.isEmpty())
        return false;
    qputenv("QT_QPA_PLATFORM", platform);
    return true;
}

void restore() {
    qunsetenv("QT_QPA_PLATFORM");
}

} // namespace PlatformChoice
