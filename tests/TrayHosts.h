#pragma once

// One driver for the tray program in real tray hosts, headless. A Session is
// one host's desktop in a private home: its display, session bus and
// programs, and the ways the test uses and sees it (clicks, typing,
// screenshots, the program's windows). Each host is one row of `table` at the
// end with its start-up recipe, which sets what differs from X11's defaults;
// the steps every host must pass are in tst_tray_hosts.cpp.
//
// Safety: every process signalled here is one the test started, by the pid
// QProcess got then (setpriv and the programs it runs exec in place, so that
// pid is the program's own).

#include "KWinWayland.h"
#include "KernelFixtures.h"
#include "Quayline/shell/StatusNotifierTypes.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QDir>
#include <QHash>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <deque>
#include <functional>
#include <sys/prctl.h>
#include <xcb/xcb.h>

namespace trayhosts {

// Generous, for a sanitizer build on two busy cores.
constexpr int startMs = 120000;
constexpr int stepMs = 30000;
const QSize screenSize(1280, 800);
const QSize panelSize(380, 460);
// Tray icons are at most this big.
constexpr int largestIcon = 64;
// Every host here keeps its tray at the top bar's right end, right of this.
constexpr int trayAreaLeft = 800;
const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");

// Polls until the condition holds or the time is up; true when it held.
// (Asked once more after it held, a condition on a moving window or a
// screenshot could say otherwise.)
template <typename Condition> bool waitFor(Condition condition, int ms = stepMs) {
    const QDeadlineTimer deadline(ms);
    for (bool holds = condition(); !holds; holds = condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

// Only for processes this test started: QProcess signals the pid start() gave.
inline void endProcess(QProcess &process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished(10000);
}

// The shortest distance from a point to a rectangle (0 inside it).
inline int distance(QPoint p, const QRect &r) {
    const int dx = std::max({r.left() - p.x(), 0, p.x() - r.right()});
    const int dy = std::max({r.top() - p.y(), 0, p.y() - r.bottom()});
    return std::max(dx, dy);
}

inline QString describe(const QRect &r) {
    return QStringLiteral("%1x%2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

// The bounding box of the pixels in area (but not in ignored) that differ
// between two screenshots by more than the threshold, over red, green and blue.
inline QRect changed(const QImage &a, const QImage &b, const QRect &area, int threshold = 90,
                     const QRect &ignored = {}) {
    QRect found;
    const QRect in = area & a.rect();
    for (int y = in.top(); a.size() == b.size() && y <= in.bottom(); ++y) {
        for (int x = in.left(); x <= in.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            const int d = std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                          std::abs(qBlue(p) - qBlue(q));
            if (d > threshold && !ignored.contains(x, y))
                found |= QRect(x, y, 1, 1);
        }
    }
    return found;
}

class Session {
public:
    // asUser: when the test runs as root, the desktop and the program run as
    // an ordinary user it makes (sway refuses root; the program then sees
    // root's ports only through the kernel).
    Session(const QString &program, bool asUser, int barHeight = 0)
        : barHeight(barHeight)
        , m_busName(QStringLiteral("trayhosts-%1").arg(quintptr(this))) {
        home = m_dir.path();
        const QString name = QFileInfo(program).fileName();
        className = '^' + QRegularExpression::escape(name) + '$';
        this->program = program;
        if (asUser && ::geteuid() == 0) {
            user.emplace("quayline-tray");
            // The program as the user can run it: a copy in the user's home.
            this->program = home + '/' + name;
            QFile::copy(program, this->program);
            // X servers make their sockets here; were the folder missing,
            // the first would make it its user's own and keep others out.
            if (::mkdir("/tmp/.X11-unix", 01777) == 0)
                ::chmod("/tmp/.X11-unix", 01777);
        }
        env = QProcessEnvironment::systemEnvironment();
        for (const char *variable :
             {"QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY",
              "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP", "SESSION_MANAGER", "QT_QUICK_BACKEND",
              "QT_SCALE_FACTOR", "SWAYSOCK", "I3SOCK", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
              "XDG_DATA_HOME"})
            env.remove(variable);
        env.insert("HOME", home);
        env.insert("XDG_RUNTIME_DIR", home + "/run"); // private to the user, as it must be
        env.insert("NO_AT_BRIDGE", "1");
        env.insert("QUAYLINE_TEST_REPORT", "1");
        // The suppressions of Qt Quick's own leaks need the slow unwinder's full stacks.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":fast_unwind_on_malloc=0");
        if (user) {
            // The user may not reach the checkout (a clone in a folder of
            // root's alone): the leak suppressions go with the program.
            // (Not print_suppressions, which the pattern would match unanchored.)
            static const QRegularExpression suppressions("(^|:)suppressions=([^:]*)");
            const QString lsan = env.value("LSAN_OPTIONS");
            const QString file = suppressions.match(lsan).captured(2);
            if (!file.isEmpty() && QFile::copy(file, home + "/lsan.supp"))
                env.insert(
                    "LSAN_OPTIONS",
                    QString(lsan).replace(suppressions, "\\1suppressions=" + home + "/lsan.supp"));
        }
        QDir().mkpath(home + "/run");
        QFile::setPermissions(home + "/run",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        write(".config/.keep", {});
    }
    ~Session() {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(m_busName);
        for (auto it = m_processes.rbegin(); it != m_processes.rend(); ++it)
            endProcess(*it);
    }

    // A file under the home, the user's as all of it is.
    bool write(const QString &path, const QByteArray &text) {
        QFile file(home + '/' + path);
        const bool written = QDir().mkpath(QFileInfo(file).path()) &&
                             file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        file.close();
        if (user)
            QProcess::execute("chown", {"-R", user->name + ':' + user->name, home});
        return written;
    }

    // Started as the user, with the session's environment or the one given;
    // ended, at the latest, with the session.
    QProcess &start(const QString &tool, const QStringList &arguments,
                    const std::optional<QProcessEnvironment> &environment = {}) {
        QProcess &process = m_processes.emplace_back();
        launch(process, tool, arguments, environment.value_or(env));
        return process;
    }
    QProcess &startProgram(const std::optional<QProcessEnvironment> &environment = {}) {
        m_appLog.clear();
        return *(m_app = &start(program, {}, environment));
    }

    // Runs a tool as the user to its end; its standard output.
    QByteArray run(const QString &tool, const QStringList &arguments) {
        QProcess process;
        launch(process, tool, arguments, env);
        if (!process.waitForFinished(20000))
            endProcess(process);
        return process.readAllStandardOutput();
    }

    // Started, and the first line it prints; empty when none comes.
    QString firstLine(const QString &tool, const QStringList &arguments) {
        QProcess &process = start(tool, arguments);
        const bool printed = waitFor([&] { return process.canReadLine(); });
        return printed ? QString::fromLatin1(process.readLine().trimmed()) : QString();
    }
    // Xvfb on a display it picks; false when it does not start.
    bool startXvfb() {
        const QString display = firstLine("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24",
                                                   "-nolisten", "tcp", "-noreset"});
        env.insert("DISPLAY", ':' + display);
        return !display.isEmpty();
    }
    // A D-Bus session bus of the test's own; its address, empty on failure.
    QString startBus() {
        return firstLine("dbus-daemon",
                         {"--session", "--nofork", "--nopidfile", "--print-address=1"});
    }

    // The test's own connection to the session bus (when it runs as the bus's user).
    QDBusConnection &bus() {
        if (!m_bus)
            m_bus = QDBusConnection::connectToBus(env.value("DBUS_SESSION_BUS_ADDRESS"), m_busName);
        return *m_bus;
    }
    QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &arguments = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        // Short: the calls run in loops that have their own deadline.
        return callAnswering(bus(), message);
    }
    QVariant property(const QString &service, const QString &path, const QString &interface,
                      const QString &name) {
        const QDBusMessage reply =
            call(service, path, "org.freedesktop.DBus.Properties", "Get", {interface, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    // Chooses a menu entry of the item over dbusmenu, as GNOME's extension
    // does on a click in it (the libdbusmenu hosts' groups of events are the
    // other rows' business).
    bool clickMenu(const QString &service, const QString &label) {
        const QString menu = "com.canonical.dbusmenu";
        const QDBusMessage layout =
            call(service, "/MenuBar", menu, "GetLayout", {0, -1, QStringList()});
        for (const auto &item :
             qdbus_cast<DBusMenuLayoutItem>(layout.arguments().value(1)).children)
            if (item.properties.value("label").toString() == label)
                return call(service, "/MenuBar", menu, "Event",
                            {item.id, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u})
                           .type() == QDBusMessage::ReplyMessage;
        return false;
    }

    QByteArray watcherProperty(const QString &name) {
        return run("dbus-send", {"--session", "--print-reply", "--dest=" + watcherName,
                                 "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
                                 "string:" + watcherName, "string:" + name});
    }
    // Whether the watcher on the bus has its host yet; a program started
    // before that would take the desktop for one without a tray.
    bool hostRegistered() {
        return watcherProperty("IsStatusNotifierHostRegistered").contains("boolean true");
    }

    // Whether a tray has taken the X display's tray selection; a program
    // started before that opens its panel as an ordinary window.
    bool x11TrayOwned() {
        int screen = 0;
        xcb_connection_t *x = xcb_connect(env.value("DISPLAY").toLocal8Bit().constData(), &screen);
        const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
            xcb_connection_has_error(x)
                ? nullptr
                : xcb_intern_atom_reply(x, xcb_intern_atom(x, true, name.size(), name.constData()),
                                        nullptr),
            &std::free);
        std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
            atom && atom->atom
                ? xcb_get_selection_owner_reply(x, xcb_get_selection_owner(x, atom->atom), nullptr)
                : nullptr,
            &std::free);
        xcb_disconnect(x);
        return owner && owner->owner != XCB_NONE;
    }

    // The program's visible windows on the X display: tray icons, or panels
    // (at least the panel's width; its menu is narrower).
    QList<QRect> windows(bool icons) {
        QList<QRect> found;
        QHash<QByteArray, int> values;
        const QByteArray shell = run("xdotool", {"search", "--onlyvisible", "--classname",
                                                 className, "getwindowgeometry", "--shell", "%@"});
        for (const QByteArray &line : shell.split('\n')) {
            const qsizetype eq = line.indexOf('=');
            values.insert(line.left(eq), line.mid(eq + 1).toInt());
            const QRect r(values.value("X"), values.value("Y"), values.value("WIDTH"),
                          values.value("HEIGHT"));
            const bool icon = r.width() <= largestIcon && r.height() <= largestIcon;
            if (line.startsWith("HEIGHT=") && (icons ? icon : r.width() >= panelSize.width()))
                found.append(r);
        }
        return found;
    }
    std::function<QList<QRect>()> panels = [this] { return windows(false); };
    // Whether one of the program's windows has the keyboard (X11's focus,
    // which the compositors under XWayland set to the window they focus).
    std::function<bool()> focused = [this] {
        const QByteArray focus = run("xdotool", {"getwindowfocus"}).trimmed();
        const QByteArray ours = run("xdotool", {"search", "--classname", className});
        return !focus.isEmpty() && ours.split('\n').contains(focus);
    };

    QRect trayArea() const {
        return {trayAreaLeft, 0, screenSize.width() - trayAreaLeft, barHeight};
    }
    // Whether a light bar is drawn across the tray area, where Xvfb's bare
    // root is black: at most a quarter of the area still shows the root. A
    // panel may register its tray before it maps, or map short and grow to
    // the screen's width a moment later; a look taken before that reads the
    // whole bar as the program's icon. Where a wallpaper shows before the
    // bar, what is darker than `root` counts as not yet drawn.
    bool lightBarDrawn(int root = 16) {
        const QImage shot = screenshot();
        const QRect area = trayArea() & shot.rect();
        qsizetype bare = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                bare += qGray(shot.pixel(x, y)) < root;
        return !area.isEmpty() && bare * 4 <= qsizetype(area.width()) * area.height();
    }
    // The first of two screenshots in a row that show the area alike.
    QImage settled(const QRect &area) {
        QImage last = screenshot(), next;
        waitFor([&] {
            next = std::exchange(last, screenshot());
            return !next.isNull() && !changed(next, last, area, 0).isValid();
        });
        return next;
    }

    // The program's last list report in its standard error (see
    // Quayline/shell/ListReport.h): "<count> <pid>:<port>/<protocol> ...".
    QByteArray report() {
        m_appLog += m_app->readAllStandardError();
        const QByteArray marker = "quayline-report: ";
        const qsizetype at = m_appLog.lastIndexOf(marker);
        const qsizetype end = at < 0 ? -1 : m_appLog.indexOf('\n', at);
        return end < 0 ? QByteArray() : m_appLog.mid(at + marker.size(), end - at - marker.size());
    }
    QByteArray appLog() {
        report();
        return m_appLog.right(3000);
    }
    // Why no icon showed, as far as the test can tell: whether the program
    // still runs, what the watcher holds, and what the host said last.
    QByteArray iconMissing() {
        if (host)
            hostLog += host->readAllStandardError() + host->readAllStandardOutput();
        return "program " +
               QByteArray(m_app && m_app->state() == QProcess::Running ? "running"
                                                                       : "not running") +
               "; watcher's items: " +
               watcherProperty("RegisteredStatusNotifierItems").simplified() +
               "\nhost's log: " + hostLog.right(1500) + "\nprogram's log: " + appLog();
    }

    std::optional<TestUser> user;
    QString home, program, className;
    QProcessEnvironment env;
    int barHeight;
    QImage before;            // the screen before the program started
    QProcess *host = nullptr; // whose log must not complain of the program's windows
    QByteArray hostLog;

    // How the test uses and sees this desktop; X11's ways unless the recipe
    // says otherwise.
    std::function<void(QPoint, int button)> click = [this](QPoint at, int button) {
        run("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click",
                        QString::number(button)});
    };
    std::function<void(const QString &)> type = [this](const QString &text) {
        run("xdotool", {"type", "--delay", "30", text});
    };
    QStringList shooter{"import", "-window", "root"}; // writes the screen to the file named after
    std::function<QImage()> screenshot = [this] {
        run(shooter.first(), shooter.mid(1) << home + "/screen.png");
        return QImage(home + "/screen.png");
    };
    // Where the tray shows the program's icon: what changed in the tray
    // area since the program started.
    std::function<QRect()> icon = [this] { return changed(before, screenshot(), trayArea()); };
    // The program's icons: its items with the StatusNotifier watcher, and
    // its X11 tray icons (xfce4-panel's tray takes both kinds).
    int iconCount() {
        return int(watcherProperty("RegisteredStatusNotifierItems").count("StatusNotifierItem-") +
                   windows(true).size());
    }
    // Where the compositor put each of the panel's showings as it mapped it,
    // after its rules ran and before the first frame, where it tells; unset
    // where it does not.
    std::function<QList<QRect>()> placedAtMap;
    // Chooses "Open Quayline", the first entry of the icon's menu: the menu
    // is what the right click changed on the screen, taken as soon as it
    // shows (before any tooltip can), but for the bar around the icon, which
    // may light the icon's button up (lxqt-panel's is wider than the icon).
    // Where a host now and then draws no menu at all, it is asked again
    // after Escape (an X11 key) closes the one it did not draw, within the
    // same time in all.
    int menuAttempts = 1;
    std::function<bool(QRect)> openFromMenu = [this](QRect iconAt) {
        const QRect button(iconAt.left() - barHeight, 0, iconAt.width() + 2 * barHeight, barHeight);
        for (int attempt = 1; attempt <= menuAttempts; ++attempt) {
            if (attempt > 1) {
                qInfo("no menu drawn for a right click; Escape, and again");
                run("xdotool", {"key", "Escape"});
            }
            const QImage shown = screenshot();
            click(iconAt.center(), 3);
            QRect menu;
            if (waitFor(
                    [&] {
                        return (menu = changed(shown, screenshot(), shown.rect(), 90, button))
                            .isValid();
                    },
                    stepMs / menuAttempts)) {
                click({menu.center().x(), menu.top() + 16}, 1);
                return true;
            }
        }
        return false;
    };

private:
    void launch(QProcess &process, const QString &tool, const QStringList &arguments,
                const QProcessEnvironment &environment) {
        process.setProcessEnvironment(environment);
        // Should the test itself die, the kernel ends what it started.
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        const QStringList command = (user ? user->as() << "--" : QStringList()) << tool;
        process.start(command.first(), command.mid(1) + arguments);
    }

    QTemporaryDir m_dir;
    QString m_busName;
    std::optional<QDBusConnection> m_bus;
    std::deque<QProcess> m_processes;
    QProcess *m_app = nullptr;
    QByteArray m_appLog;
};

// --- The hosts' start-up recipes: empty when the host runs, else why not.

inline QString startTrayer(Session &s) {
    // A session bus with no watcher on it: the icon goes to the X11 tray.
    if (!s.startXvfb())
        return "Xvfb did not start";
    s.env.insert("DBUS_SESSION_BUS_ADDRESS", s.startBus());
    s.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                       "24", "--SetDockType", "false", "--SetPartialStrut", "false"});
    s.icon = [&s] { return s.windows(true).value(0); };
    const QStringList trayer{"search", "--onlyvisible", "--class", "trayer"};
    return waitFor([&] { return !s.run("xdotool", trayer).isEmpty(); }, startMs)
               ? QString()
               : "trayer did not start";
}

// One panel along the top edge, a spacer, then the tray; no first-run dialog.
inline QString startXfcePanel(Session &s) {
    s.write(".config/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml", R"(<?xml version="1.0"?>
<channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
 <property name="panels" type="array"><value type="int" value="1"/>
  <property name="panel-1" type="empty">
   <property name="position" type="string" value="p=6;x=0;y=0"/>
   <property name="length" type="uint" value="100"/><property name="size" type="uint" value="26"/>
   <property name="position-locked" type="bool" value="true"/>
   <property name="plugin-ids" type="array"><value type="int" value="1"/><value type="int" value="2"/>
 </property></property></property>
 <property name="plugins" type="empty"><property name="plugin-1" type="string" value="separator">
   <property name="expand" type="bool" value="true"/><property name="style" type="uint" value="0"/>
  </property><property name="plugin-2" type="string" value="systray">
   <property name="square-icons" type="bool" value="true"/></property></property>
</channel>)");
    if (!s.startXvfb())
        return "Xvfb did not start";
    // The bus starts xfconfd on demand, with the private settings above.
    s.env.insert("DBUS_SESSION_BUS_ADDRESS", s.startBus());
    // No window manager on this display; the panel places itself.
    s.start("xfce4-panel", {"--disable-wm-check"});
    if (!waitFor([&] { return s.hostRegistered(); }, startMs))
        return "xfce4-panel's tray did not start";
    return waitFor([&] { return s.lightBarDrawn(); }) ? QString() : "xfce4-panel's bar stayed dark";
}

// sway with waybar's tray as the watcher and its host; the pointer and
// keyboard are wayvnc's virtual ones, as the headless seat has none.
inline QString startSway(Session &s) {
    s.write(".config/sway/config", "output HEADLESS-1 resolution 1280x800 position 0 0\n"
                                   "xwayland enable\nfocus_follows_mouse no\n"
                                   // Tells the test where Xwayland, the IPC and Wayland are.
                                   "exec echo $DISPLAY $SWAYSOCK $WAYLAND_DISPLAY > "
                                   "$XDG_RUNTIME_DIR/session\n"
                                   "bar {\n    swaybar_command waybar\n}\n");
    s.write(".config/waybar/config", R"({"layer": "top", "position": "top", "height": 26,
 "modules-right": ["tray"], "tray": {"icon-size": 18, "spacing": 4}})");
    s.write(".config/waybar/style.css",
            "* { font-family: sans-serif; font-size: 13px; min-height: 0; }\n"
            "window#waybar { background: #d8dee9; }\n#tray { padding: 0 6px; }\n");
    s.env.insert("WLR_BACKENDS", "headless");
    s.env.insert("WLR_LIBINPUT_NO_DEVICES", "1");
    s.env.insert("WLR_RENDERER", "pixman");
    s.env.insert("DBUS_SESSION_BUS_ADDRESS", s.startBus());
    QProcess &sway = s.start("sway", {});
    QStringList session;
    waitFor(
        [&] {
            QFile file(s.home + "/run/session");
            if (file.open(QIODevice::ReadOnly))
                session = QString::fromLocal8Bit(file.readAll()).split(' ', Qt::SkipEmptyParts);
            return session.size() == 3 || sway.state() == QProcess::NotRunning;
        },
        startMs);
    if (session.size() != 3)
        return "sway could not start headless here: " +
               QString::fromLocal8Bit(sway.readAllStandardError().right(2000));
    for (const char *name : {"DISPLAY", "SWAYSOCK", "WAYLAND_DISPLAY"})
        s.env.insert(name, session.takeFirst().trimmed());
    // sway's focus event for a new window comes as it maps it, after its
    // rules; the rectangle it names is the first frame's.
    QProcess &events = s.start("swaymsg", {"-t", "subscribe", "-m", "-r", R"(["window"])"});
    s.placedAtMap = [&events, log = std::make_shared<QByteArray>()] {
        *log += events.readAllStandardOutput();
        QList<QRect> placed;
        bool mapping = false;
        for (const QByteArray &line : log->split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            const QJsonObject window = event["container"].toObject();
            const QString change = event["change"].toString();
            if (window["window_properties"].toObject()["class"].toString() != "Quayline" &&
                window["app_id"].toString() != "quayline")
                continue;
            if (change == "focus" && std::exchange(mapping, false)) {
                const QJsonObject r = window["rect"].toObject();
                placed.append(
                    {r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt()});
            }
            mapping = mapping || change == "new";
        }
        return placed;
    };
    s.start("wayvnc", {"127.0.0.1", QString::number(freePort())});
    if (!waitFor([&] {
            return s.run("swaymsg", {"-t", "get_inputs"}).contains("virtual_pointer");
        }))
        return "wayvnc gave the seat no pointer";
    s.click = [&s](QPoint at, int button) {
        const QString x = QString::number(at.x()), y = QString::number(at.y());
        const QString name = QStringLiteral("button%1").arg(button);
        for (const QStringList &step :
             {QStringList{"set", x, y}, {"press", name}, {"release", name}})
            s.run("swaymsg", QStringList{"seat", "seat0", "cursor"} + step);
    };
    s.type = [&s](const QString &text) { s.run("wtype", {text}); };
    s.shooter = {"grim"};
    return waitFor([&] { return s.hostRegistered(); }, startMs) ? QString()
                                                                : "waybar's tray did not start";
}

// The same, with the program native on sway's Wayland, as a user who sets
// QT_QPA_PLATFORM=wayland runs it. Its windows are found in sway's tree.
inline QString startSwayNative(Session &s) {
    if (const QString why = startSway(s); !why.isEmpty())
        return why;
    s.env.insert("QT_QPA_PLATFORM", "wayland");
    // The program's visible windows in sway's tree, floating or not.
    const auto ours = [&s] {
        QList<QJsonObject> found;
        std::deque<QJsonObject> nodes{
            QJsonDocument::fromJson(s.run("swaymsg", {"-t", "get_tree", "-r"})).object()};
        for (; !nodes.empty(); nodes.pop_front()) {
            const QJsonObject &node = nodes.front();
            for (const char *children : {"nodes", "floating_nodes"})
                for (const QJsonValue child : node[children].toArray())
                    nodes.push_back(child.toObject());
            if (node["app_id"].toString() == "quayline" && node["visible"].toBool())
                found.append(node);
        }
        return found;
    };
    s.panels = [ours] {
        QList<QRect> found;
        for (const QJsonObject &node : ours()) {
            const QJsonObject r = node["rect"].toObject();
            found.append({r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt()});
        }
        return found;
    };
    s.focused = [ours] {
        const QList<QJsonObject> nodes = ours();
        return std::any_of(nodes.begin(), nodes.end(),
                           [](const QJsonObject &node) { return node["focused"].toBool(); });
    };
    return QString();
}

// GNOME Shell 43 with its AppIndicator extension, and the program on the
// shell's XWayland as in a GNOME session. The pointer and keyboard are the
// shell's remote-desktop input; screenshots come from the shell, which takes
// requests only from the owner of org.gnome.Screenshot.
inline QString startGnome(Session &s) {
    const QString extension = QStringLiteral("ubuntu-appindicators@ubuntu.com");
    if (!QFileInfo::exists("/usr/share/gnome-shell/extensions/" + extension + "/metadata.json"))
        return "the AppIndicator extension for GNOME Shell is not installed";
    // The extension on, and no first-login tour.
    s.write(".config/glib-2.0/settings/keyfile",
            "[org/gnome/shell]\nenabled-extensions=['" + extension.toUtf8() +
                "']\nwelcome-dialog-last-shown-version='999'\n");
    QProcessEnvironment shellEnv = s.env;
    shellEnv.insert("GSETTINGS_BACKEND", "keyfile");
    // The shell asks the system bus for the login manager and more; a bus of
    // its own that has none of them will do.
    shellEnv.insert("DBUS_SYSTEM_BUS_ADDRESS", s.startBus());
    s.env.insert("DBUS_SESSION_BUS_ADDRESS", s.startBus());
    shellEnv.insert("DBUS_SESSION_BUS_ADDRESS", s.env.value("DBUS_SESSION_BUS_ADDRESS"));
    s.host = &s.start("gnome-shell", {"--headless", "--wayland", "--virtual-monitor", "1280x800"},
                      shellEnv);
    const QRegularExpression xDisplay("Using public X11 display (:\\d+)");
    QString display;
    const bool up = waitFor(
        [&] {
            s.hostLog += s.host->readAllStandardError() + s.host->readAllStandardOutput();
            display = xDisplay.match(QString::fromLocal8Bit(s.hostLog)).captured(1);
            return s.host->state() == QProcess::NotRunning ||
                   (!display.isEmpty() && s.hostRegistered() &&
                    s.bus().interface()->isServiceRegistered("org.gnome.Mutter.RemoteDesktop"));
        },
        startMs);
    if (!up || s.host->state() == QProcess::NotRunning)
        return "GNOME Shell did not start headless with XWayland and the AppIndicator "
               "extension here:\n" +
               QString::fromLocal8Bit(s.hostLog.right(3000));
    s.env.insert("DISPLAY", display);
    s.env.insert("WAYLAND_DISPLAY", "wayland-0");
    s.env.insert("XDG_SESSION_TYPE", "wayland");
    s.env.insert("XDG_CURRENT_DESKTOP", "GNOME");
    // Xwayland under the shell takes clients with this cookie only.
    const QStringList auth =
        QDir(s.home + "/run").entryList({".mutter-Xwaylandauth.*"}, QDir::Files | QDir::Hidden);
    s.env.insert("XAUTHORITY", s.home + "/run/" + auth.value(0));

    s.bus().registerService("org.gnome.Screenshot");
    const QDBusMessage created =
        s.call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
               "org.gnome.Mutter.RemoteDesktop", "CreateSession");
    const QString remote = created.arguments().value(0).value<QDBusObjectPath>().path();
    const auto input = [&s, remote](const QString &method, const QVariantList &arguments) {
        s.call("org.gnome.Mutter.RemoteDesktop", remote, "org.gnome.Mutter.RemoteDesktop.Session",
               method, arguments);
    };
    input("Start", {});
    // Latin letters' and digits' keysyms are their ASCII codes.
    const auto key = [input](quint32 keysym) {
        input("NotifyKeyboardKeysym", {keysym, true});
        input("NotifyKeyboardKeysym", {keysym, false});
    };
    s.type = [key](const QString &text) {
        for (const QChar c : text)
            key(c.unicode());
    };
    // The virtual pointer moves only relatively (absolute motion needs a
    // screen-cast stream, which needs PipeWire). Its place is known once it
    // has been pushed into the bottom-right corner, where the screen stops
    // it. Not into a left-hand corner: on the way the shell takes it for the
    // hot corner and opens the overview, which then holds the keyboard and
    // covers the panel.
    input("NotifyPointerMotionRelative", {10000.0, 10000.0});
    s.click = [input, pointer = QPoint(screenSize.width() - 1, screenSize.height() - 1)](
                  QPoint at, int button) mutable {
        input("NotifyPointerMotionRelative",
              {double(at.x() - pointer.x()), double(at.y() - pointer.y())});
        pointer = at;
        const int evdevButton = button == 3 ? 0x111 : 0x110; // BTN_RIGHT, BTN_LEFT
        input("NotifyPointerButton", {evdevButton, true});
        input("NotifyPointerButton", {evdevButton, false});
    };
    s.screenshot = [&s] {
        const QString file = s.home + "/screen.png";
        const QString shooter = "org.gnome.Shell.Screenshot";
        const QDBusMessage reply = s.call(shooter, "/org/gnome/Shell/Screenshot", shooter,
                                          "Screenshot", {false, false, file});
        return reply.arguments().value(0).toBool() ? QImage(file) : QImage();
    };
    // A click on the icon opens the extension's menu, which the program puts
    // away at once; the menu's entries are chosen over dbusmenu, as the
    // extension sends them.
    s.openFromMenu = [&s](QRect) {
        const QStringList items = s.property(watcherName, "/StatusNotifierWatcher", watcherName,
                                             "RegisteredStatusNotifierItems")
                                      .toStringList();
        return s.clickMenu(items.value(0).section('/', 0, 0), "Open Quayline");
    };
    // The shell ends its start-up in the overview; once there, Escape leaves
    // it as a user would. (Leaving it over D-Bus instead leaves the keyboard
    // with the shell, and no window gets the focus.)
    const auto overview = [&s] {
        const QString shell = "org.gnome.Shell";
        return s.property(shell, "/org/gnome/Shell", shell, "OverviewActive").toBool();
    };
    waitFor(overview);
    return waitFor([&] { return !overview() || (key(0xff1b), false); }) ? QString()
                                                                        : "the overview stayed";
}

