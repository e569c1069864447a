// The tray program (quayline-testhooks: the program with its list report)
// end to end. First in real tray hosts that this project did not write, one
// row each (TrayHosts.h), driven as a user would: the icon shows, a click
// opens the panel beside it, typing reaches the filter, a second click closes
// it, the menu's "Open Quayline" opens it again, a second start shows the
// running one's panel, and SIGTERM ends it cleanly. Then what no real host
// shows on demand, against a StatusNotifierWatcher of the test's own on a
// private bus with Xvfb and trayer: the panel at a host's click at scale 2,
// GNOME's menu-opening rule, and the item following its watcher (answering
// while one hangs).
//
// Safety: every process the test signals is one it started, by the pid that
// QProcess got then.
#include "TrayHosts.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSemaphore>
#include <QStandardPaths>
#include <QThread>

using namespace trayhosts;

// What a StatusNotifier host and its watcher look like to an item.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER hostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER registrations)

public:
    bool hostRegistered = true;
    QStringList registrations;

public slots:
    void RegisterStatusNotifierItem(const QString &service) { registrations.append(service); }
    void RegisterStatusNotifierHost(const QString &) {}

signals:
    void StatusNotifierHostRegistered();
};

// A watcher that takes the name and never answers: its object lives in a
// thread that runs no event loop, so the calls to it wait in vain, while its
// connection (served by QtDBus's own thread) stays on the bus.
class HungWatcher {
public:
    explicit HungWatcher(const QString &busAddress)
        : m_bus(QDBusConnection::connectToBus(busAddress, name)) {
        // Registered first: QtDBus gives the object a helper child, which
        // must be made in the object's thread and then moves along with it.
        m_bus.registerObject("/StatusNotifierWatcher", watcherName, &m_object,
                             QDBusConnection::ExportAllContents);
        m_thread->start();
        m_object.moveToThread(m_thread.get());
    }
    ~HungWatcher() {
        // Its calls still waiting fail at once as the connection goes.
        QDBusConnection::disconnectFromBus(name);
        m_release.release();
        m_thread->wait();
    }
    QDBusConnection &bus() { return m_bus; }

private:
    static inline const QString name = QStringLiteral("quayline-test-hung");
    QSemaphore m_release;
    std::unique_ptr<QThread> m_thread{QThread::create([this] { m_release.acquire(); })};
    QObject m_object;
    QDBusConnection m_bus;
};

class TrayHostsTest : public QObject {
    Q_OBJECT

    QString m_program = qEnvironmentVariable("QUAYLINE_PROGRAM");
    QString m_artifacts = qEnvironmentVariable("QUAYLINE_E2E_ARTIFACTS", "artifacts");
    // Xvfb and a session bus with the test's watcher, for the cases after the hosts.
    Session m_x11{m_program, false};
    Watcher m_watcher;

    // The test's watcher lets a new one take its name, as panels that
    // restart with replacement do.
    static bool takeWatcherName(QDBusConnection &bus) {
        return bus.interface()
                   ->registerService(watcherName, QDBusConnectionInterface::ReplaceExistingService,
                                     QDBusConnectionInterface::AllowReplacement)
                   .value() == QDBusConnectionInterface::ServiceRegistered;
    }

    QStringList itemNames() {
        return m_x11.bus().interface()->registeredServiceNames().value().filter(
            QRegularExpression("^org\\.kde\\.StatusNotifierItem-"));
    }

    // The program on the test's watcher, and its item's name once registered.
    QProcess &startProgram(const QProcessEnvironment &env) {
        m_watcher.registrations.clear();
        return m_x11.startProgram(env);
    }
    QString registered() {
        waitFor([&] { return !m_watcher.registrations.isEmpty(); }, startMs);
        return m_watcher.registrations.value(0);
    }

    void activate(const QString &service, QPoint at) {
        m_x11.call(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                   {at.x(), at.y()});
    }

