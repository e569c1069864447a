#include "Quayline/shell/DisplayCheck.h"

#include <QByteArrayList>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace DisplayCheck {

namespace {

QtMessageHandler previousHandler = nullptr;

void fatalStartHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type != QtFatalMsg) {
        if (previousHandler)
            previousHandler(type, context, message);
        return;
    }
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    std::fprintf(stderr,
                 "quayline: cannot connect to the window system (DISPLAY=%s, WAYLAND_DISPLAY=%s).\n"
                 "Quayline is a desktop program; start it from a graphical session.\n",
                 display.isEmpty() ? "unset" : display.constData(),
                 wayland.isEmpty() ? "unset" : wayland.constData());
    // _exit: Qt is half constructed, nothing may run its destructors.
    ::_exit(exitStatus);
}

} // namespace

QString missingDisplayReason(const Getenv &getenv) {
    const QByteArray platform = getenv("QT_QPA_PLATFORM").trimmed();
    const bool hasX11 = !getenv("DISPLAY").isEmpty();
    const bool hasWayland = !getenv("WAYLAND_DISPLAY").isEmpty();

    bool acceptsX11 = platform.isEmpty();
    bool acceptsWayland = platform.isEmpty();
    if (!platform.isEmpty()) {
        // A list such as "wayland;xcb" is tried in order; options follow a colon.
        for (const QByteArray &item : platform.split(';')) {
            const int colon = item.indexOf(':');
            const QByteArray name = (colon < 0 ? item : item.left(colon)).trimmed();
            if (name == "xcb")
                acceptsX11 = true;
            else if (name.startsWith("wayland"))
                acceptsWayland = true;
            else if (!name.isEmpty())
                return {}; // a platform that needs no display server
        }
    }
    if ((acceptsX11 && hasX11) || (acceptsWayland && hasWayland))
        return {};

    if (!platform.isEmpty() && acceptsX11 && !acceptsWayland)
        return QStringLiteral("QT_QPA_PLATFORM is %1 but DISPLAY is not set")
            .arg(QString::fromLocal8Bit(platform));
    if (!platform.isEmpty() && acceptsWayland && !acceptsX11)
        return QStringLiteral("QT_QPA_PLATFORM is %1 but WAYLAND_DISPLAY is not set")
            .arg(QString::fromLocal8Bit(platform));
    return QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
}

QString missingDisplayReason() {
    return missingDisplayReason([](const char *name) { return qgetenv(name); });
}

FatalStartGuard::FatalStartGuard() {
    previousHandler = qInstallMessageHandler(fatalStartHandler);
}

FatalStartGuard::~FatalStartGuard() {
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

} // namespace DisplayCheck
