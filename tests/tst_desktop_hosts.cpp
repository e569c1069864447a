// The program in real tray hosts that this project did not write, headless,
// each with a session bus of its own: xfce4-panel's systray plugin on Xvfb,
// and waybar's tray module in a headless sway (the wlroots family). Each host
// is driven as a user would: one click on the icon opens the panel beside it,
// typing reaches the filter, a second click closes it, and the menu's "Open
// Quayline" opens it beside the icon again.
//
// Safety: every process the test signals is one it started, by the pid that
// QProcess got then (setpriv and the programs it runs exec in place, so that
// pid is the program's own). sway refuses to run as root: as root the test
// runs it, its bus and the program as an ordinary user it creates.
#include "X11Session.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace x11session;

namespace {

const QSize panelSize(380, 460);
// The bars' height in both hosts' settings below.
constexpr int barHeight = 26;
// The icon is beside the panel: the gap of a few pixels and the rest of the
// bar's height between the icon's middle and the bar's lower edge.
constexpr int besideIcon = barHeight;
const QString swayUser = QStringLiteral("quayline-desktop");
// Typed into the filter: matches none of the listeners, so the list empties.
const QString noMatch = QStringLiteral("zzqqx");

QString describe(const QRect &r) {
    return QStringLiteral("%1x%2 at %3,%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
}

// The bounding box of what differs from the bar's own colour in its strip:
// the tray's icons, as nothing else is on these bars.
QRect iconsIn(const QImage &screen) {
    const QColor background = screen.pixelColor(screen.width() / 2, barHeight / 2);
    QRect found;
    for (int y = 0; y < std::min(barHeight, screen.height()); ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            const QColor c = screen.pixelColor(x, y);
            if (std::abs(c.red() - background.red()) + std::abs(c.green() - background.green()) +
                    std::abs(c.blue() - background.blue()) >
                90)
                found |= QRect(x, y, 1, 1);
        }
    }
    return found;
}

// The bounding box of the pixels that differ between two screenshots, but
// for those in the ignored rectangle.
QRect changed(const QImage &before, const QImage &after, const QRect &ignored) {
    if (before.size() != after.size())
        return {};
    QRect found;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x)
            if (before.pixel(x, y) != after.pixel(x, y) && !ignored.contains(x, y))
                found |= QRect(x, y, 1, 1);
    return found;
}

bool writeFile(const QString &path, const QByteArray &text) {
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(text) == text.size();
}

// xfce4-panel's channel, so that it starts without its first-run dialog:
// one panel along the top edge, a spacer, then the tray.
const char xfcePanelChannel[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
)";

// %1: the folder of the script that tells the test which display Xwayland took.
const char swayConfig[] = R"(output HEADLESS-1 resolution 1280x800 position 0 0
xwayland enable
focus_follows_mouse no
exec sh %1/display.sh
bar {
    swaybar_command waybar
}
)";

const char waybarConfig[] = R"({"layer": "top", "position": "top", "height": 26,
 "modules-right": ["tray"], "tray": {"icon-size": 18, "spacing": 4}}
)";

// What the host-specific part of a test provides to the shared checks.
struct Desktop {
    QString name;
    std::function<QByteArray(const QString &, const QStringList &)> run;
    std::function<void(QPoint, int button)> click;
    std::function<void(const QString &text)> type;
    std::function<QImage()> screenshot;
    std::function<QList<QRect>()> panels; // the program's panel windows on screen
};

} // namespace