// A desktop on Xvfb with a session bus: its programs started in order, the
// window manager first and the panel that hosts the tray last. Empty once the
// watcher has a host (or, for a tray of X11's only, once the tray is there),
// else why not.
inline QString startOnXvfb(Session &s, const QString &desktop, const QStringList &programs,
                           bool x11Tray = false) {
    if (!s.startXvfb())
        return "Xvfb did not start";
    s.env.insert("DBUS_SESSION_BUS_ADDRESS", s.startBus());
    s.env.insert("XDG_CURRENT_DESKTOP", desktop);
    for (const QString &program : programs)
        s.host = &s.start(program, {});
    return waitFor([&] { return x11Tray ? s.x11TrayOwned() : s.hostRegistered(); }, startMs)
               ? QString()
               : programs.last() + "'s tray did not start";
}

// lxqt-panel's StatusNotifier plugin (its own watcher and host) at the right
// end of a panel along the top edge, under openbox.
inline QString startLxqt(Session &s) {
    s.write(".config/lxqt/panel.conf", "[General]\n__userfile__=true\npanels=panel1\n"
                                       "[panel1]\nplugins=spacer,statusnotifier\nposition=Top\n"
                                       "panelSize=26\niconSize=22\ndesktop=0\n"
                                       "[spacer]\ntype=spacer\nexpandable=true\n"
                                       "[statusnotifier]\ntype=statusnotifier\nalignment=Right\n");
    return startOnXvfb(s, "LXQt", {"openbox", "lxqt-panel"});
}

