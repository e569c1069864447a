#pragma once

// A systemd service manager of the test's own on a private bus: a
// dbus-daemon the test starts, and an object that answers the calls a client
// stopping a unit makes (GetUnit, the unit's and service's properties,
// StopUnit, Subscribe, Unsubscribe) and lists socket units
// (ListUnitsByPatterns, a socket's Listen), with the replies, error names and
// JobRemoved signals systemd 252 gives. It serves from a thread of its own,
// so a test may block on a call, or wait for a child process that calls it
// (point a program at it with DBUS_SESSION_BUS_ADDRESS or
// DBUS_SYSTEM_BUS_ADDRESS set to address()).

#include "PrivateBus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QHash>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <QThread>

// One unit of ListUnitsByPatterns's answer, a(ssssssouso).
struct FakeUnitRow {
    QString name, description, loadState, activeState, subState, following;
    QDBusObjectPath path;
    uint job = 0;
    QString jobType;
    QDBusObjectPath jobPath{QStringLiteral("/")};
};
inline QDBusArgument &operator<<(QDBusArgument &arg, const FakeUnitRow &u) {
    arg.beginStructure();
    arg << u.name << u.description << u.loadState << u.activeState << u.subState << u.following
        << u.path << u.job << u.jobType << u.jobPath;
    arg.endStructure();
    return arg;
}
inline const QDBusArgument &operator>>(const QDBusArgument &arg, FakeUnitRow &u) {
    arg.beginStructure();
    arg >> u.name >> u.description >> u.loadState >> u.activeState >> u.subState >> u.following >>
        u.path >> u.job >> u.jobType >> u.jobPath;
    arg.endStructure();
    return arg;
}
Q_DECLARE_METATYPE(FakeUnitRow)
using FakeListen = QList<QPair<QString, QString>>; // a socket's Listen, a(ss)

class FakeServiceManager {
public:
    struct Unit {
        QString name; // "demo-web.service"
        QString activeState = QStringLiteral("active");
        QString restart = QStringLiteral("no");     // the service's Restart=
        QString jobResult = QStringLiteral("done"); // JobRemoved's result for its stop
        // What the manager's authorization check gives for a stop.
        enum class Authorization {
            Allowed,
            Denied,     // polkit said no (or its password prompt was dismissed)
            NeedsAgent, // polkit would ask: refused unless the call allows interaction
        } authorization = Authorization::Allowed;
        bool jobEndsBeforeReply = false; // JobRemoved goes out before StopUnit's answer
        bool jobNeverEnds = false;
        FakeListen listen{}; // a socket unit's: {"Stream", "[::]:22"}, …
    };

    // What the manager received: "StopUnit demo-web.service replace interactive".
    QStringList calls() const {
        QMutexLocker lock(&m_object->mutex);
        return m_object->calls;
    }

    ~FakeServiceManager() {
        if (m_connection.isConnected()) {
            m_connection.unregisterService(QStringLiteral("org.freedesktop.systemd1"));
            m_connection.unregisterObject(QStringLiteral("/org/freedesktop/systemd1"),
                                          QDBusConnection::UnregisterTree);
        }
        m_connection = QDBusConnection(QString());
        QDBusConnection::disconnectFromBus(m_connectionName);
        // Deleted in its own thread, where Qt's D-Bus keeps what it attached to it.
        if (m_thread.isRunning()) {
            Object *object = m_object.release();
            QMetaObject::invokeMethod(
                object, [object] { delete object; }, Qt::BlockingQueuedConnection);
        }
        m_thread.quit();
        m_thread.wait();
    }

    // Starts the bus and the manager; empty on success, else why not.
    QString start() {
        qDBusRegisterMetaType<FakeUnitRow>();
        qDBusRegisterMetaType<QList<FakeUnitRow>>();
        qDBusRegisterMetaType<QPair<QString, QString>>();
        qDBusRegisterMetaType<FakeListen>();
        if (const QString why = m_bus.start(); !why.isEmpty())
            return why;
        m_connectionName = QStringLiteral("fake-service-manager-%1").arg(quintptr(this));
        m_connection = QDBusConnection::connectToBus(m_bus.address(), m_connectionName);
        // Registered before it moves: Qt gives the object a helper child, which
        // must be made in the object's thread and then moves along with it.
        if (!m_connection.registerVirtualObject(QStringLiteral("/org/freedesktop/systemd1"),
                                                m_object.get(), QDBusConnection::SubPath))
            return QStringLiteral("cannot serve on the private bus: ") +
                   m_connection.lastError().message();
        m_object->moveToThread(&m_thread);
        m_thread.start();
        if (!m_connection.registerService(QStringLiteral("org.freedesktop.systemd1")))
            return QStringLiteral("cannot own the manager's name: ") +
                   m_connection.lastError().message();
        return {};
    }

