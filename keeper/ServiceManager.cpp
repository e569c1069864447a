#include "keeper/ServiceManager.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QEventLoop>
#include <QHash>
#include <QMutex>
#include <QTimer>

namespace {

const QString managerService = QStringLiteral("org.freedesktop.systemd1");
const QString managerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString managerInterface = QStringLiteral("org.freedesktop.systemd1.Manager");

QDBusMessage managerCall(const QString &method, const QVariantList &arguments = {}) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(managerService, managerPath, managerInterface, method);
    call.setArguments(arguments);
    return call;
}

QDBusMessage propertyCall(const QString &path, const QString &interface, const QString &name) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        managerService, path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    call << interface << name;
    return call;
}

int milliseconds(std::chrono::milliseconds limit) {
    return int(std::min<qint64>(limit.count(), std::numeric_limits<int>::max()));
}

// The first argument of a reply, unwrapped from a property's variant.
QVariant firstArgument(const QDBusMessage &reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    const QVariant value = reply.arguments().constFirst();
    if (value.canConvert<QDBusVariant>())
        return value.value<QDBusVariant>().variant();
    return value;
}

// The manager sends its signals only while someone is subscribed, and keeps
// one subscription per client: stops running at once on one connection share
// it, and the last one to finish ends it.
QMutex subscriptionMutex;
QHash<QString, int> subscriptions; // by connection name

void subscribe(QDBusConnection &bus, std::chrono::milliseconds limit) {
    QMutexLocker lock(&subscriptionMutex);
    if (subscriptions[bus.name()]++ == 0)
        bus.call(managerCall(QStringLiteral("Subscribe")), QDBus::Block, milliseconds(limit));
}

void unsubscribe(QDBusConnection &bus) {
    QMutexLocker lock(&subscriptionMutex);
    if (--subscriptions[bus.name()] == 0) {
        subscriptions.remove(bus.name());
        bus.call(managerCall(QStringLiteral("Unsubscribe")), QDBus::NoBlock);
    }
}

} // namespace

// Collects the manager's JobRemoved signals until the awaited job's comes.
class JobWatch : public QObject {
    Q_OBJECT

public:
    QString awaited;
    QHash<QString, QString> results; // job path -> result, as they came

    bool finished() const { return !awaited.isEmpty() && results.contains(awaited); }

signals:
    void done();

public slots:
    void jobRemoved(uint, const QDBusObjectPath &job, const QString &, const QString &result) {
        results.insert(job.path(), result);
        if (finished())
            emit done();
    }
};

ServiceManager::ServiceManager(Bus bus, Limits limits)
    : m_bus(bus)
    , m_connection(QString())
    , m_interactive(bus == Bus::System)
    , m_limits(limits) {}

ServiceManager::ServiceManager(QDBusConnection connection, bool interactiveAuthorization,
                               Limits limits)
    : m_connection(std::move(connection))
    , m_interactive(interactiveAuthorization)
    , m_limits(limits) {}

QDBusConnection ServiceManager::connection() const {
    if (!m_bus)
        return m_connection;
    return *m_bus == Bus::Session ? QDBusConnection::sessionBus() : QDBusConnection::systemBus();
}