// mate-panel's default layout under marco, but for the clock, which would
// change the tray's end of the top panel every minute: the menus at the left
// of the top panel, the notification area (a StatusNotifier watcher and host
// too) at its right end, the window list at the bottom. Its settings go
// through GSettings' keyfile backend, private to the session's home.
inline QString startMate(Session &s) {
    s.write(".config/glib-2.0/settings/keyfile", R"([org/mate/panel/general]
toplevel-id-list=['top', 'bottom']
object-id-list=['menu-bar', 'notification-area', 'window-list']
[org/mate/panel/toplevels/top]
expand=true
orientation='top'
size=24
[org/mate/panel/toplevels/bottom]
expand=true
orientation='bottom'
size=24
[org/mate/panel/objects/menu-bar]
object-type='menu-bar'
toplevel-id='top'
position=0
locked=true
[org/mate/panel/objects/notification-area]
object-type='applet'
applet-iid='NotificationAreaAppletFactory::NotificationArea'
toplevel-id='top'
position=10
relative-to-edge='end'
locked=true
[org/mate/panel/objects/window-list]
object-type='applet'
applet-iid='WnckletFactory::WindowListApplet'
toplevel-id='bottom'
position=20
locked=true
)");
    s.env.insert("GSETTINGS_BACKEND", "keyfile");
    // The bus starts the applets' factories on demand.
    if (const QString why = startOnXvfb(s, "MATE", {"marco", "mate-panel"}); !why.isEmpty())
        return why;
    return waitFor([&] { return s.lightBarDrawn(); }) ? QString() : "mate-panel's bar stayed dark";
}

