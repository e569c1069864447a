// The tray program as a StatusNotifierItem, end to end: a private D-Bus
// session bus, a watcher written here that takes the item's registration and
// clicks it the way a host does (Activate with the click position), Xvfb for
// the panel, and trayer for the X11 tray the program falls back to.
//
// Safety: every process the test signals is one it started, by the pid that
// QProcess got then. The program is ended through its own menu.
#include "Quayline/shell/StatusNotifierTypes.h"
#include "X11Session.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

using namespace x11session;

namespace {

const QString itemPrefix = QStringLiteral("org.kde.StatusNotifierItem-");
const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");

} // namespace

// What a StatusNotifier host and its watcher look like to an item.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER registrations)

public:
    bool hostRegistered = true;
    QStringList registrations;
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString &service) { registrations.append(service); }
    void RegisterStatusNotifierHost(const QString &) {}

signals:
    void StatusNotifierItemRegistered(const QString &service);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();
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
        m_bus.registerObject("/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher", &m_object,
                             QDBusConnection::ExportAllContents);
        m_thread.start();
        m_object.moveToThread(&m_thread);
    }
    ~HungWatcher() {
        // Its calls still waiting fail at once as the connection goes.
        QDBusConnection::disconnectFromBus(name);
        m_release.release();
        m_thread.wait();
    }

    QDBusConnection &bus() { return m_bus; }

private:
    class Blocked : public QThread {
    public:
        explicit Blocked(QSemaphore &release)
            : m_release(release) {}
        void run() override { m_release.acquire(); }
        QSemaphore &m_release;
    };

    static inline const QString name = QStringLiteral("quayline-test-hung");
    QSemaphore m_release;
    Blocked m_thread{m_release};
    QObject m_object;
    QDBusConnection m_bus;
};

class StatusNotifierTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_program = qEnvironmentVariable("QUAYLINE_PROGRAM");
    QString m_artifacts = qEnvironmentVariable("QUAYLINE_E2E_ARTIFACTS", "artifacts");
    QString m_display;
    QString m_busAddress;
    QProcess m_bus, m_xvfb;
    std::optional<QDBusConnection> m_connection;
    Watcher m_watcher;

    QProcessEnvironment environment(const QString &display) const {
        return x11session::environment(display, m_home.path(), m_busAddress);
    }

    QByteArray run(const QString &display, const QString &program,
                   const QStringList &arguments) const {
        return x11session::run(program, arguments, environment(display));
    }

    // The program's visible windows on the display: tray icons or its panel.
    QList<QRect> windows(const QString &display, bool icons) const {
        return x11session::windows("^quayline$", environment(display),
                                   [&](const QRect &r) { return isIcon(r) == icons; });
    }

    QDBusMessage call(const QString &service, const QString &path, const QString &interface,
                      const QString &method, const QVariantList &arguments = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        // The program may ask the watcher something meanwhile; this loop answers.
        return m_connection->call(message, QDBus::BlockWithGui, stepMs);
    }

    QStringList itemNames() const {
        QStringList names = m_connection->interface()->registeredServiceNames().value();
        names = names.filter(QRegularExpression('^' + QRegularExpression::escape(itemPrefix)));
        return names;
    }

    // The test's watcher lets a new one take its name, as panels that restart
    // with replacement do.
    void setWatcherPresent(bool present) {
        if (present)
            QCOMPARE(takeWatcherName(*m_connection), true);
        else
            QVERIFY(m_connection->unregisterService(watcherName));
    }

    static bool takeWatcherName(QDBusConnection &bus) {
        return bus.interface()
                   ->registerService(watcherName, QDBusConnectionInterface::ReplaceExistingService,
                                     QDBusConnectionInterface::AllowReplacement)
                   .value() == QDBusConnectionInterface::ServiceRegistered;
    }

    // Chooses a menu entry through dbusmenu, as a host does on a click in it.
    void clickMenu(const QString &service, const QString &label) {
        const QDBusMessage layout = call(service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                         {0, -1, QStringList()});
        QCOMPARE(layout.type(), QDBusMessage::ReplyMessage);
        const auto root = qdbus_cast<DBusMenuLayoutItem>(layout.arguments().value(1));
        for (const DBusMenuLayoutItem &item : root.children) {
            if (item.properties.value("label").toString() == label) {
                // As a group, the way libdbusmenu's hosts send a click.
                const DBusMenuEventList events{{item.id, "clicked", QDBusVariant(0), 0u}};
                const QDBusMessage reply = call(service, "/MenuBar", "com.canonical.dbusmenu",
                                                "EventGroup", {QVariant::fromValue(events)});
                QVERIFY2(reply.type() == QDBusMessage::ReplyMessage,
                         qPrintable(reply.errorMessage()));
                return;
            }
        }
        QFAIL(qPrintable("no menu entry " + label));
    }

    void quitThroughMenu(QProcess &app, const QString &service) {
        clickMenu(service, "Quit");
        QVERIFY(app.waitForFinished(stepMs));
        QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0,
                 app.readAllStandardError().constData());
    }

    // Starts the program and waits for its registration; the item's name.
    QString startRegistered(QProcess &app, const QProcessEnvironment &env) {
        m_watcher.registrations.clear();
        start(app, m_program, {}, env);
        if (!waitFor([&] { return !m_watcher.registrations.isEmpty(); }, startMs))
            return {};
        return m_watcher.registrations.constFirst();
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(m_program).isExecutable(), "QUAYLINE_PROGRAM names no program");
        for (const char *tool : {"dbus-daemon", "Xvfb", "trayer", "xdotool", "xprop", "import"})
            QVERIFY2(!QStandardPaths::findExecutable(tool).isEmpty(), tool);
        QVERIFY(QDir().mkpath(m_artifacts));
        registerStatusNotifierTypes();

        m_busAddress = startSessionBus(m_bus, QProcessEnvironment::systemEnvironment());
        QVERIFY(!m_busAddress.isEmpty());
        m_connection = QDBusConnection::connectToBus(m_busAddress, "quayline-test-host");
        QVERIFY2(m_connection->isConnected(), qPrintable(m_connection->lastError().message()));
        QVERIFY(m_connection->registerObject("/StatusNotifierWatcher", &m_watcher,
                                             QDBusConnection::ExportAllContents));

        m_display = startXvfb(m_xvfb);
        QVERIFY(!m_display.isEmpty());
    }

    void cleanupTestCase() {
        m_connection.reset();
        QDBusConnection::disconnectFromBus("quayline-test-host");
        endProcess(m_xvfb);
        endProcess(m_bus);
    }

    void init() {
        m_watcher.hostRegistered = true;
        if (!m_connection->interface()->isServiceRegistered(watcherName))
            setWatcherPresent(true);
    }

    // The item's properties, its menu, and the panel at the reported click,
    // wholly on the 1280x800 screen when every logical pixel is two (at
    // scale 1 the real hosts of tst_desktop_hosts report their clicks).
    void opensAtTheClick_data() {
        QTest::addColumn<QString>("scale");
        QTest::addColumn<QPoint>("click");
        // A click taken as logical pixels would lie off the screen here.
        QTest::newRow("top-right corner, scale 2") << "2" << QPoint(1270, 12);
    }

    void opensAtTheClick() {
        QFETCH(QString, scale);
        QFETCH(QPoint, click);
        QProcessEnvironment env = environment(m_display);
        env.insert("QT_SCALE_FACTOR", scale);
        QProcess app;
        const auto ending = qScopeGuard([&] { endProcess(app); });
        const QString service = startRegistered(app, env);
        QVERIFY2(!service.isEmpty(), app.readAllStandardError().constData());
        QCOMPARE(itemNames(), QStringList{service}); // Qt's own tray icon made no second item

        const QDBusMessage all =
            call(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "GetAll",
                 {QString("org.kde.StatusNotifierItem")});
        QCOMPARE(all.type(), QDBusMessage::ReplyMessage);
        const QVariantMap properties = qdbus_cast<QVariantMap>(all.arguments().value(0));
        for (const char *name : {"Title", "Id", "Category", "Status"})
            QVERIFY2(!properties.value(name).toString().isEmpty(), name);
        QCOMPARE(properties.value("Title").toString(), QString("Quayline"));
        QCOMPARE(properties.value("Status").toString(), QString("Active"));
        const auto pixmaps = qdbus_cast<SniPixmapList>(properties.value("IconPixmap"));
        QVERIFY(pixmaps.size() >= 3);
        // Each decodes, and the glyph is in them (its look is tst_placement's business).
        QVERIFY(std::any_of(pixmaps.begin(), pixmaps.end(), [](const SniPixmap &p) {
            const QImage image = p.toImage();
            if (image.isNull())
                return false;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (image.pixelColor(x, y).alpha() == 255)
                        return true;
            return false;
        }));
        const auto toolTip = qdbus_cast<SniToolTip>(properties.value("ToolTip"));
        QCOMPARE(toolTip.title, QString("Quayline"));

        const QDBusMessage layout = call(service, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                         {0, -1, QStringList()});
        const auto menu = qdbus_cast<DBusMenuLayoutItem>(layout.arguments().value(1));
        QStringList labels;
        for (const DBusMenuLayoutItem &item : menu.children)
            labels << item.properties.value("label", item.properties.value("type")).toString();
        QCOMPARE(labels, (QStringList{"Open Quayline", "Settings", "separator", "Quit"}));

        // The host's click: the panel opens by it, inside the screen.
        call(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
             {click.x(), click.y()});
        QRect panel;
        QVERIFY2(
            waitFor([&] { return (panel = windows(m_display, false).value(0)).isValid(); }, stepMs),
            app.readAllStandardError().constData());
        QString at;
        QDebug(&at) << panel;
        QVERIFY2(QRect(QPoint(), screenSize).contains(panel), qPrintable(at));
        // Next to the click and not over it (the host's pixels are not Qt's
        // logical ones at scale 2): the gap of 4 logical pixels and two of rounding.
        const int away = distance(click, panel);
        QVERIFY2(away >= 1 && away <= 6 * scale.toInt(),
                 qPrintable(QStringLiteral("%1 px away").arg(away)));
        QCOMPARE(panel.width(), 380 * scale.toInt());
        QTest::qWait(1000); // its first scan and frame
        run(m_display, "import",
            {"-window", "root", QDir(m_artifacts).filePath("panel-scale2.png")});

        // A second click closes it.
        call(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
             {click.x(), click.y()});
        QVERIFY(waitFor([&] { return windows(m_display, false).isEmpty(); }, stepMs));
        quitThroughMenu(app, service);
    }

    // With a watcher but no host, and without a watcher, the icon goes to the
    // X11 tray; when a host turns up it moves there, and back again when the
    // watcher leaves. There is never a second item.
    void followsTheWatcher() {
        QProcess trayer;
        startTrayer(trayer, environment(m_display));
        m_watcher.hostRegistered = false;
        m_watcher.registrations.clear();
        QProcess app;
        const auto ending = qScopeGuard([&] {
            endProcess(app);
            endProcess(trayer);
        });
        start(app, m_program, {}, environment(m_display));
        QVERIFY2(waitFor([&] { return !windows(m_display, true).isEmpty(); }, startMs),
                 app.readAllStandardError().constData());
        QVERIFY(m_watcher.registrations.isEmpty());

        m_watcher.hostRegistered = true;
        emit m_watcher.StatusNotifierHostRegistered();
        QVERIFY(waitFor([&] { return m_watcher.registrations.size() == 1; }, stepMs));
        const QString service = m_watcher.registrations.constFirst();
        QVERIFY(waitFor([&] { return windows(m_display, true).isEmpty(); }, stepMs));
        QCOMPARE(itemNames(), QStringList{service});

        setWatcherPresent(false);
        QVERIFY(waitFor([&] { return windows(m_display, true).size() == 1; }, stepMs));

        setWatcherPresent(true);
        QVERIFY(waitFor([&] { return m_watcher.registrations.size() == 2; }, stepMs));
        QVERIFY(waitFor([&] { return windows(m_display, true).isEmpty(); }, stepMs));
        QCOMPARE(itemNames(), QStringList{service});

        // The name passes straight to a new watcher (a panel restarting with
        // replacement), first one whose host has not come yet: the X11 icon
        // comes back; then its host comes and the item registers with it.
        Watcher second;
        second.hostRegistered = false;
        QDBusConnection secondBus = QDBusConnection::connectToBus(m_busAddress, "quayline-second");
        const auto secondGone =
            qScopeGuard([] { QDBusConnection::disconnectFromBus("quayline-second"); });
        QVERIFY(secondBus.registerObject("/StatusNotifierWatcher", &second,
                                         QDBusConnection::ExportAllContents));
        QVERIFY(takeWatcherName(secondBus));
        QVERIFY(waitFor([&] { return windows(m_display, true).size() == 1; }, stepMs));
        second.hostRegistered = true;
        emit second.StatusNotifierHostRegistered();
        QVERIFY(waitFor([&] { return second.registrations == QStringList{service}; }, stepMs));
        QVERIFY(waitFor([&] { return windows(m_display, true).isEmpty(); }, stepMs));

        // Straight back to the first, host and all: registered there again,
        // with no X11 icon in between.
        QVERIFY(takeWatcherName(*m_connection));
        QVERIFY(waitFor([&] { return m_watcher.registrations.size() == 3; }, stepMs));
        QVERIFY(windows(m_display, true).isEmpty());
        QCOMPARE(itemNames(), QStringList{service});

        quitThroughMenu(app, service);
    }

    // A watcher that takes the name and then never answers, while it floods
    // the item with host signals: the item still answers its host at once
    // (each signal once cost a blocking wait of 2 s), and registers again
    // when a watcher that answers comes back.
    void answersWhileTheWatcherHangs() {
        QProcess app;
        const auto ending = qScopeGuard([&] { endProcess(app); });
        const QString service = startRegistered(app, environment(m_display));
        QVERIFY2(!service.isEmpty(), app.readAllStandardError().constData());
        {
            HungWatcher hung(m_busAddress);
            QVERIFY(takeWatcherName(hung.bus()));
            for (int i = 0; i < 15; ++i)
                QVERIFY(hung.bus().send(QDBusMessage::createSignal(
                    "/StatusNotifierWatcher", watcherName, "StatusNotifierHostRegistered")));
            QDBusMessage title = QDBusMessage::createMethodCall(
                service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get");
            title << QString("org.kde.StatusNotifierItem") << QString("Title");
            // Long before 15 blocking waits of 2 s would have ended.
            const QDBusMessage reply = m_connection->call(title, QDBus::BlockWithGui, 10000);
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
            QCOMPARE(reply.arguments().value(0).value<QDBusVariant>().variant().toString(),
                     QString("Quayline"));
            // Straight to a watcher that answers: registered there again.
            QVERIFY(takeWatcherName(*m_connection));
            QVERIFY(waitFor([&] { return m_watcher.registrations.size() == 2; }, stepMs));
        }
        QCOMPARE(itemNames(), QStringList{service});
        quitThroughMenu(app, service);
    }

    // The menu's opening counts as a click only from GNOME Shell (the real
    // shell's single click is tst_gnome's): another host opens it on a right
    // click, and nothing happens then. GNOME's Activate comes on a double
    // click, whose first click has opened the panel: it shows the panel and
    // never closes it.
    void menuOpeningCountsOnlyFromGnome() {
        QProcess app;
        const auto ending = qScopeGuard([&] {
            endProcess(app);
            m_connection->unregisterService("org.gnome.Shell");
        });
        const QString service = startRegistered(app, environment(m_display));
        QVERIFY2(!service.isEmpty(), app.readAllStandardError().constData());
        const auto activate = [&] {
            call(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate",
                 {1270, 12});
        };
        const auto panelShown = [&] { return !windows(m_display, false).isEmpty(); };

        for (const char *event : {"opened", "closed"})
            call(service, "/MenuBar", "com.canonical.dbusmenu", "Event",
                 {0, QString(event), QVariant::fromValue(QDBusVariant(0)), 0u});
        activate(); // were the menu a click, this would close the panel again
        QVERIFY2(waitFor(panelShown, stepMs), app.readAllStandardError().constData());

        // GNOME's Activate leaves it shown; the next ordinary click closes it.
        QVERIFY(m_connection->registerService("org.gnome.Shell"));
        activate();
        QVERIFY(m_connection->unregisterService("org.gnome.Shell"));
        activate();
        QVERIFY(waitFor([&] { return !panelShown(); }, stepMs));
        quitThroughMenu(app, service);
    }
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    StatusNotifierTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_statusnotifier.moc"