    const QString &address() const { return m_bus.address(); }

    // A connection of the test's own to the bus, as a client.
    QDBusConnection client(const QString &name) const {
        return QDBusConnection::connectToBus(m_bus.address(), name);
    }

    void setUnit(const Unit &unit) {
        QMutexLocker lock(&m_object->mutex);
        m_object->units.insert(unit.name, unit);
    }
    void clear() {
        QMutexLocker lock(&m_object->mutex);
        m_object->units.clear();
        m_object->calls.clear();
        m_object->silent = false;
    }
    // No manager on the bus: its name is given up (and taken again).
    void setPresent(bool present) {
        if (present)
            m_connection.registerService(QStringLiteral("org.freedesktop.systemd1"));
        else
            m_connection.unregisterService(QStringLiteral("org.freedesktop.systemd1"));
    }
    // A manager that takes every call and answers none.
    void setSilent(bool silent) {
        QMutexLocker lock(&m_object->mutex);
        m_object->silent = silent;
    }

    // systemd's object path of a unit: bytes other than [A-Za-z0-9] (and a
    // leading digit) as _XX.
    static QString unitPath(const QString &unit) {
        QString escaped;
        const QByteArray bytes = unit.toUtf8();
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            const bool digit = c >= '0' && c <= '9';
            if (alpha || (digit && i > 0))
                escaped += QLatin1Char(c);
            else
                escaped += QStringLiteral("_%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
        }
        return QStringLiteral("/org/freedesktop/systemd1/unit/") + escaped;
    }

private:
    class Object : public QDBusVirtualObject {
    public:
        mutable QMutex mutex;
        QHash<QString, Unit> units;
        QStringList calls;
        QSet<QString> subscribers;
        bool silent = false;
        uint lastJob = 0;

        QString introspect(const QString &) const override { return {}; }