// Cinnamon 5.6: its own window manager, and one panel along the top edge
// with the XApp status applet alone at its right end, which shows the items
// that xapp-sn-watcher (the StatusNotifier watcher) hands it.
inline QString startCinnamon(Session &s) {
    s.write(".config/glib-2.0/settings/keyfile", R"([org/cinnamon]
panels-enabled=['1:0:top']
panels-height=['1:26']
enabled-applets=['panel1:right:0:xapp-status@cinnamon.org:1']
next-applet-id=2
)");
    s.env.insert("GSETTINGS_BACKEND", "keyfile");
    if (const QString why = startOnXvfb(
            s, "X-Cinnamon", {"cinnamon", "/usr/libexec/xapps/sn-watcher/xapp-sn-watcher"});
        !why.isEmpty())
        return why;
    // The menu is GTK's, in xapp-sn-watcher. In 9 of 120 runs here it mapped
    // the menu where it belongs and took the pointer, but the compositor
    // never drew it: the screen showed nothing for as long as the test
    // looked, until Escape closed it. A user would ask again, as the test does.
    s.menuAttempts = 3;
    return waitFor([&] { return s.lightBarDrawn(); }) ? QString() : "cinnamon's panel stayed dark";
}

// Budgie 10.7: budgie-wm, and budgie-panel with its system tray applet
// (X11's tray only; Budgie 10.7 hosts no StatusNotifier items) alone at the
// right end of a top panel. The layout counts as migrated: else the panel
// adds its power and session applets beside the tray, a moment after it
// shows. budgie-wm runs only in a session it takes for X11's; the applets are
// plugins that need Budgie's typelibs and libpeas's.
inline QString startBudgie(Session &s) {
    s.write(".config/glib-2.0/settings/keyfile", R"([com/solus-project/budgie-panel]
panels=['top']
migration-level=1
[com/solus-project/budgie-panel/panels/{top}]
location='top'
size=26
applets=['tray']
[com/solus-project/budgie-panel/applets/{tray}]
name='System Tray'
alignment='end'
)");
    s.env.insert("GSETTINGS_BACKEND", "keyfile");
    s.env.insert("XDG_SESSION_TYPE", "x11");
    s.icon = [&s] { return s.windows(true).value(0); };
    return startOnXvfb(s, "Budgie:GNOME", {"budgie-wm", "budgie-panel"}, true);
}

