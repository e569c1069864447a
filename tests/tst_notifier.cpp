// Notifications of watched ports, sent to a notification server of the test's
// own on a private bus, and the list of watched ports as the settings keep it.
#include "PrivateBus.h"
#include "notify/PortNotifier.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

// A notification server as desktops implement the interface: Notify
// (new ids counting up, or the one it replaces), GetCapabilities,
// GetServerInformation, CloseNotification, and the ActionInvoked and
// NotificationClosed signals.
class NotificationServer : public QDBusVirtualObject {
public:
    struct Notice {
        uint id;
        uint replaces;
        QString appName, icon, summary, body;
        QStringList actions;
        QVariantMap hints;
    };

    QStringList capabilities;

    QList<Notice> notices() const {
        QMutexLocker lock(&m_mutex);
        return m_notices;
    }
    void clear() {
        QMutexLocker lock(&m_mutex);
        m_notices.clear();
    }
    void emitSignal(const QString &name, const QVariantList &arguments) {
        QDBusMessage signal = QDBusMessage::createSignal(path, service, name);
        signal.setArguments(arguments);
        QVERIFY(m_bus.send(signal));
    }
    void setBus(const QDBusConnection &bus) { m_bus = bus; }

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override {
        QDBusConnection bus = connection;
        const QVariantList a = message.arguments();
        const QString member = message.member();
        QMutexLocker lock(&m_mutex);
        if (member == u"Notify" && a.size() == 8) {
            const uint replaces = a[1].toUInt();
            const uint id = replaces ? replaces : ++m_lastId;
            m_notices.append({id, replaces, a[0].toString(), a[2].toString(), a[3].toString(),
                              a[4].toString(), a[5].toStringList(), qdbus_cast<QVariantMap>(a[6])});
            return bus.send(message.createReply(id));
        }
        if (member == u"GetCapabilities")
            return bus.send(message.createReply(capabilities));
        if (member == u"GetServerInformation")
            return bus.send(message.createReply(QVariantList{"tests", "Quayline", "1", "1.2"}));
        if (member == u"CloseNotification") {
            QDBusMessage closed = QDBusMessage::createSignal(path, service, "NotificationClosed");
            closed << a.value(0).toUInt() << 3u;
            return bus.send(closed) && bus.send(message.createReply());
        }
        return bus.send(
            message.createErrorReply("org.freedesktop.DBus.Error.UnknownMethod", member));
    }

private:
    mutable QMutex m_mutex;
    QList<Notice> m_notices;
    uint m_lastId = 0;
    QDBusConnection m_bus{QString()};
};

PortEntry row(qint32 pid, const QString &name, qint64 port, const QString &protocol = "TCP") {
    return PortEntry(pid, name, "me", protocol, "IPv4", "*", port, "LISTEN");
}
PortEvent opened(const PortEntry &entry) {
    return {PortEvent::Kind::Opened, entry, QDateTime::currentDateTime()};
}
PortEvent closed(const PortEntry &entry) {
    return {PortEvent::Kind::Closed, entry, QDateTime::currentDateTime()};
}

// One call of handle(): the events and the rows listed after them.
struct Batch {
    PortEventList events;
    PortEntryList current;
};

// Every notice sent here ends with one of this port's, which tells that
// nothing before it is still on its way.
constexpr int sentinelPort = 9;

} // namespace

Q_DECLARE_METATYPE(Batch)
Q_DECLARE_METATYPE(QList<Batch>)

class TestNotifier : public QObject {
    Q_OBJECT

    PrivateBus m_bus;
    QDBusConnection m_serverBus{QString()};
    QDBusConnection m_client{QString()};
    NotificationServer m_server;
    QTemporaryDir m_dir;
    int m_files = 0;

