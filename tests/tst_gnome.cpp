// The tray program on the real GNOME Shell 43 with its AppIndicator
// extension, headless: a private session bus, a second bus standing in for the
// system bus, the settings in a keyfile under a private XDG_CONFIG_HOME, and
// the program on the shell's XWayland as in a GNOME session. The pointer and
// keyboard are the shell's own remote-desktop input
// (org.gnome.Mutter.RemoteDesktop); screenshots come from the shell, which
// takes requests only from the owner of org.gnome.Screenshot.
//
// Safety: every process the test signals is one it started, by the pid that
// QProcess got then. The program is ended through its own menu.
#include "Quayline/shell/StatusNotifierTypes.h"
#include "X11Session.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

using namespace x11session;

namespace {

const QString extensionUuid = QStringLiteral("ubuntu-appindicators@ubuntu.com");
const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
const QSize panelSize(380, 460);
// GNOME's top bar at scale 1; the icons sit in it.
constexpr int topBarHeight = 32;
// Left of this the top bar holds "Activities" and the clock, which ticks.
constexpr int trayAreaLeft = 800;
constexpr int buttonLeft = 0x110; // BTN_LEFT, as the evdev devices report it
constexpr quint32 keyEscape = 0xff1b;
constexpr quint32 keyBackSpace = 0xff08;
constexpr int callMs = 5000;

} // namespace

class GnomeTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home; // also the runtime directory: private to the user
    QString m_program = qEnvironmentVariable("QUAYLINE_PROGRAM");
    QString m_artifacts = qEnvironmentVariable("QUAYLINE_E2E_ARTIFACTS", "artifacts");
    QProcess m_sessionBus, m_systemBus, m_shell, m_app;
    QString m_busAddress, m_display;
    QByteArray m_shellLog, m_appErrors;
    std::optional<QDBusConnection> m_bus;
    QString m_remote;                // the remote-desktop session's object path
    std::optional<QPoint> m_pointer; // where the virtual pointer is, once known
    QString m_service;
    QRect m_icon;
    QImage m_withoutIcon; // the screen before the icon came
    // A listener of the test's own, so that the list is never empty.
    QTcpServer m_listener;
    int m_shots = 0;

    QProcessEnvironment baseEnvironment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "QT_QPA_PLATFORM",
                                 "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE"})
            env.remove(name);
        env.insert("HOME", m_home.path());
        env.insert("XDG_RUNTIME_DIR", m_home.path());
        env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        env.insert("XDG_DATA_HOME", m_home.filePath("data"));
        env.insert("XDG_CACHE_HOME", m_home.filePath("cache"));
        env.insert("GSETTINGS_BACKEND", "keyfile");
        env.insert("DBUS_SESSION_BUS_ADDRESS", m_busAddress);
        env.insert("NO_AT_BRIDGE", "1");
        return env;
    }

    // What a program started in this GNOME session sees.
    QProcessEnvironment sessionEnvironment() const {
        QProcessEnvironment env = x11session::environment(m_display, m_home.path(), m_busAddress);
        env.insert("WAYLAND_DISPLAY", "wayland-0");
        env.insert("XDG_SESSION_TYPE", "wayland");
        env.insert("XDG_CURRENT_DESKTOP", "GNOME");
        // Xwayland under the shell takes clients with this cookie only.
        const QStringList auth =
            QDir(m_home.path()).entryList({".mutter-Xwaylandauth.*"}, QDir::Files | QDir::Hidden);
        if (!auth.isEmpty())
            env.insert("XAUTHORITY", m_home.filePath(auth.constFirst()));
        return env;
    }

    QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &arguments = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        // Short: many calls run in loops that have their own deadline.
        return m_bus->call(message, QDBus::BlockWithGui, callMs);
    }

    QVariant property(const QString &service, const QString &path, const QString &interface,
                      const QString &name) {
        const QDBusMessage reply =
            call(service, path, "org.freedesktop.DBus.Properties", "Get", {interface, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    void input(const QString &method, const QVariantList &arguments) {
        const QDBusMessage reply =
            call("org.gnome.Mutter.RemoteDesktop", m_remote,
                 "org.gnome.Mutter.RemoteDesktop.Session", method, arguments);
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    }

    // The virtual pointer moves only relatively (absolute motion needs a
    // screen-cast stream, which needs PipeWire). Its place is known once it
    // has been pushed into the bottom-right corner, where the screen stops
    // it; from there it goes straight to each point. Not into a left-hand
    // corner: on the way the shell takes it for the hot corner and opens the
    // overview, which then holds the keyboard (what is typed goes to its
    // search field) and covers the panel.
    void click(QPoint at) {
        if (!m_pointer) {
            input("NotifyPointerMotionRelative", {10000.0, 10000.0});
            m_pointer = QPoint(screenSize.width() - 1, screenSize.height() - 1);
        }
        input("NotifyPointerMotionRelative",
              {double(at.x() - m_pointer->x()), double(at.y() - m_pointer->y())});
        m_pointer = at;
        input("NotifyPointerButton", {buttonLeft, true});
        input("NotifyPointerButton", {buttonLeft, false});
    }

    void key(quint32 keysym) {
        input("NotifyKeyboardKeysym", {keysym, true});
        input("NotifyKeyboardKeysym", {keysym, false});
    }

    // Latin letters' keysyms are their ASCII codes.
    void type(const QString &text) {
        for (const QChar c : text)
            key(c.unicode());
    }

    // The panel's list as the program last reported it; -1 before any report.
    int reportedRows() {
        m_appErrors += m_app.readAllStandardError();
        return lastReportedCount(m_appErrors);
    }

    QImage screenshot() {
        const QString file = m_home.filePath(QStringLiteral("shot-%1.png").arg(++m_shots));
        const QDBusMessage reply =
            call("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                 "org.gnome.Shell.Screenshot", "Screenshot", {false, false, file});
        QImage image(file);
        QFile::remove(file);
        if (!reply.arguments().value(0).toBool())
            qWarning("no screenshot: %s", qPrintable(reply.errorMessage()));
        return reply.arguments().value(0).toBool() ? image : QImage();
    }

    // The first of two screenshots in a row that the comparison finds alike;
    // null when the screen does not settle.
    template <typename Alike> QImage settledScreen(Alike alike) {
        const QDeadlineTimer deadline(stepMs);
        QImage last = screenshot();
        while (!deadline.hasExpired()) {
            QTest::qWait(100);
            const QImage next = screenshot();
            if (!last.isNull() && !next.isNull() && alike(last, next))
                return last;
            last = next;
        }
        return {};
    }

    // Where the top bar's tray area has light pixels that were dark before:
    // a new icon's glyph. The bar's own shade changes as the shell leaves
    // the overview and when a window opens, so dark changes do not count.
    static QRect trayChange(const QImage &before, const QImage &after) {
        QRect changed;
        if (before.size() != after.size())
            return changed;
        for (int y = 0; y < topBarHeight; ++y)
            for (int x = trayAreaLeft; x < after.width(); ++x)
                if (qGray(after.pixel(x, y)) > 160 && qGray(before.pixel(x, y)) < 100)
                    changed |= QRect(x, y, 1, 1);
        return changed;
    }

    QList<QRect> panels() {
        return x11session::windows(
            '^' + QRegularExpression::escape(QFileInfo(m_program).fileName()) + '$',
            sessionEnvironment(), [](const QRect &r) { return !isIcon(r); });
    }

    QString failure(const QString &what) {
        m_appErrors += m_app.readAllStandardError();
        return what + "\n--- program:\n" + QString::fromLocal8Bit(m_appErrors.right(2000));
    }

    // Chooses a menu entry over dbusmenu, as the host does when it is picked.
    void clickMenu(const QString &label) {
        const QDBusMessage layout = call(m_service, "/MenuBar", "com.canonical.dbusmenu",
                                         "GetLayout", {0, -1, QStringList()});
        const auto root = qdbus_cast<DBusMenuLayoutItem>(layout.arguments().value(1));
        for (const DBusMenuLayoutItem &item : root.children) {
            if (item.properties.value("label").toString() == label) {
                call(m_service, "/MenuBar", "com.canonical.dbusmenu", "Event",
                     {item.id, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
                return;
            }
        }
        QFAIL(qPrintable("no menu entry " + label));
    }

    // The panel: full size, wholly on screen, right under the top bar and
    // beneath the icon.
    void verifyBesideTheIcon(const QRect &panel) {
        QString at;
        QDebug(&at) << "panel" << panel << "icon" << m_icon;
        QCOMPARE(panel.size(), panelSize);
        QVERIFY2(QRect(QPoint(), screenSize).contains(panel), qPrintable(at));
        QVERIFY2(panel.top() >= topBarHeight && panel.top() <= topBarHeight + 8, qPrintable(at));
        QVERIFY2(panel.left() <= m_icon.center().x() && panel.right() >= m_icon.center().x(),
                 qPrintable(at));
    }

    // The icon is drawn where it was found (it hides for a moment when the
    // extension's menu is put away).
    bool iconShown() {
        const QImage shot = screenshot();
        return !shot.isNull() && trayChange(m_withoutIcon, shot).intersects(m_icon);
    }

    // One click on the icon, once it is back, closes the panel.
    void closeByClick() {
        QVERIFY(waitFor([&] { return iconShown(); }, stepMs));
        click(m_icon.center());
        QVERIFY2(waitFor([&] { return panels().isEmpty(); }, stepMs),
                 qPrintable(failure("the panel stayed open after a click on the icon")));
    }

    // The panel has the keyboard: what is typed reaches its filter, and the
    // list, not empty before, empties. The filter is emptied again after.
    void verifyTypingReachesTheFilter() {
        QVERIFY2(waitFor([&] { return reportedRows() > 0; }, stepMs),
                 qPrintable(failure("no rows in the panel")));
        type(QStringLiteral("zzqqx"));
        QVERIFY2(waitFor([&] { return reportedRows() == 0; }, stepMs),
                 qPrintable(failure("typing did not reach the filter")));
        for (int i = 0; i < 5; ++i)
            key(keyBackSpace);
        QVERIFY2(waitFor([&] { return reportedRows() > 0; }, stepMs),
                 qPrintable(failure("the filter did not empty")));
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(m_program).isExecutable(), "QUAYLINE_PROGRAM names no program");
        for (const char *tool : {"gnome-shell", "Xwayland", "dbus-daemon", "xdotool"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
        const QString extension = "/usr/share/gnome-shell/extensions/" + extensionUuid;
        if (!QFileInfo::exists(extension + "/metadata.json"))
            QSKIP("the AppIndicator extension for GNOME Shell is not installed");
        QVERIFY(QDir().mkpath(m_artifacts));
        registerStatusNotifierTypes();

        // The extension on, and no first-login tour.
        QVERIFY(QDir().mkpath(m_home.filePath("config/glib-2.0/settings")));
        QFile keyfile(m_home.filePath("config/glib-2.0/settings/keyfile"));
        QVERIFY(keyfile.open(QIODevice::WriteOnly));
        keyfile.write("[org/gnome/shell]\nenabled-extensions=['" + extensionUuid.toUtf8() +
                      "']\nwelcome-dialog-last-shown-version='999'\n");
        keyfile.close();

        // The shell asks the system bus for the login manager and more; a
        // bus of its own that has none of them will do.
        QString systemBus;
        for (auto [process, address] :
             {std::pair{&m_sessionBus, &m_busAddress}, std::pair{&m_systemBus, &systemBus}}) {
            *address = startSessionBus(*process, QProcessEnvironment::systemEnvironment());
            QVERIFY(!address->isEmpty());
        }
        m_bus = QDBusConnection::connectToBus(m_busAddress, "quayline-gnome-test");
        QVERIFY(m_bus->isConnected());

        QProcessEnvironment env = baseEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", systemBus);
        m_shell.setProcessChannelMode(QProcess::MergedChannels);
        start(m_shell, "gnome-shell", {"--headless", "--wayland", "--virtual-monitor", "1280x800"},
              env);
        const QRegularExpression xDisplay("Using public X11 display (:\\d+)");
        const bool up = waitFor(
            [&] {
                m_shellLog += m_shell.readAll();
                const auto match = xDisplay.match(QString::fromLocal8Bit(m_shellLog));
                m_display = match.captured(1);
                return m_shell.state() == QProcess::NotRunning ||
                       (match.hasMatch() &&
                        m_bus->interface()->isServiceRegistered(watcherName).value() &&
                        m_bus->interface()
                            ->isServiceRegistered("org.gnome.Mutter.RemoteDesktop")
                            .value());
            },
            startMs);
        if (!up || m_display.isEmpty() || m_shell.state() == QProcess::NotRunning)
            QSKIP(qPrintable("GNOME Shell did not start headless with XWayland and the "
                             "AppIndicator extension here:\n" +
                             QString::fromLocal8Bit(m_shellLog.right(3000))));

        QVERIFY(m_bus->registerService("org.gnome.Screenshot"));
        const QDBusMessage created =
            call("org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
                 "org.gnome.Mutter.RemoteDesktop", "CreateSession");
        m_remote = created.arguments().value(0).value<QDBusObjectPath>().path();
        QVERIFY2(!m_remote.isEmpty(), qPrintable(created.errorMessage()));
        input("Start", {});
        // The shell ends its start-up in the overview; once there, Escape
        // leaves it as a user would. (Leaving it over D-Bus instead leaves
        // the keyboard with the shell, and no window gets the focus.)
        const auto overview = [&] {
            return property("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell",
                            "OverviewActive")
                .toBool();
        };
        waitFor(overview, stepMs);
        QVERIFY(waitFor(
            [&] {
                if (!overview())
                    return true;
                key(keyEscape);
                return false;
            },
            stepMs));
    }

    void cleanupTestCase() {
        if (m_app.state() != QProcess::NotRunning && !m_service.isEmpty()) {
            clickMenu("Quit");
            m_app.waitForFinished(stepMs);
        }
        endProcess(m_app);
        m_bus.reset();
        QDBusConnection::disconnectFromBus("quayline-gnome-test");
        endProcess(m_shell);
        endProcess(m_systemBus);
        endProcess(m_sessionBus);
    }

    // The item registers with the extension's watcher and one icon appears
    // in the top bar.
    void oneIcon() {
        // The tray area as it is, once the top bar has settled (the
        // remote-desktop indicator fades in).
        const QImage before = settledScreen(
            [](const QImage &a, const QImage &b) { return !trayChange(a, b).isValid(); });
        QVERIFY(!before.isNull());

        QVERIFY(m_listener.listen(QHostAddress::LocalHost));
        QProcessEnvironment env = sessionEnvironment();
        env.insert("QUAYLINE_TEST_REPORT", "1");
        start(m_app, m_program, {}, env);
        QVERIFY2(waitFor(
                     [&] {
                         const QStringList items =
                             property(watcherName, "/StatusNotifierWatcher", watcherName,
                                      "RegisteredStatusNotifierItems")
                                 .toStringList();
                         m_service = items.value(0).section('/', 0, 0);
                         return items.size() == 1;
                     },
                     startMs),
                 qPrintable(failure("the item did not register with the extension")));

        QVERIFY2(waitFor(
                     [&] {
                         m_icon = trayChange(before, screenshot());
                         return m_icon.isValid();
                     },
                     stepMs),
                 qPrintable(failure("no icon appeared in the top bar")));
        // Drawn in full: two looks in a row show it the same.
        const QImage drawn = settledScreen([&](const QImage &a, const QImage &b) {
            return trayChange(before, a) == trayChange(before, b);
        });
        m_icon = trayChange(before, drawn);
        QString at;
        QDebug(&at) << m_icon;
        QVERIFY2(m_icon.width() <= largestIcon && m_icon.height() <= topBarHeight, qPrintable(at));
        m_withoutIcon = before;
    }

    // A single click opens the panel beside the icon with the keyboard in
    // its filter; a click on the icon while it is open closes it, and the
    // icon is back at once for the next click, which opens it again.
    void singleClickOpensAndCloses() {
        QVERIFY(m_icon.isValid());
        QVERIFY(iconShown());
        for (int round = 0; round < 2; ++round) {
            click(m_icon.center());
            QRect panel;
            QVERIFY2(waitFor([&] { return (panel = panels().value(0)).isValid(); }, stepMs),
                     qPrintable(failure("no panel after a click on the icon")));
            verifyBesideTheIcon(panel);
            verifyTypingReachesTheFilter();
            if (round == 0)
                QVERIFY(screenshot().save(QDir(m_artifacts).filePath("panel-gnome.png")));
            closeByClick();
            QVERIFY(waitFor([&] { return iconShown(); }, stepMs));
        }
    }

    // The menu's "Open Quayline" (the host gives no position with it) opens
    // the panel beside the icon too; a click on the icon closes it.
    void menuOpensBesideTheIcon() {
        QVERIFY(m_icon.isValid());
        QVERIFY(waitFor([&] { return iconShown(); }, stepMs));
        clickMenu("Open Quayline");
        QRect panel;
        QVERIFY2(waitFor([&] { return (panel = panels().value(0)).isValid(); }, stepMs),
                 qPrintable(failure("no panel from the menu")));
        verifyBesideTheIcon(panel);
        verifyTypingReachesTheFilter();
        closeByClick();
    }

    // The window manager took the program's windows without complaint.
    void noWindowManagerWarnings() {
        m_shellLog += m_shell.readAll();
        const QStringList warnings =
            QString::fromLocal8Bit(m_shellLog)
                .split('\n')
                .filter(QRegularExpression("WM_TRANSIENT_FOR|quayline",
                                           QRegularExpression::CaseInsensitiveOption));
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    GnomeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gnome.moc"