// KDE Plasma 5.27's layout for both sessions: plasmashell's system tray
// alone at the right end of a top panel. The tray's own widgets stay out (all
// known, none wanted): the keyboard layout's would come in late beside the
// program's icon, and an expander arrow with the hidden ones. plasmashell
// shows a containment only on the screen its lastScreen names.
inline void writePlasmaLayout(Session &s) {
    s.write(".config/plasma-org.kde.plasma.desktop-appletsrc", R"([Containments][1]
formfactor=0
lastScreen=0
location=0
plugin=org.kde.desktopcontainment
wallpaperplugin=org.kde.color
[Containments][2]
formfactor=2
lastScreen=0
location=3
plugin=org.kde.panel
[Containments][2][Applets][3]
plugin=org.kde.plasma.panelspacer
[Containments][2][Applets][4]
plugin=org.kde.plasma.systemtray
[Containments][2][Applets][4][Configuration]
SystrayContainmentId=5
[Containments][2][General]
AppletOrder=3;4
[Containments][5]
formfactor=2
lastScreen=0
location=3
plugin=org.kde.plasma.private.systemtray
[Containments][5][General]
extraItems=
knownItems=org.kde.plasma.battery,org.kde.plasma.keyboardlayout,org.kde.plasma.manage-inputmethod,org.kde.plasma.mediacontroller,org.kde.plasma.devicenotifier,org.kde.plasma.clipboard,org.kde.plasma.notifications
)");
    s.write(".config/plasmashellrc", "[PlasmaViews][Panel 2][Defaults]\nthickness=28\n");
    s.env.insert("XDG_CURRENT_DESKTOP", "KDE");
    s.env.insert("KDE_FULL_SESSION", "true");
    s.env.insert("KDE_SESSION_VERSION", "5");
}