    std::unique_ptr<PortNotifier> notifier(const QString &watched,
                                           std::optional<QDBusConnection> bus = {}) {
        PortNotifier::Dependencies deps;
        deps.settings = std::make_unique<QSettings>(
            m_dir.filePath(QString("q%1.conf").arg(++m_files)), QSettings::IniFormat);
        deps.bus = bus.value_or(m_client);
        auto made = std::make_unique<PortNotifier>(std::move(deps));
        made->setWatchedPortsText(watched);
        return made;
    }

    // Handles the batch, then one that notifies of the sentinel port, and
    // waits until the server has that and the notifier the server's answers.
    void deliver(PortNotifier &notifier, const Batch &batch) {
        const auto sentinels = [this] {
            const QList<NotificationServer::Notice> all = m_server.notices();
            return std::count_if(all.begin(), all.end(),
                                 [](const auto &n) { return n.summary == u"Port 9 closed"; });
        };
        const qsizetype before = sentinels();
        notifier.handle(batch.events, batch.current);
        notifier.handle({closed(row(1, "sentinel", sentinelPort))}, {});
        QTRY_COMPARE(sentinels(), before + 1);
        // The server answered Notify before this; the notifier hears that first.
        QDBusPendingCallWatcher ping(m_client.asyncCall(
            QDBusMessage::createMethodCall(service, path, service, "GetServerInformation")));
        QSignalSpy answered(&ping, &QDBusPendingCallWatcher::finished);
        QVERIFY(answered.wait());
    }

private slots:
    void initTestCase() {
        if (const QString why = m_bus.start(); !why.isEmpty())
            QSKIP(qPrintable(why));
        m_serverBus = QDBusConnection::connectToBus(m_bus.address(), "server");
        m_client = QDBusConnection::connectToBus(m_bus.address(), "client");
        m_server.setBus(m_serverBus);
        QVERIFY(m_serverBus.registerVirtualObject(path, &m_server));
        QVERIFY(m_serverBus.registerService(service));
    }
    void cleanupTestCase() {
        m_serverBus.unregisterObject(path);
        QDBusConnection::disconnectFromBus("server");
        QDBusConnection::disconnectFromBus("client");
    }
    void init() { m_server.clear(); }