class DesktopHosts : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_program = qEnvironmentVariable("QUAYLINE_PROGRAM");
    QString m_artifacts = qEnvironmentVariable("QUAYLINE_E2E_ARTIFACTS", "artifacts");
    // A listener of the test's own, so that a list seen as root is never empty.
    QTcpServer m_listener;

    // The checks every host must pass, with the program already started.
    void checkHost(const Desktop &desktop, QProcess &app, const QString &screenshot) {
        QByteArray errors;
        const auto appErrors = [&] { return errors += app.readAllStandardError(); };
        const auto rows = [&] { return lastReportedCount(appErrors()); };

        // One icon in the bar, and one item with the host's watcher.
        QRect icons;
        QVERIFY2(
            waitFor([&] { return (icons = iconsIn(desktop.screenshot())).isValid(); }, startMs),
            appErrors().constData());
        QVERIFY2(icons.width() <= largestIcon && icons.height() <= barHeight,
                 qPrintable("more than one icon: " + describe(icons)));
        const QByteArray items = desktop.run(
            "dbus-send",
            {"--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
             "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
             "string:org.kde.StatusNotifierWatcher", "string:RegisteredStatusNotifierItems"});
        QCOMPARE(items.count("StatusNotifierItem-"), 1);

        // One click opens the panel beside the icon, whole and at full size.
        const QPoint icon = icons.center();
        desktop.click(icon, 1);
        // Where the compositor moves it after it appears, it may show
        // elsewhere for a frame: what counts is where it comes to rest.
        const auto besideTheIcon = [&](const QRect &r) {
            return r.size() == panelSize && QRect(QPoint(), screenSize).contains(r) &&
                   distance(icon, r) <= besideIcon;
        };
        QRect panel;
        QVERIFY2(waitFor([&] { return besideTheIcon(panel = desktop.panels().value(0)); }, stepMs),
                 qPrintable(QStringLiteral("%1 panel %2, icon at %3,%4: %5")
                                .arg(desktop.name, describe(panel))
                                .arg(icon.x())
                                .arg(icon.y())
                                .arg(QString::fromLocal8Bit(appErrors().right(3000)))));

        // Typing reaches the filter: the list, not empty before, empties.
        QVERIFY2(waitFor([&] { return rows() > 0; }, stepMs),
                 ("last list: " + lastReport(errors)).constData());
        desktop.type(noMatch);
        QVERIFY2(waitFor([&] { return rows() == 0; }, stepMs),
                 ("last list: " + lastReport(errors)).constData());
        if (!screenshot.isEmpty())
            desktop.screenshot().save(QDir(m_artifacts).filePath(screenshot));

        // A second click closes it.
        desktop.click(icon, 1);
        QVERIFY2(waitFor([&] { return desktop.panels().isEmpty(); }, stepMs),
                 appErrors().constData());

        // "Open Quayline", the menu's first entry, opens it beside the icon.
        // The menu is found as what the right click changed on the screen,
        // taken as soon as it shows (before any tooltip can).
        const QImage before = desktop.screenshot();
        desktop.click(icon, 3);
        QRect menu;
        // The icon's own pressed look is no part of it.
        const QRect button = icons.adjusted(-8, -barHeight, 8, 0);
        QVERIFY2(
            waitFor(
                [&] { return (menu = changed(before, desktop.screenshot(), button)).isValid(); },
                stepMs),
            "no menu");
        desktop.click({menu.center().x(), menu.top() + 16}, 1);
        QVERIFY2(waitFor([&] { return besideTheIcon(panel = desktop.panels().value(0)); }, stepMs),
                 qPrintable("from the menu at " + describe(menu) + ": " + describe(panel)));
    }

    // Whether the watcher on the bus has its host yet; a program started
    // before that would take the desktop for one without a tray.
    template <typename DBusSend> static bool hostRegistered(DBusSend dbusSend) {
        return dbusSend({"--session", "--print-reply", "--dest=org.kde.StatusNotifierWatcher",
                         "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties.Get",
                         "string:org.kde.StatusNotifierWatcher",
                         "string:IsStatusNotifierHostRegistered"})
            .contains("boolean true");
    }

    static bool have(const char *tool) { return !QStandardPaths::findExecutable(tool).isEmpty(); }

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(m_program).isExecutable(), "QUAYLINE_PROGRAM names no program");
        QVERIFY(QDir().mkpath(m_artifacts));
        QVERIFY(m_listener.listen(QHostAddress::LocalHost));
    }

    void xfcePanel() {
        for (const char *tool :
             {"xfce4-panel", "Xvfb", "xdotool", "import", "dbus-daemon", "dbus-send"})
            if (!have(tool))
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
        const QString home = m_dir.filePath("xfce");
        const QString config = home + "/config";
        // The panel's channel, so that it starts without its first-run
        // dialog: one panel along the top edge, a spacer, then the tray.
        QVERIFY(writeFile(config + "/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml",
                          xfcePanelChannel));
        QProcess xvfb, bus, panel, app;
        const auto ending = qScopeGuard([&] {
            for (QProcess *process : {&app, &panel, &bus, &xvfb})
                endProcess(*process);
        });
        const QString display = startXvfb(xvfb);
        QVERIFY(!display.isEmpty());
        QProcessEnvironment env = x11session::environment(display, home, QString());
        env.insert("XDG_CONFIG_HOME", config);
        env.insert("XDG_CACHE_HOME", home + "/cache");
        // The bus starts xfconfd on demand, with this environment: its
        // settings are the private ones above.
        const QString busAddress = startSessionBus(bus, env);
        QVERIFY(!busAddress.isEmpty());
        env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
        // No window manager on this display; the panel places itself.
        start(panel, "xfce4-panel", {"--disable-wm-check"}, env);
        QVERIFY(waitFor(
            [&] {
                return hostRegistered([&](const QStringList &arguments) {
                    return x11session::run("dbus-send", arguments, env);
                });
            },
            startMs));

        QProcessEnvironment appEnv = env;
        appEnv.insert("QUAYLINE_TEST_REPORT", "1");
        start(app, m_program, {}, appEnv);
        const QString className =
            '^' + QRegularExpression::escape(QFileInfo(m_program).fileName()) + '$';
        Desktop desktop;
        desktop.name = "xfce4-panel";
        desktop.run = [&](const QString &program, const QStringList &arguments) {
            return x11session::run(program, arguments, env);
        };
        desktop.click = [&](QPoint at, int button) {
            desktop.run("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()),
                                    "click", QString::number(button)});
        };
        desktop.type = [&](const QString &text) {
            desktop.run("xdotool", {"type", "--delay", "30", text});
        };
        desktop.screenshot = [&] {
            const QString file = m_dir.filePath("xfce.png");
            desktop.run("import", {"-window", "root", file});
            return QImage(file);
        };
        desktop.panels = [&] {
            return x11session::windows(className, env,
                                       [](const QRect &r) { return r.size() == panelSize; });
        };
        checkHost(desktop, app, "desktop-xfce4-panel.png");
    }

    void swayWithWaybar() {
        for (const char *tool : {"sway", "swaymsg", "waybar", "wayvnc", "wtype", "grim", "Xwayland",
                                 "xdotool", "dbus-daemon", "dbus-send", "setpriv"})
            if (!have(tool))
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));

        // As root, an ordinary user of the test's own runs the session.
        QStringList asUser;
        uid_t uid = ::getuid();
        gid_t gid = ::getgid();
        if (::geteuid() == 0) {
            if (!::getpwnam(qPrintable(swayUser)))
                x11session::run("useradd",
                                {"--system", "--no-create-home", "--home-dir", "/nonexistent",
                                 "--shell", "/usr/sbin/nologin", swayUser},
                                QProcessEnvironment::systemEnvironment());
            const passwd *account = ::getpwnam(qPrintable(swayUser));
            if (!account)
                QSKIP("could not create an ordinary user to run sway as");
            uid = account->pw_uid;
            gid = account->pw_gid;
            asUser = {"--reuid=" + QString::number(uid), "--regid=" + QString::number(gid),
                      "--clear-groups", "--"};
            // Xwayland makes its socket here; were the folder missing, the
            // compositor would make it its user's own and keep every other
            // X server on the machine out of it.
            if (::mkdir("/tmp/.X11-unix", 01777) == 0)
                ::chmod("/tmp/.X11-unix", 01777);
        }
        const QString home = m_dir.filePath("sway");
        const QString runtime = home + "/run";
        const QString config = home + "/config";
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(
            writeFile(config + "/sway/config", QString::fromLatin1(swayConfig).arg(home).toUtf8()));
        // Tells the test which display Xwayland took.
        QVERIFY(writeFile(home + "/display.sh",
                          "echo \"$DISPLAY\" > \"$XDG_RUNTIME_DIR/x11-display\"\n"));
        QVERIFY(writeFile(config + "/waybar/config", waybarConfig));
        QVERIFY(writeFile(config + "/waybar/style.css",
                          "* { font-family: sans-serif; font-size: 13px; min-height: 0; }\n"
                          "window#waybar { background: #d8dee9; }\n"
                          "#tray { padding: 0 6px; }\n"));
        // The test's directory was the user's to read only as far as this.
        for (const QString &path :
             {m_dir.path(), home, runtime, config, config + "/sway", config + "/waybar",
              config + "/sway/config", config + "/waybar/config", config + "/waybar/style.css",
              home + "/display.sh"})
            QVERIFY(::chown(QFile::encodeName(path).constData(), uid, gid) == 0);
        QVERIFY(
            QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        // The program as the user can run it: a copy in the user's folder.
        const QString program = home + "/" + QFileInfo(m_program).fileName();
        QVERIFY(QFile::copy(m_program, program));
        QVERIFY(::chown(QFile::encodeName(program).constData(), uid, gid) == 0);

        QProcessEnvironment env = x11session::environment(QString(), home, QString());
        env.remove("DISPLAY");
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("XDG_CONFIG_HOME", config);
        env.insert("XDG_CACHE_HOME", home + "/cache");
        env.insert("WLR_BACKENDS", "headless");
        env.insert("WLR_LIBINPUT_NO_DEVICES", "1");
        env.insert("WLR_RENDERER", "pixman");
        const auto startAsUser = [&](QProcess &process, const QString &tool,
                                     const QStringList &arguments) {
            if (asUser.isEmpty())
                start(process, tool, arguments, env);
            else
                start(process, "setpriv", asUser + QStringList{tool} + arguments, env);
        };
        const auto runAsUser = [&](const QString &tool, const QStringList &arguments) {
            QProcess process;
            startAsUser(process, tool, arguments);
            if (!process.waitForFinished(20000))
                endProcess(process);
            return process.readAllStandardOutput();
        };

        QProcess bus, sway, vnc, app;
        const auto ending = qScopeGuard([&] {
            for (QProcess *process : {&app, &vnc, &sway, &bus})
                endProcess(*process);
        });
        startAsUser(bus, "dbus-daemon",
                    {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        QVERIFY(waitFor([&] { return bus.canReadLine(); }, stepMs));
        env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromLatin1(bus.readLine().trimmed()));
        startAsUser(sway, "sway", {});
        const QDir runDir(runtime);
        QString display;
        if (!waitFor(
                [&] {
                    QFile file(runDir.filePath("x11-display"));
                    if (file.open(QIODevice::ReadOnly))
                        display = QString::fromLatin1(file.readAll().trimmed());
                    return !display.isEmpty() || sway.state() == QProcess::NotRunning;
                },
                startMs) ||
            display.isEmpty())
            QSKIP(qPrintable("sway could not start headless here: " +
                             QString::fromLocal8Bit(sway.readAllStandardError().right(2000))));
        const QStringList ipc = runDir.entryList({"sway-ipc.*.sock"}, QDir::System);
        const QStringList wayland = runDir.entryList({"wayland-?"}, QDir::System);
        QVERIFY2(ipc.size() == 1 && wayland.size() == 1, qPrintable(runDir.entryList().join(' ')));
        env.insert("SWAYSOCK", runDir.filePath(ipc.constFirst()));
        env.insert("WAYLAND_DISPLAY", wayland.constFirst());
        env.insert("DISPLAY", display);
        // A virtual pointer and keyboard for the seat, which has no devices;
        // it also listens, so the user's own list is never empty.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const QString vncPort = QString::number(probe.serverPort());
        probe.close();
        startAsUser(vnc, "wayvnc", {"127.0.0.1", vncPort});
        QVERIFY2(
            waitFor(
                [&] {
                    return runAsUser("swaymsg", {"-t", "get_inputs"}).contains("virtual_pointer");
                },
                stepMs),
            vnc.readAllStandardError().constData());
        // waybar's tray is the watcher and its host.
        QVERIFY(waitFor(
            [&] {
                return hostRegistered([&](const QStringList &arguments) {
                    return runAsUser("dbus-send", arguments);
                });
            },
            startMs));

        env.insert("QUAYLINE_TEST_REPORT", "1");
        startAsUser(app, program, {});
        env.remove("QUAYLINE_TEST_REPORT");
        Desktop desktop;
        desktop.name = "sway";
        desktop.run = runAsUser;
        desktop.click = [&](QPoint at, int button) {
            const QString name = button == 3 ? "button3" : "button1";
            runAsUser("swaymsg", {"seat", "seat0", "cursor", "set", QString::number(at.x()),
                                  QString::number(at.y())});
            runAsUser("swaymsg", {"seat", "seat0", "cursor", "press", name});
            runAsUser("swaymsg", {"seat", "seat0", "cursor", "release", name});
        };
        desktop.type = [&](const QString &text) { runAsUser("wtype", {text}); };
        desktop.screenshot = [&] {
            const QString file = home + "/screen.png";
            runAsUser("grim", {file});
            return QImage(file);
        };
        desktop.panels = [&] {
            // Where sway has put the program's floating windows of the panel's size.
            QList<QRect> found;
            const std::function<void(const QJsonObject &)> visit = [&](const QJsonObject &node) {
                const QJsonObject rect = node.value("rect").toObject();
                const QRect r(rect.value("x").toInt(), rect.value("y").toInt(),
                              rect.value("width").toInt(), rect.value("height").toInt());
                if (node.value("type").toString() == "floating_con" &&
                    node.value("name").toString() == "Quayline" && node.value("visible").toBool() &&
                    r.size() == panelSize)
                    found.append(r);
                for (const char *children : {"nodes", "floating_nodes"})
                    for (const QJsonValue &child : node.value(children).toArray())
                        visit(child.toObject());
            };
            visit(QJsonDocument::fromJson(runAsUser("swaymsg", {"-r", "-t", "get_tree"})).object());
            return found;
        };
        checkHost(desktop, app, "desktop-sway.png");
    }
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    DesktopHosts test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktop_hosts.moc"