// The activity manager (without which plasmashell aborts), kded5 (the
// watcher) and plasmashell, its Qt Quick drawing in software as there is no
// GPU; empty once its tray and panel are up, else why not.
inline QString startPlasmaShell(Session &s, QProcessEnvironment plasmaEnv) {
    plasmaEnv.insert("QT_QUICK_BACKEND", "software");
    QString activities;
    for (const QString &lib : QDir("/usr/lib").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (QFileInfo(QStringLiteral("/usr/lib/%1/libexec/kactivitymanagerd").arg(lib))
                .isExecutable())
            activities = QStringLiteral("/usr/lib/%1/libexec/kactivitymanagerd").arg(lib);
    if (activities.isEmpty())
        return "kactivitymanagerd is not installed";
    s.start(activities, {}, plasmaEnv);
    s.start("kded5", {}, plasmaEnv);
    s.start("plasmashell", {}, plasmaEnv);
    if (!waitFor([&] { return s.hostRegistered(); }, startMs))
        return "plasmashell's system tray did not start";
    // Its desktop shows the default wallpaper (the layout's own desktop
    // belongs to no activity there is), dark at the top, where the bar is
    // light.
    return waitFor([&] { return s.lightBarDrawn(128); }) ? QString()
                                                         : "plasmashell's panel stayed dark";
}

// KDE Plasma 5.27 on X11: kwin_x11 with compositing off.
inline QString startPlasmaX11(Session &s) {
    writePlasmaLayout(s);
    if (!s.startXvfb())
        return "Xvfb did not start";
    s.env.insert("DBUS_SESSION_BUS_ADDRESS", s.startBus());
    QProcessEnvironment plasmaEnv = s.env;
    plasmaEnv.insert("KWIN_COMPOSE", "N");
    s.host = &s.start("kwin_x11", {}, plasmaEnv);
    return startPlasmaShell(s, plasmaEnv);
}

// KDE Plasma 5.27 on Wayland: kwin_wayland headless with its Xwayland,
// plasmashell a native Wayland client, and the program on Xwayland, as it
// picks where both are offered. kwin_wayland's binary carries a file
// capability (cap_sys_resource) that a container may not grant, which makes
// its exec fail: a copy without it runs. Its screenshot service needs OpenGL
// compositing (in software here); the pointer and keyboard are its fake
// input (plasmashell takes no X11 input), and the program's windows are
// found on Xwayland.
inline QString startPlasmaWayland(Session &s) {
#ifndef KWIN_FAKE_INPUT
    Q_UNUSED(s)
    return "kwin-fake-input was not built: wayland-scanner, libwayland-client's headers or "
           "plasma-wayland-protocols was missing";
#else
    writePlasmaLayout(s);
    const QString kwin = s.home + "/kwin_wayland";
    QFile::copy(QStandardPaths::findExecutable("kwin_wayland"), kwin);
    s.env.insert("DBUS_SESSION_BUS_ADDRESS", s.startBus());
    QProcessEnvironment kwinEnv = s.env;
    kwinEnv.insert("LIBGL_ALWAYS_SOFTWARE", "1");
    kwinEnv.insert("KWIN_SCREENSHOT_NO_PERMISSION_CHECKS", "1");
    kwinEnv.insert("KWIN_WAYLAND_NO_PERMISSION_CHECKS", "1");
    // KWin starts the one program named after its options once Xwayland is
    // up, with the session's DISPLAY: it tells the test.
    s.host = &s.start(kwin,
                      {"--virtual", "--xwayland", "--width", "1280", "--height", "800", "--",
                       "sh -c 'echo $DISPLAY > $XDG_RUNTIME_DIR/session'"},
                      kwinEnv);
    QString display;
    waitFor(
        [&] {
            QFile file(s.home + "/run/session");
            if (file.open(QIODevice::ReadOnly))
                display = QString::fromLocal8Bit(file.readAll()).trimmed();
            return !display.isEmpty() || s.host->state() == QProcess::NotRunning;
        },
        startMs);
    if (display.isEmpty())
        return "kwin_wayland could not start headless here: " +
               QString::fromLocal8Bit(s.host->readAllStandardError().right(2000));
    s.env.insert("DISPLAY", display);
    s.env.insert("WAYLAND_DISPLAY", "wayland-0");
    s.env.insert("XDG_SESSION_TYPE", "wayland");
    // One fake-input client for the whole session (see kwin_fake_input.cpp);
    // each call returns once KWin has all its steps.
    QProcess &input = s.start(KWIN_FAKE_INPUT, {});
    if (!waitFor([&] { return input.canReadLine(); }) || input.readLine() != "ready\n")
        return "KWin took no fake input: " + QString::fromLocal8Bit(input.readAllStandardError());
    const auto fakeInput = [&input](const QStringList &steps) {
        input.write((steps.join('\n') + '\n').toLatin1());
        qsizetype answered = 0;
        waitFor([&] {
            while (input.canReadLine())
                answered += input.readLine() == "ok\n";
            return answered == steps.size() || input.state() != QProcess::Running;
        });
    };
    s.click = [fakeInput](QPoint at, int button) {
        const QString code = button == 3 ? " 273" : " 272"; // BTN_RIGHT, BTN_LEFT
        fakeInput({QStringLiteral("move %1 %2").arg(at.x()).arg(at.y()), "button" + code + " 1",
                   "button" + code + " 0"});
    };
    s.type = [fakeInput](const QString &text) { fakeInput(fakeKeys(text)); };
    s.screenshot = [&s] { return kwinScreenshot(s.bus()); };
    if (!waitFor([&] { return !s.screenshot().isNull(); }, startMs))
        return "KWin's screenshot service gave no image (it needs OpenGL compositing)";
    QProcessEnvironment plasmaEnv = s.env;
    plasmaEnv.insert("QT_QPA_PLATFORM", "wayland");
    return startPlasmaShell(s, plasmaEnv);
#endif
}

struct Host {
    const char *name; // the test row's
    const char *id;   // the screenshot's, under artifacts/
    bool asUser;      // see Session
    int barHeight;    // the host's top bar, where the icon is
    QString (*start)(Session &);
    const char *tools; // the host is skipped where one is missing
};

// More hosts are one row each, with their recipe above.
// clang-format off
inline const Host table[] = {
    {"X11 tray (trayer on Xvfb)", "x11-tray", true, 24, startTrayer,
     "Xvfb trayer xdotool import dbus-daemon setpriv"},
    {"xfce4-panel on Xvfb", "xfce4-panel", false, 26, startXfcePanel,
     "xfce4-panel Xvfb xdotool import dbus-daemon dbus-send"},
    {"GNOME Shell with AppIndicator", "gnome", false, 32, startGnome,
     "gnome-shell Xwayland dbus-daemon xdotool"},
    {"sway with waybar", "sway", true, 26, startSway,
     "sway swaymsg waybar wayvnc wtype grim Xwayland xdotool dbus-daemon dbus-send setpriv"},
    {"sway with waybar, the program native on Wayland", "sway-native", true, 26, startSwayNative,
     "sway swaymsg waybar wayvnc wtype grim Xwayland dbus-daemon dbus-send setpriv"},
    {"LXQt panel with openbox", "lxqt", false, 26, startLxqt,
     "lxqt-panel openbox Xvfb xdotool import dbus-daemon dbus-send"},
    {"MATE panel with marco", "mate", false, 24, startMate,
     "mate-panel marco Xvfb xdotool import dbus-daemon dbus-send"},
    {"Cinnamon", "cinnamon", false, 26, startCinnamon,
     "cinnamon /usr/libexec/xapps/sn-watcher/xapp-sn-watcher Xvfb xdotool import dbus-daemon dbus-send"},
    {"Budgie", "budgie", false, 26, startBudgie,
     "budgie-panel budgie-wm Xvfb xdotool import dbus-daemon dbus-send"},
    {"KDE Plasma on X11", "plasma-x11", false, 28, startPlasmaX11,
     "plasmashell kwin_x11 kded5 Xvfb xdotool import dbus-daemon dbus-send"},
    {"KDE Plasma on Wayland", "plasma-wayland", false, 28, startPlasmaWayland,
     "plasmashell kwin_wayland kded5 Xwayland xdotool dbus-daemon dbus-send"},
};
// clang-format on

} // namespace trayhosts