        bool handleMessage(const QDBusMessage &message,
                           const QDBusConnection &connection) override {
            QDBusConnection bus = connection;
            QMutexLocker lock(&mutex);
            const QVariantList args = message.arguments();
            const QString member = message.member();
            QStringList call{member};
            for (const QVariant &a : args)
                call.append(a.toString());
            call.append(message.isInteractiveAuthorizationAllowed() ? "interactive"
                                                                    : "noninteractive");
            calls.append(call.join(u' '));
            if (silent)
                return true; // no answer, ever
            const auto error = [&](const char *name, const QString &text) {
                bus.send(message.createErrorReply(QString::fromLatin1(name), text));
                return true;
            };
            const auto reply = [&](const QVariant &value) {
                bus.send(
                    message.createReply(value.isValid() ? QVariantList{value} : QVariantList{}));
                return true;
            };
            const QString unitName = args.value(0).toString();
            const auto notLoaded = [&] {
                return error("org.freedesktop.systemd1.NoSuchUnit",
                             QStringLiteral("Unit %1 not loaded.").arg(unitName));
            };

            if (message.interface() == u"org.freedesktop.DBus.Properties" && member == u"Get") {
                const QString interface = args.value(0).toString();
                const QString property = args.value(1).toString();
                for (const Unit &unit : std::as_const(units)) {
                    if (unitPath(unit.name) != message.path())
                        continue;
                    if (interface == u"org.freedesktop.systemd1.Unit" && property == u"ActiveState")
                        return reply(QVariant::fromValue(QDBusVariant(unit.activeState)));
                    if (interface == u"org.freedesktop.systemd1.Service" &&
                        property == u"Restart" && unit.name.endsWith(u".service"))
                        return reply(QVariant::fromValue(QDBusVariant(unit.restart)));
                    if (interface == u"org.freedesktop.systemd1.Socket" && property == u"Listen" &&
                        unit.name.endsWith(u".socket"))
                        return reply(
                            QVariant::fromValue(QDBusVariant(QVariant::fromValue(unit.listen))));
                    return error("org.freedesktop.DBus.Error.UnknownProperty",
                                 QStringLiteral("Unknown interface %1 or property %2.")
                                     .arg(interface, property));
                }
                return error("org.freedesktop.DBus.Error.UnknownObject",
                             QStringLiteral("Unknown object '%1'.").arg(message.path()));
            }
            if (message.interface() != u"org.freedesktop.systemd1.Manager" ||
                message.path() != u"/org/freedesktop/systemd1")
                return error("org.freedesktop.DBus.Error.UnknownMethod",
                             QStringLiteral("Unknown method %1.").arg(member));

            if (member == u"Subscribe") {
                subscribers.insert(message.service());
                return reply({});
            }
            if (member == u"Unsubscribe") {
                if (!subscribers.remove(message.service()))
                    return error("org.freedesktop.systemd1.NotSubscribed",
                                 QStringLiteral("Client is not subscribed."));
                return reply({});
            }
            // Units whose name matches a pattern, in one of the states
            // (load, active or sub state) where any are given.
            if (member == u"ListUnitsByPatterns") {
                const QStringList states = args.value(0).toStringList();
                const QStringList patterns = args.value(1).toStringList();
                QList<FakeUnitRow> listed;
                for (const Unit &unit : std::as_const(units)) {
                    const bool named = std::any_of(
                        patterns.cbegin(), patterns.cend(), [&](const QString &pattern) {
                            return QRegularExpression::fromWildcard(pattern)
                                .match(unit.name)
                                .hasMatch();
                        });
                    if ((!patterns.isEmpty() && !named) ||
                        (!states.isEmpty() && !states.contains(unit.activeState) &&
                         !states.contains(QStringLiteral("loaded"))))
                        continue;
                    FakeUnitRow row;
                    row.name = unit.name;
                    row.loadState = QStringLiteral("loaded");
                    row.activeState = row.subState = unit.activeState;
                    row.path = QDBusObjectPath(unitPath(unit.name));
                    listed.append(row);
                }
                return reply(QVariant::fromValue(listed));
            }
            if (member == u"GetUnit") {
                if (!units.contains(unitName))
                    return notLoaded();
                return reply(QVariant::fromValue(QDBusObjectPath(unitPath(unitName))));
            }
            if (member == u"StopUnit") {
                if (!units.contains(unitName))
                    return notLoaded();
                Unit &unit = units[unitName];
                switch (unit.authorization) {
                case Unit::Authorization::Allowed:
                    break;
                case Unit::Authorization::NeedsAgent:
                    if (message.isInteractiveAuthorizationAllowed())
                        break;
                    return error("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired",
                                 QStringLiteral("Interactive authentication required."));
                case Unit::Authorization::Denied:
                    return error("org.freedesktop.DBus.Error.AccessDenied",
                                 QStringLiteral("Access denied"));
                }
                const uint id = ++lastJob;
                const QDBusObjectPath job(
                    QStringLiteral("/org/freedesktop/systemd1/job/%1").arg(id));
                const auto jobRemoved = [&] {
                    if (unit.jobNeverEnds || subscribers.isEmpty())
                        return;
                    QDBusMessage signal = QDBusMessage::createSignal(
                        QStringLiteral("/org/freedesktop/systemd1"),
                        QStringLiteral("org.freedesktop.systemd1.Manager"),
                        QStringLiteral("JobRemoved"));
                    signal << id << QVariant::fromValue(job) << unitName << unit.jobResult;
                    bus.send(signal);
                    if (unit.jobResult == u"done")
                        unit.activeState = QStringLiteral("inactive");
                };
                if (unit.jobEndsBeforeReply)
                    jobRemoved();
                bus.send(message.createReply(QVariant::fromValue(job)));
                if (!unit.jobEndsBeforeReply)
                    jobRemoved();
                return true;
            }
            return error("org.freedesktop.DBus.Error.UnknownMethod",
                         QStringLiteral("Unknown method %1.").arg(member));
        }
    };

    std::unique_ptr<Object> m_object = std::make_unique<Object>();
    QThread m_thread;
    PrivateBus m_bus;
    QString m_connectionName;
    QDBusConnection m_connection{QString()};
};