KeeperStopResult::Kind ServiceManager::kindOfError(const QString &name) {
    using Kind = KeeperStopResult::Kind;
    static const QHash<QString, Kind> kinds{
        {QStringLiteral("org.freedesktop.systemd1.NoSuchUnit"), Kind::Gone},
        {QStringLiteral("org.freedesktop.systemd1.LoadFailed"), Kind::Gone},
        {QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"), Kind::Gone},
        // polkit said no, or would have asked but no agent could.
        {QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"), Kind::Refused},
        {QStringLiteral("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"),
         Kind::Refused},
        {QStringLiteral("org.freedesktop.PolicyKit1.Error.NotAuthorized"), Kind::Refused},
        {QStringLiteral("org.freedesktop.PolicyKit1.Error.Cancelled"), Kind::Cancelled},
        {QStringLiteral("org.freedesktop.DBus.Error.NoReply"), Kind::TimedOut},
        {QStringLiteral("org.freedesktop.DBus.Error.Timeout"), Kind::TimedOut},
        {QStringLiteral("org.freedesktop.DBus.Error.TimedOut"), Kind::TimedOut},
        {QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"), Kind::Unavailable},
        {QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"), Kind::Unavailable},
        {QStringLiteral("org.freedesktop.DBus.Error.Disconnected"), Kind::Unavailable},
        {QStringLiteral("org.freedesktop.DBus.Error.NoServer"), Kind::Unavailable},
        {QStringLiteral("org.freedesktop.DBus.Error.NoNetwork"), Kind::Unavailable},
        {QStringLiteral("org.freedesktop.DBus.Error.Spawn.ChildExited"), Kind::Unavailable},
    };
    return kinds.value(name, Kind::Failed);
}

std::optional<QString> ServiceManager::restartSetting(const QString &unit) {
    QDBusConnection bus = connection();
    if (!bus.isConnected())
        return std::nullopt;
    const QDBusMessage path = bus.call(managerCall(QStringLiteral("GetUnit"), {unit}), QDBus::Block,
                                       milliseconds(m_limits.call));
    const QString unitPath = firstArgument(path).value<QDBusObjectPath>().path();
    if (unitPath.isEmpty())
        return std::nullopt;
    const QDBusMessage restart =
        bus.call(propertyCall(unitPath, QStringLiteral("org.freedesktop.systemd1.Service"),
                              QStringLiteral("Restart")),
                 QDBus::Block, milliseconds(m_limits.call));
    const QVariant value = firstArgument(restart);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<QList<ListeningSocket>> ServiceManager::listeningSockets() {
    QDBusConnection bus = connection();
    if (!bus.isConnected())
        return std::nullopt;
    const QDBusMessage listed = bus.call(managerCall(QStringLiteral("ListUnitsByPatterns"),
                                                     {QStringList{QStringLiteral("active")},
                                                      QStringList{QStringLiteral("*.socket")}}),
                                         QDBus::Block, milliseconds(m_limits.call));
    // Read only as the manager gives it: anything else on the bus could own its name.
    if (listed.type() != QDBusMessage::ReplyMessage || listed.signature() != u"a(ssssssouso)")
        return std::nullopt;
    QList<std::pair<QString, QDBusPendingCall>> asked;
    const auto units = listed.arguments().constFirst().value<QDBusArgument>();
    units.beginArray();
    while (!units.atEnd()) {
        QString name, description, loadState, activeState, subState, following, jobType;
        QDBusObjectPath path, jobPath;
        uint job = 0;
        units.beginStructure();
        units >> name >> description >> loadState >> activeState >> subState >> following >> path >>
            job >> jobType >> jobPath;
        units.endStructure();
        asked.append(
            {name, bus.asyncCall(propertyCall(path.path(),
                                              QStringLiteral("org.freedesktop.systemd1.Socket"),
                                              QStringLiteral("Listen")),
                                 milliseconds(m_limits.call))});
    }
    units.endArray();

    QList<ListeningSocket> sockets;
    for (auto &[unit, call] : asked) {
        call.waitForFinished();
        const QVariant value = firstArgument(call.reply());
        if (!value.canConvert<QDBusArgument>())
            continue;
        const auto listen = value.value<QDBusArgument>();
        if (listen.currentSignature() != u"a(ss)")
            continue;
        listen.beginArray();
        while (!listen.atEnd()) {
            ListeningSocket socket{unit, {}, {}};
            listen.beginStructure();
            listen >> socket.type >> socket.address;
            listen.endStructure();
            sockets.append(std::move(socket));
        }
        listen.endArray();
    }
    return sockets;
}

KeeperStopResult ServiceManager::stop(const QString &unit) {
    using Kind = KeeperStopResult::Kind;
    const auto failure = [&](const QDBusMessage &reply) -> KeeperStopResult {
        const Kind kind = kindOfError(reply.errorName());
        QString message = reply.errorMessage();
        if (kind == Kind::TimedOut)
            message = QStringLiteral("The service manager did not answer in time.");
        else if (kind == Kind::Unavailable)
            message = QStringLiteral("No service manager answers on this bus (%1).").arg(message);
        else if (message.isEmpty())
            message = reply.errorName();
        return {kind, message};
    };

    QDBusConnection bus = connection();
    if (!bus.isConnected())
        return {Kind::Unavailable,
                QStringLiteral("No service manager: the bus cannot be reached (%1).")
                    .arg(bus.lastError().message())};

    const QDBusMessage found = bus.call(managerCall(QStringLiteral("GetUnit"), {unit}),
                                        QDBus::Block, milliseconds(m_limits.call));
    if (found.type() != QDBusMessage::ReplyMessage)
        return failure(found);
    const QString unitPath = firstArgument(found).value<QDBusObjectPath>().path();
    const QDBusMessage state =
        bus.call(propertyCall(unitPath, QStringLiteral("org.freedesktop.systemd1.Unit"),
                              QStringLiteral("ActiveState")),
                 QDBus::Block, milliseconds(m_limits.call));
    if (state.type() != QDBusMessage::ReplyMessage)
        return failure(state);
    // "activating" covers a service waiting to be restarted: that one is
    // stopped like a running one.
    const QString active = firstArgument(state).toString();
    if (active == u"inactive" || active == u"failed")
        return {Kind::AlreadyStopped, {}};

    // Subscribed and listening before the job exists: a quick job ends
    // before StopUnit's answer is read.
    JobWatch watch;
    if (!bus.connect(managerService, managerPath, managerInterface, QStringLiteral("JobRemoved"),
                     &watch, SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString))))
        return {Kind::Failed, QStringLiteral("Cannot follow the service manager's jobs.")};
    subscribe(bus, m_limits.call);
    const auto cleanUp = qScopeGuard([&] {
        bus.disconnect(managerService, managerPath, managerInterface, QStringLiteral("JobRemoved"),
                       &watch, SLOT(jobRemoved(uint, QDBusObjectPath, QString, QString)));
        unsubscribe(bus);
    });

    QDBusMessage stopCall =
        managerCall(QStringLiteral("StopUnit"), {unit, QStringLiteral("replace")});
    stopCall.setInteractiveAuthorizationAllowed(m_interactive);
    const QDBusMessage job = bus.call(stopCall, QDBus::Block, milliseconds(m_limits.stopCall));
    if (job.type() != QDBusMessage::ReplyMessage)
        return failure(job);
    watch.awaited = firstArgument(job).value<QDBusObjectPath>().path();
    if (watch.awaited.isEmpty())
        return {Kind::Failed, QStringLiteral("The service manager named no stop job.")};

    if (!watch.finished()) {
        QEventLoop loop;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&watch, &JobWatch::done, &loop, &QEventLoop::quit);
        limit.start(m_limits.job);
        // Signals that came while StopUnit was waited for are delivered here.
        loop.exec();
    }
    if (!watch.finished())
        return {Kind::TimedOut, QStringLiteral("The stop of %1 did not end within %2 seconds.")
                                    .arg(unit)
                                    .arg(double(m_limits.job.count()) / 1000.0)};
    const QString result = watch.results.value(watch.awaited);
    if (result == u"done")
        return {Kind::Stopped, {}};
    return {Kind::Failed,
            QStringLiteral("The stop of %1 ended with the result “%2”.").arg(unit, result)};
}

#include "ServiceManager.moc"