    // What each batch of events makes the server show, as "summary | body",
    // with " | replaces <summary>" where it replaces an earlier notice of ours.
    void notices_data() {
        QTest::addColumn<QStringList>("capabilities");
        QTest::addColumn<QList<Batch>>("batches");
        QTest::addColumn<QStringList>("shown");
        const QStringList markup{"body", "body-markup"};
        const PortEntry node = row(4242, "node", 3000);
        QTest::newRow("closed, another row still holds it")
            << markup << QList<Batch>{{{closed(node)}, {row(7, "vite", 3000, "UDP")}}}
            << QStringList{};
        QTest::newRow("an unwatched port")
            << markup << QList<Batch>{{{opened(row(5, "redis", 6379))}, {}}} << QStringList{};
        const PortEntry udp = row(4242, "node", 3000, "UDP");
        QTest::newRow("one port's rows, one notice")
            << markup << QList<Batch>{{{opened(node), opened(udp)}, {node, udp}}}
            << QStringList{"Port 3000 opened | Port 3000 is now held by node (PID 4242)."};
        const PortEntry deno = row(77, "deno", 3000);
        QTest::newRow("replaced by another process in one look")
            << markup << QList<Batch>{{{closed(node), opened(deno)}, {}}}
            << QStringList{"Port 3000 opened | Port 3000 is now held by deno (PID 77)."};
        PortEntry others = row(0, "", 8080);
        others.fromKernel = true;
        others.user = "root";
        others.process.unit = "nginx.service";
        QTest::newRow("another user's, no process known")
            << markup << QList<Batch>{{{opened(others)}, {others}}}
            << QStringList{"Port 8080 opened | Port 8080 is now held by another user’s process "
                           "(root, nginx.service)."};
        QTest::newRow("one port's notices replace each other")
            << markup
            << QList<Batch>{{{opened(node)}, {node}},
                            {{closed(node)}, {}},
                            {{opened(row(1, "x", 8080))}, {}},
                            {{opened(node)}, {node}}}
            << QStringList{"Port 3000 opened | Port 3000 is now held by node (PID 4242).",
                           "Port 3000 closed | Port 3000 is free. | replaces Port 3000 opened",
                           "Port 8080 opened | Port 8080 is now held by x (PID 1).",
                           "Port 3000 opened | Port 3000 is now held by node (PID 4242). | "
                           "replaces Port 3000 closed"};
        const PortEntry hostile = row(66, "<a href=\"x\">i</a>&\x1b[2J\u202e", 3000);
        QTest::newRow("a hostile name, where the body is markup")
            << markup << QList<Batch>{{{opened(hostile)}, {hostile}}}
            << QStringList{"Port 3000 opened | Port 3000 is now held by &lt;a "
                           "href=&quot;x&quot;&gt;i&lt;/a&gt;&amp;\\x1b[2J\\u202e (PID 66)."};
        QTest::newRow("a hostile name, where the body is plain text")
            << QStringList{"body"} << QList<Batch>{{{opened(hostile)}, {hostile}}}
            << QStringList{"Port 3000 opened | Port 3000 is now held by <a "
                           "href=\"x\">i</a>&\\x1b[2J\\u202e (PID 66)."};
    }
    void notices() {
        QFETCH(QStringList, capabilities);
        QFETCH(QList<Batch>, batches);
        QFETCH(QStringList, shown);
        m_server.capabilities = capabilities;
        const auto n = notifier("3000, 8080, 9");
        for (const Batch &batch : std::as_const(batches))
            deliver(*n, batch);
        QStringList got;
        QHash<uint, QString> summaries;
        for (const NotificationServer::Notice &notice : m_server.notices()) {
            QCOMPARE(notice.appName, "Quayline");
            QCOMPARE(notice.icon, "quayline");
            QCOMPARE(notice.hints.value("desktop-entry").toString(), "quayline");
            if (notice.summary == u"Port 9 closed")
                continue;
            QString line = notice.summary + " | " + notice.body;
            if (notice.replaces)
                line += " | replaces " + summaries.value(notice.replaces, "another's");
            summaries.insert(notice.id, notice.summary);
            got << line;
        }
        QCOMPARE(got, shown);
    }

    // Where the server offers actions, a notice's "Open" (and a click on it)
    // asks for the panel on that port; actions on other notices do nothing.
    void openAction_data() {
        QTest::addColumn<QStringList>("capabilities");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("ours");
        QTest::newRow("the button") << QStringList{"actions"} << "open" << true;
        QTest::newRow("a click on the notice") << QStringList{"actions"} << "default" << true;
        QTest::newRow("another program's notice") << QStringList{"actions"} << "default" << false;
        QTest::newRow("a server without actions") << QStringList{} << QString() << false;
    }
    void openAction() {
        QFETCH(QStringList, capabilities);
        QFETCH(QString, key);
        QFETCH(bool, ours);
        m_server.capabilities = capabilities;
        const auto n = notifier("5173, 9");
        const PortEntry vite = row(10, "vite", 5173);
        deliver(*n, {{opened(vite)}, {vite}});
        const NotificationServer::Notice notice = m_server.notices().first();
        QCOMPARE(notice.summary, "Port 5173 opened");
        QCOMPARE(notice.actions, capabilities.isEmpty()
                                     ? QStringList()
                                     : QStringList({"default", "Open", "open", "Open"}));
        if (key.isNull())
            return;
        QSignalSpy open(n.get(), &PortNotifier::openRequested);
        m_server.emitSignal("ActionInvoked", {ours ? notice.id : notice.id + 1000, key});
        // Then the sentinel's: once that is heard, the one above was too.
        m_server.emitSignal("ActionInvoked", {m_server.notices().last().id, "open"});
        QTRY_VERIFY(!open.isEmpty() && open.last().first().toInt() == sentinelPort);
        QCOMPARE(open.count(), ours ? 2 : 1);
        QCOMPARE(open.first().first().toInt(), ours ? 5173 : sentinelPort);
    }

