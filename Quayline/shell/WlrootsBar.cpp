#include "Quayline/shell/WlrootsBar.h"

#include "Quayline/shell/PopoverPlacement.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QtEndian>
#include <algorithm>

namespace WlrootsBar {

namespace {

// An answer from the compositor's own socket takes a millisecond; a
// compositor that cannot give one in this long is not going to.
constexpr int ipcTimeoutMs = 300;

constexpr char ipcMagic[] = "i3-ipc";
constexpr qsizetype ipcMagicLength = sizeof ipcMagic - 1;
constexpr quint32 ipcRunCommand = 0;
constexpr quint32 ipcGetWorkspaces = 1;

QString ipcSocket(const DisplayCheck::Getenv &getenv) {
    const QByteArray sway = getenv("SWAYSOCK");
    return QString::fromLocal8Bit(sway.isEmpty() ? getenv("I3SOCK") : sway);
}

QRect rectOf(const QJsonObject &object) {
    const QJsonObject rect = object.value(QLatin1String("rect")).toObject();
    return {rect.value(QLatin1String("x")).toInt(), rect.value(QLatin1String("y")).toInt(),
            rect.value(QLatin1String("width")).toInt(),
            rect.value(QLatin1String("height")).toInt()};
}

// One request and its reply over the i3 IPC protocol: the magic string, the
// payload's length and the message type in the host's byte order, the payload.
QByteArray ipcRequest(const QString &socketPath, quint32 type, const QByteArray &payload = {}) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(ipcTimeoutMs))
        return {};
    QByteArray request(ipcMagic, ipcMagicLength);
    const quint32 header[2] = {quint32(payload.size()), type};
    request.append(reinterpret_cast<const char *>(header), sizeof header);
    request.append(payload);
    socket.write(request);
    if (!socket.waitForBytesWritten(ipcTimeoutMs))
        return {};
    const qsizetype headerLength = ipcMagicLength + 2 * sizeof(quint32);
    QByteArray reply;
    while (reply.size() < headerLength) {
        if (!socket.waitForReadyRead(ipcTimeoutMs))
            return {};
        reply += socket.readAll();
    }
    if (!reply.startsWith(ipcMagic))
        return {};
    const quint32 length = qFromUnaligned<quint32>(reply.constData() + ipcMagicLength);
    // The workspaces of any sane setup fit in far less.
    if (length > (1u << 22))
        return {};
    while (reply.size() < headerLength + qsizetype(length)) {
        if (!socket.waitForReadyRead(ipcTimeoutMs))
            return {};
        reply += socket.readAll();
    }
    return reply.mid(headerLength, length);
}

} // namespace

bool isWlrootsSession(const DisplayCheck::Getenv &getenv, const QString &platformName) {
    // Natively only on sway: elsewhere a native Wayland window cannot be
    // placed at all.
    if (platformName.startsWith(QLatin1String("wayland")))
        return !getenv("WAYLAND_DISPLAY").isEmpty() && !getenv("SWAYSOCK").isEmpty();
    if (platformName != QLatin1String("xcb") || getenv("WAYLAND_DISPLAY").isEmpty())
        return false;
    if (!getenv("SWAYSOCK").isEmpty() || !getenv("HYPRLAND_INSTANCE_SIGNATURE").isEmpty() ||
        !getenv("LABWC_PID").isEmpty())
        return true;
    const QList<QByteArray> desktops = getenv("XDG_CURRENT_DESKTOP").toLower().split(':');
    return std::any_of(desktops.begin(), desktops.end(), [](const QByteArray &desktop) {
        for (const char *name : {"sway", "hyprland", "river", "labwc", "wayfire", "wlroots"})
            if (desktop == name)
                return true;
        return false;
    });
}

QRect usableArea(const DisplayCheck::Getenv &getenv) {
    const QString socketPath = ipcSocket(getenv);
    if (socketPath.isEmpty())
        return {};
    const QJsonArray workspaces =
        QJsonDocument::fromJson(ipcRequest(socketPath, ipcGetWorkspaces)).array();
    for (const QJsonValue &workspace : workspaces) {
        const QJsonObject object = workspace.toObject();
        if (object.value(QLatin1String("focused")).toBool())
            return rectOf(object);
    }
    return {};
}

QPoint trayAnchor(const QRect &screen, const QRect &usable, std::optional<QPoint> reported) {
    const QRect area = usable.isValid() && screen.contains(usable) ? usable : screen;
    // A position in the origin box is one inside the icon.
    const bool insideIconBox = reported && PopoverPlacement::inOriginBox(*reported, screen);
    if (reported && !insideIconBox && screen.contains(*reported) && !area.contains(*reported))
        return *reported; // in a bar's strip: where the icon is
    if (reported && !insideIconBox && area == screen && screen.contains(*reported))
        return *reported; // no bar known: a host that sends screen positions

    // The bar's strip is what the usable area leaves of the screen. Trays sit
    // at a horizontal bar's right end and at a vertical bar's bottom end.
    const int top = area.top() - screen.top();
    const int bottom = screen.bottom() - area.bottom();
    const int left = area.left() - screen.left();
    const int right = screen.right() - area.right();
    if (bottom > 0 && bottom >= top && bottom >= left && bottom >= right)
        return {area.right(), screen.bottom() - bottom / 2};
    if (left > 0 && left > top && left >= right)
        return {screen.left() + left / 2, area.bottom()};
    if (right > 0 && right > top)
        return {screen.right() - right / 2, area.bottom()};
    if (top > 0)
        return {area.right(), screen.top() + top / 2};
    // No bar known: waybar's own default is the top edge.
    return {screen.right(), screen.top()};
}

QByteArray placeWhenMapped(const DisplayCheck::Getenv &getenv, qint64 pid, QPoint topLeft,
                           bool nativeWayland) {
    const QString socketPath = ipcSocket(getenv);
    if (socketPath.isEmpty())
        return {};
    // Letters, digits and dashes only: nothing to escape in the rule.
    const QByteArray role =
        QStringLiteral("quayline-panel-%1-%2").arg(topLeft.x()).arg(topLeft.y()).toLatin1();
    // Qt adds the application's name to a Wayland window's title. sway
    // splits a command at its commas unless they are quoted.
    const QString criteria = nativeWayland
                                 ? QStringLiteral("[pid=%1 shell=\"xdg_shell\" title=\"^%2( |$)\"]")
                                 : QStringLiteral("[pid=%1 window_role=\"^%2$\" floating]");
    const QString move =
        QStringLiteral("move absolute position %1 %2").arg(topLeft.x()).arg(topLeft.y());
    const QString command =
        QStringLiteral("for_window %1 %2")
            .arg(criteria.arg(pid).arg(QString::fromLatin1(role)),
                 nativeWayland ? "\"floating enable, border none, " + move + '"' : move);
    // One result per command: [{"success": true}], also for a rule it had.
    const QJsonArray results =
        QJsonDocument::fromJson(ipcRequest(socketPath, ipcRunCommand, command.toUtf8())).array();
    const bool taken =
        !results.isEmpty() && results.first().toObject().value(QLatin1String("success")).toBool();
    return taken ? role : QByteArray();
}

} // namespace WlrootsBar