    void quitThroughMenu(QProcess &app, const QString &service) {
        QVERIFY(m_x11.clickMenu(service, "Quit"));
        QVERIFY(app.waitForFinished(stepMs));
        QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0,
                 m_x11.appLog().constData());
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(m_program).isExecutable(), "QUAYLINE_PROGRAM names no program");
        QVERIFY(QDir().mkpath(m_artifacts));
        registerStatusNotifierTypes();
        QVERIFY(m_x11.startXvfb());
        m_x11.env.insert("DBUS_SESSION_BUS_ADDRESS", m_x11.startBus());
        QVERIFY2(m_x11.bus().isConnected(), qPrintable(m_x11.bus().lastError().message()));
        QVERIFY(m_x11.bus().registerObject("/StatusNotifierWatcher", &m_watcher,
                                           QDBusConnection::ExportAllContents));
    }

    void init() {
        m_watcher.hostRegistered = true;
        if (!m_x11.bus().interface()->isServiceRegistered(watcherName))
            QVERIFY(takeWatcherName(m_x11.bus()));
    }

    // Without a display, or with one that does not answer, the program says
    // so and ends with status 1; it does not abort.
    void missingDisplay_data() {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("message");
        QTest::newRow("no display") << QString() << "no display";
        QTest::newRow("a display that does not answer")
            << ':' + QString::number(m_x11.env.value("DISPLAY").mid(1).toInt() + 4000)
            << "cannot connect";
    }
    void missingDisplay() {
        QFETCH(QString, display);
        QFETCH(QString, message);
        QProcessEnvironment env = m_x11.env;
        env.insert("DISPLAY", display);
        QProcess &app = m_x11.startProgram(env);
        QVERIFY(app.waitForFinished(startMs));
        const QByteArray errors = app.readAllStandardError();
        QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 1 &&
                     errors.contains(message.toUtf8()),
                 errors.constData());
    }

    void hosts_data() {
        QTest::addColumn<int>("row");
        for (int row = 0; row < int(std::size(table)); ++row)
            QTest::newRow(table[row].name) << row;
    }

    void hosts() {
        QFETCH(int, row);
        const Host &host = table[row];
        for (const QString &tool : QString(host.tools).split(' '))
            if (QStandardPaths::findExecutable(tool).isEmpty())
                QSKIP(qPrintable(tool + " is not installed"));
        // The row typed into the filter: as root, a root service in its
        // unit's cgroup, which an ordinary user's panel lists with its owner
        // and unit (and no pid: its descriptors are closed to that user).
        // Elsewhere (not root, or no cgroup2 to write) a listener of its own.
        CgroupPaths cgroups;
        ServiceInCgroup inUnit(cgroups);
        Listener own;
        const bool unit = inUnit.listener && inUnit.listener->port;
        const Listener &service = unit ? *inUnit.listener : own;
        QVERIFY(service.port);
        Session s(m_program, host.asUser, host.barHeight);
        QVERIFY2(!s.user || s.user->ready, "could not make an ordinary user to run the desktop as");
        const QByteArray expected = QStringLiteral("1 %1:%2/TCP%3")
                                        .arg(s.user ? 0 : service.process.processId())
                                        .arg(service.port)
                                        .arg(!s.user ? ""
                                             : unit  ? "[root,%20demo-web.service]"
                                                     : "[root]")
                                        .toUtf8();
        if (const QString why = host.start(s); !why.isEmpty())
            QSKIP(qPrintable(why));

        // The icon, drawn in full (two looks in a row find it alike), and one only.
        s.before = s.settled(s.trayArea());
        QVERIFY(!s.before.isNull());
        QProcess &app = s.startProgram();
        QRect icon, next;
        QVERIFY2(waitFor([&] { return (icon = s.icon()).isValid(); }, startMs), s.iconMissing());
        QVERIFY(waitFor([&] { return (next = std::exchange(icon, s.icon())) == icon; }));
        if (icon.width() > largestIcon || icon.height() > host.barHeight) {
            // What was taken for the icon, for whoever reads the failure.
            s.before.save(QDir(m_artifacts).filePath(QStringLiteral("before-%1.png").arg(host.id)));
            s.screenshot().save(
                QDir(m_artifacts).filePath(QStringLiteral("icon-%1.png").arg(host.id)));
            QFAIL(qPrintable("an area too large for an icon changed: " + describe(icon)));
        }
        QCOMPARE(s.iconCount(), 1);

        // The panel beside the icon, wholly on screen at full size. Where the
        // compositor moves it after it appears, it may show elsewhere for a
        // frame: what counts is where it comes to rest.
        QRect panel;
        const auto beside = [&] {
            panel = s.panels().value(0);
            return panel.size() == panelSize && QRect(QPoint(), screenSize).contains(panel) &&
                   distance(icon.center(), panel) <= host.barHeight;
        };
        // Beside the icon already as the compositor mapped it, where it
        // tells, and not moved there after a frame elsewhere.
        QList<QRect> mapped;
        int showings = 0;
        const auto placedAtMap = [&] {
            ++showings;
            return !s.placedAtMap ||
                   (waitFor([&] { return (mapped = s.placedAtMap()).size() >= showings; }) &&
                    distance(icon.center(), mapped.value(showings - 1)) <= host.barHeight);
        };
        const auto failure = [&](const char *what) {
            return QStringLiteral("%1: panel %2, icon %3, as mapped %4\n%5")
                .arg(what, describe(panel), describe(icon),
                     mapped.isEmpty() ? QString("-") : describe(mapped.last()),
                     QString::fromLocal8Bit(s.appLog()));
        };
        // Clicks on the icon and its menu once it is drawn (GNOME's hides for
        // a moment after a click), the clicks a few pixels apart so that no
        // two are taken for a double click.
        // The figures: from a click to the panel at rest beside the icon, and
        // to its going (as often as the windows are looked at, a few times a
        // second).
        int clicks = 0;
        QElapsedTimer sinceClick;
        qint64 toShown = 0, toGone = 0;
        const auto shown = [&] { return waitFor([&] { return s.icon().intersects(icon); }); };
        const auto clickIcon = [&] {
            if (!shown())
                return false;
            sinceClick.start();
            s.click(icon.center() + QPoint(++clicks % 2 ? -3 : 3, 0), 1);
            return true;
        };
        const auto closes = [&] {
            const bool gone = clickIcon() && waitFor([&] { return s.panels().isEmpty(); });
            toGone = std::max(toGone, sinceClick.elapsed());
            return gone;
        };

        QVERIFY2(clickIcon() && waitFor(beside) && placedAtMap(), qPrintable(failure("a click")));
        toShown = sinceClick.elapsed();
        // Typing reaches the filter: the list narrows to the service's row.
        // The panel takes the keyboard as it shows, which on a busy machine
        // the compositor may grant a moment after it is in place.
        QVERIFY2(waitFor([&] { return s.focused(); }), qPrintable(failure("no keyboard")));
        s.type(QString::number(service.port));
        QVERIFY2(waitFor([&] { return s.report() == expected; }),
                 ("last list: " + s.report() + ", not " + expected).constData());
        // Drawn, as the list report is printed before the frame.
        s.settled(panel).save(
            QDir(m_artifacts).filePath(QStringLiteral("desktop-%1.png").arg(host.id)));
        QVERIFY2(closes(), qPrintable(failure("a second click")));
        const bool iconBack = shown();
        const bool menuOpened = iconBack && s.openFromMenu(icon);
        if (!menuOpened) // what the screen showed instead, for whoever reads the failure
            s.screenshot().save(
                QDir(m_artifacts).filePath(QStringLiteral("menu-%1.png").arg(host.id)));
        QVERIFY2(menuOpened,
                 qPrintable(failure(iconBack ? "no menu" : "no icon after a second click")));
        QVERIFY2(waitFor(beside) && placedAtMap(), qPrintable(failure("the menu")));
        QVERIFY2(closes(), qPrintable(failure("a click after the menu")));
        qInfo("%s: click to panel shown %lld ms, click to panel gone %lld ms (the slower of two)",
              host.name, toShown, toGone);

        // A second start adds no icon; the running program shows its panel.
        QProcess &second = s.start(s.program, {});
        QVERIFY(second.waitForFinished(startMs));
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(waitFor(beside) && placedAtMap(), qPrintable(failure("a second start")));
        QCOMPARE(s.iconCount(), 1);

        // Ended as a logout does: status 0 also means LeakSanitizer found nothing.
        app.terminate();
        QVERIFY(app.waitForFinished(stepMs));
        QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0, s.appLog());
        // The host took the program's windows without complaint.
        if (s.host) {
            s.hostLog += s.host->readAllStandardError() + s.host->readAllStandardOutput();
            const QStringList warnings =
                QString::fromLocal8Bit(s.hostLog).split('\n').filter(QRegularExpression(
                    "WM_TRANSIENT_FOR|quayline", QRegularExpression::CaseInsensitiveOption));
            QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
        }
    }

    // The icon's menu as hosts read it; the click a host reports with
    // Activate, at scale 2, where every logical pixel is two: the panel
    // opens next to it and not over it, wholly on the screen (a click taken
    // as logical pixels would lie off it). The menu's opening before it counts as a click only from
    // GNOME Shell (the real shell's is the GNOME row's): another host opens it on a right click,
    // and nothing happens then. GNOME's Activate comes on a double click, whose first click has
    // opened the panel: it shows the panel and never closes it; the next ordinary click does.
    void hostsClickAtScale2() {
        QProcessEnvironment env = m_x11.env;
        env.insert("QT_SCALE_FACTOR", "2");
        QProcess &app = startProgram(env);
        const auto ending = qScopeGuard([&] {
            endProcess(app);
            m_x11.bus().unregisterService("org.gnome.Shell");
        });
        const QString service = registered();
        QVERIFY2(!service.isEmpty(), m_x11.appLog().constData());
        const QDBusMessage layout = m_x11.call(service, "/MenuBar", "com.canonical.dbusmenu",
                                               "GetLayout", {0, -1, QStringList()});
        QStringList menu;
        for (const auto &entry :
             qdbus_cast<DBusMenuLayoutItem>(layout.arguments().value(1)).children)
            menu << entry.properties.value("label", entry.properties.value("type")).toString();
        QCOMPARE(menu, (QStringList{"Open Quayline", "Settings", "separator", "Quit"}));
        for (const char *event : {"opened", "closed"})
            m_x11.call(service, "/MenuBar", "com.canonical.dbusmenu", "Event",
                       {0, QString(event), QVariant::fromValue(QDBusVariant(0)), 0u});
        // The pointer where the click was, as it is when a host reports one on X11.
        const QPoint click(1270, 12);
        m_x11.run("xdotool", {"mousemove", QString::number(click.x()), QString::number(click.y())});
        activate(service, click); // were the menu a click, this would close the panel again
        QRect panel;
        QVERIFY2(waitFor([&] { return (panel = m_x11.panels().value(0)).isValid(); }),
                 m_x11.appLog().constData());
        // The gap of 4 logical pixels and two of rounding.
        QVERIFY2(QRect(QPoint(), screenSize).contains(panel) && distance(click, panel) >= 1 &&
                     distance(click, panel) <= 12 && panel.width() == 2 * panelSize.width(),
                 qPrintable(describe(panel)));
        QVERIFY(waitFor([&] { return !m_x11.report().isEmpty(); })); // its first scan
        m_x11.settled(panel).save(QDir(m_artifacts).filePath("panel-scale2.png"));

        QVERIFY(m_x11.bus().registerService("org.gnome.Shell"));
        activate(service, click);
        QVERIFY(m_x11.bus().unregisterService("org.gnome.Shell"));
        activate(service, click);
        QVERIFY(waitFor([&] { return m_x11.panels().isEmpty(); }));
        quitThroughMenu(app, service);
    }

    // With a watcher but no host, the icon goes to the X11 tray, docking
    // there when the tray turns up after the program; when a host comes it
    // moves to it, and back to the X11 tray when the watcher leaves. It
    // registers again with each new owner of the watcher's name, and answers
    // while one hangs. There is never a second item.
    void followsTheWatcher() {
        m_watcher.hostRegistered = false;
        QProcess &app = startProgram(m_x11.env);
        const auto ending = qScopeGuard([&] { endProcess(app); });
        // No tray yet: the panel comes up as an ordinary window.
        QVERIFY2(waitFor([&] { return !m_x11.panels().isEmpty(); }, startMs),
                 m_x11.appLog().constData());
        QProcess &trayer = m_x11.start("trayer", {"--edge", "top", "--align", "right"});
        const auto trayerGone = qScopeGuard([&] { endProcess(trayer); });
        const auto x11Icons = [&](int count) {
            return waitFor([&] { return m_x11.windows(true).size() == count; });
        };
        QVERIFY2(x11Icons(1), "no icon in a tray that came later");
        QVERIFY(m_watcher.registrations.isEmpty());

        m_watcher.hostRegistered = true;
        emit m_watcher.StatusNotifierHostRegistered();
        const QString service = registered();
        QVERIFY(x11Icons(0));
        QCOMPARE(itemNames(), QStringList{service});

        QVERIFY(m_x11.bus().unregisterService(watcherName));
        QVERIFY(x11Icons(1));
        QVERIFY(takeWatcherName(m_x11.bus()));
        QVERIFY(waitFor([&] { return m_watcher.registrations.size() == 2; }));
        QVERIFY(x11Icons(0));

        // The name passes straight to a new watcher (a panel restarting with
        // replacement), first one whose host has not come yet: the X11 icon
        // comes back; then its host comes and the item registers with it.
        Watcher second;
        second.hostRegistered = false;
        QDBusConnection secondBus = QDBusConnection::connectToBus(
            m_x11.env.value("DBUS_SESSION_BUS_ADDRESS"), "quayline-second");
        const auto secondGone =
            qScopeGuard([] { QDBusConnection::disconnectFromBus("quayline-second"); });
        QVERIFY(secondBus.registerObject("/StatusNotifierWatcher", &second,
                                         QDBusConnection::ExportAllContents));
        QVERIFY(takeWatcherName(secondBus));
        QVERIFY(x11Icons(1));
        second.hostRegistered = true;
        emit second.StatusNotifierHostRegistered();
        QVERIFY(waitFor([&] { return second.registrations == QStringList{service}; }));
        QVERIFY(x11Icons(0));

        // Straight back to the first, host and all: registered there again,
        // with no X11 icon in between.
        QVERIFY(takeWatcherName(m_x11.bus()));
        QVERIFY(waitFor([&] { return m_watcher.registrations.size() == 3; }));
        QVERIFY(m_x11.windows(true).isEmpty());

        // A watcher that takes the name and then never answers, while it
        // floods the item with host signals: the item still answers its host
        // at once (each signal once cost a blocking wait of 2 s), and
        // registers again when a watcher that answers comes back.
        {
            HungWatcher hung(m_x11.env.value("DBUS_SESSION_BUS_ADDRESS"));
            QVERIFY(takeWatcherName(hung.bus()));
            for (int i = 0; i < 15; ++i)
                QVERIFY(hung.bus().send(QDBusMessage::createSignal(
                    "/StatusNotifierWatcher", watcherName, "StatusNotifierHostRegistered")));
            const QDBusMessage all =
                m_x11.call(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties",
                           "GetAll", {QString("org.kde.StatusNotifierItem")});
            const auto item = qdbus_cast<QVariantMap>(all.arguments().value(0));
            QCOMPARE(item.value("Title").toString(), QString("Quayline"));
            QCOMPARE(qdbus_cast<SniToolTip>(item.value("ToolTip")).title, QString("Quayline"));
            // The glyph at the sizes hosts pick from.
            QVERIFY(qdbus_cast<SniPixmapList>(item.value("IconPixmap")).size() >= 3);
            QVERIFY(takeWatcherName(m_x11.bus()));
            QVERIFY(waitFor([&] { return m_watcher.registrations.size() == 4; }));
        }
        QCOMPARE(itemNames(), QStringList{service});
        quitThroughMenu(app, service);
    }
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    TrayHostsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray_hosts.moc"