    // No server, or no bus at all: nothing sent, nothing breaks, and the
    // settings can say so; a server that appears later is used.
    void withoutServer() {
        const auto offBus =
            notifier("3000", QDBusConnection::connectToBus("unix:path=/nonexistent", "none"));
        QVERIFY(!offBus->serviceAvailable());
        offBus->handle({closed(row(1, "a", 3000))}, {});

        const auto n = notifier("3000, 9");
        QTRY_VERIFY(n->serviceAvailable());
        QSignalSpy availability(n.get(), &PortNotifier::serviceAvailableChanged);
        QVERIFY(m_serverBus.unregisterService(service));
        QVERIFY(availability.wait());
        QVERIFY(!n->serviceAvailable());
        n->handle({closed(row(1, "a", 3000))}, {});
        QVERIFY(m_serverBus.registerService(service));
        QTRY_VERIFY(n->serviceAvailable());
        deliver(*n, {{closed(row(1, "a", 3000))}, {}});
        QCOMPARE(m_server.notices().first().summary, "Port 3000 closed");
    }

    // The list as written into the field, as saved, and as read at the next
    // start; what is no port is named, never dropped unsaid.
    void watchedPortsSetting_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("typed"); // null: nothing typed
        QTest::addColumn<QList<int>>("ports");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("file");
        const QString bad = "Not watched, as ports are numbered 1 to 65535: ";
        QTest::newRow("nothing stored, nothing watched")
            << QByteArray() << QString() << QList<int>{} << "" << QByteArray();
        QTest::newRow("hand-edited, with one that is no port")
            << QByteArray("watchedPorts=3000, 99999") << QString() << QList<int>{3000}
            << bad + "99999" << QByteArray("watchedPorts=3000, 99999");
        QTest::newRow("three typed")
            << QByteArray() << "3000, 5173, 8080" << QList<int>{3000, 5173, 8080} << ""
            << QByteArray("watchedPorts=3000, 5173, 8080");
        QTest::newRow("repeats, spaces, words and zero")
            << QByteArray() << "8080 3000,,8080, web, 0, +1, 65535" << QList<int>{8080, 3000, 65535}
            << bad + "web, 0, +1" << QByteArray("watchedPorts=8080, 3000, 65535");
        QTest::newRow("one typed")
            << QByteArray() << "22" << QList<int>{22} << "" << QByteArray("watchedPorts=22");
        QTest::newRow("emptied") << QByteArray("watchedPorts=22") << "" << QList<int>{} << ""
                                 << QByteArray("watchedPorts=@Invalid()");
    }
    void watchedPortsSetting() {
        QFETCH(QByteArray, stored);
        QFETCH(QString, typed);
        QFETCH(QList<int>, ports);
        QFETCH(QString, error);
        QFETCH(QByteArray, file);
        const QString name = m_dir.filePath(QString("s%1.conf").arg(++m_files));
        if (!stored.isEmpty()) {
            QFile out(name);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write("[General]\n" + stored + "\n");
        }
        const auto make = [&] {
            return std::make_unique<PortNotifier>(PortNotifier::Dependencies{
                std::make_unique<QSettings>(name, QSettings::IniFormat), m_client});
        };
        auto n = make();
        if (!typed.isNull())
            n->setWatchedPortsText(typed);
        QCOMPARE(n->watchedPorts(), ports);
        QCOMPARE(n->watchedPortsError(), error);
        const QString text = n->watchedPortsText();
        n.reset();
        QFile written(name);
        QCOMPARE(written.open(QIODevice::ReadOnly) ? written.readAll().trimmed() : QByteArray(),
                 file.isEmpty() ? file : "[General]\n" + file);
        n = make();
        QCOMPARE(n->watchedPorts(), ports);
        if (error.isEmpty())
            QCOMPARE(n->watchedPortsText(), text);
    }
};

QTEST_GUILESS_MAIN(TestNotifier)
#include "tst_notifier.moc"
