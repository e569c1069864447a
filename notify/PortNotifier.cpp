#include "notify/PortNotifier.h"

#include "model/DisplayText.h"
#include "viewmodel/RowText.h"
#include "viewmodel/SettingsFile.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QMap>
#include <QSet>
#include <functional>

namespace {

const QString watchedPortsKey = QStringLiteral("watchedPorts");
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString busService = QStringLiteral("org.freedesktop.DBus");
const QString busPath = QStringLiteral("/org/freedesktop/DBus");
// A server that takes longer than this is taken for one that does not answer.
constexpr int callTimeoutMs = 10'000;

QDBusMessage notificationsCall(const QString &method) {
    return QDBusMessage::createMethodCall(service, path, service, method);
}

} // namespace

PortNotifier::PortNotifier(Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(dependencies.settings))
    , m_bus(dependencies.bus.value_or(QDBusConnection::sessionBus())) {
    if (!m_settings)
        m_settings =
            std::make_unique<QSettings>(QStringLiteral("Quayline"), QStringLiteral("Quayline"));
    applyText(portListSettingText(m_settings->value(watchedPortsKey)));
    if (!m_bus.isConnected())
        return;
    auto *watcher =
        new QDBusServiceWatcher(service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                onServiceOwnerChanged(newOwner);
            });
    m_bus.connect(service, path, service, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(service, path, service, QStringLiteral("NotificationClosed"), this,
                  SLOT(onNotificationClosed(uint, uint)));
    checkService();
}

void PortNotifier::setWatchedPortsText(const QString &text) {
    if (text == m_text)
        return;
    const QList<int> before = m_ports;
    applyText(text);
    if (m_ports != before)
        m_saveError = writeSettingThrough(m_settings, watchedPortsKey, portListSetting(m_ports));
    emit watchedPortsChanged();
}

void PortNotifier::applyText(const QString &text) {
    PortListText list = parsePortList(text);
    m_text = text;
    m_ports = std::move(list.ports);
    m_invalid = std::move(list.invalid);
}

QString PortNotifier::watchedPortsError() const {
    QStringList lines;
    if (!m_invalid.isEmpty())
        lines << tr("Not watched, as ports are numbered 1 to 65535: %1")
                     .arg(escapeControlCharacters(m_invalid.join(QStringLiteral(", "))));
    if (!m_saveError.isEmpty())
        lines << m_saveError;
    return lines.join(u'\n');
}

void PortNotifier::handle(const PortEventList &events, const PortEntryList &current) {
    // By port, so that the rows of one port (TCP and UDP, a process and its
    // twin) give one notification, in the order of the ports.
    QMap<int, Notice> notices;
    QSet<int> closed;
    for (const PortEvent &event : events) {
        const int port = int(event.entry.port);
        if (!m_ports.contains(port))
            continue;
        if (event.kind == PortEvent::Kind::Closed)
            closed.insert(port);
        else if (!notices.contains(port))
            notices.insert(port, Notice{port, true, event.entry});
    }
    for (const PortEntry &row : current)
        closed.remove(int(row.port));
    for (const int port : std::as_const(closed)) {
        if (!notices.contains(port)) // a port that opened again is held
            notices.insert(port, Notice{port, false, {}});
    }
    if (notices.isEmpty() || !m_bus.isConnected())
        return;
    if (!m_capabilities) {
        m_waiting << notices.values();
        askCapabilities();
        return;
    }
    for (const Notice &notice : std::as_const(notices))
        send(notice);
}

void PortNotifier::send(const Notice &notice) {
    QString body;
    if (notice.opened) {
        const PortEntry &row = notice.holder;
        // Data is joined, never put through arg(), so that a "%1" in a name stays as it is.
        const QString name = RowText::name(row);
        if (row.pid > 0 && name.isEmpty())
            body = tr("Port %1 is now held by PID %2.").arg(notice.port).arg(row.pid);
        else if (row.pid > 0)
            body = tr("Port %1 is now held by ").arg(notice.port) + name +
                   tr(" (PID %1).").arg(row.pid);
        else if (name.isEmpty())
            body = tr("Port %1 is now held by another user’s process.").arg(notice.port);
        else
            body = tr("Port %1 is now held by another user’s process (").arg(notice.port) + name +
                   QStringLiteral(").");
    } else {
        body = tr("Port %1 is free.").arg(notice.port);
    }
    // Where the server reads markup, a name's "<" or "&" would be taken for
    // it.
    const QStringList &capabilities = *m_capabilities;
    if (capabilities.contains(QStringLiteral("body-markup")))
        body = body.toHtmlEscaped();
    QStringList actions;
    if (capabilities.contains(QStringLiteral("actions")))
        actions = {QStringLiteral("default"), tr("Open"), QStringLiteral("open"), tr("Open")};

    QDBusMessage notify = notificationsCall(QStringLiteral("Notify"));
    notify << QStringLiteral("Quayline") << m_ids.value(notice.port) << QStringLiteral("quayline")
           << (notice.opened ? tr("Port %1 opened") : tr("Port %1 closed")).arg(notice.port) << body
           << actions << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("quayline")}}
           << qint32(-1);
    const int port = notice.port;
    call(notify, [this, port](const QDBusMessage &reply) {
        if (reply.type() != QDBusMessage::ReplyMessage)
            return;
        const uint id = reply.arguments().value(0).toUInt();
        if (const uint old = m_ids.value(port); old != id)
            m_portOfId.remove(old);
        m_ids.insert(port, id);
        m_portOfId.insert(id, port);
    });
}

void PortNotifier::askCapabilities() {
    if (m_askingCapabilities)
        return;
    m_askingCapabilities = true;
    call(notificationsCall(QStringLiteral("GetCapabilities")), [this](const QDBusMessage &reply) {
        m_askingCapabilities = false;
        // A server that did not say what it reads is taken to read markup, and
        // is asked again with the next notices.
        const bool answered = reply.type() == QDBusMessage::ReplyMessage;
        m_capabilities = answered ? reply.arguments().value(0).toStringList()
                                  : QStringList{QStringLiteral("body-markup")};
        for (const Notice &notice : std::exchange(m_waiting, {}))
            send(notice);
        if (!answered)
            m_capabilities.reset();
    });
}

void PortNotifier::call(const QDBusMessage &message,
                        std::function<void(const QDBusMessage &)> answered) {
    auto *pending = new QDBusPendingCallWatcher(m_bus.asyncCall(message, callTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, generation = m_serverGeneration,
             answered = std::move(answered)](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                if (generation == m_serverGeneration)
                    answered(call->reply());
            });
}

void PortNotifier::checkService() {
    // Whether a server runs, or the bus would start one for the first
    // notification; asking starts none.
    QDBusMessage hasOwner = QDBusMessage::createMethodCall(busService, busPath, busService,
                                                           QStringLiteral("NameHasOwner"));
    hasOwner << service;
    call(hasOwner, [this](const QDBusMessage &reply) {
        if (reply.arguments().value(0).toBool())
            return setServiceAvailable(true);
        call(QDBusMessage::createMethodCall(busService, busPath, busService,
                                            QStringLiteral("ListActivatableNames")),
             [this](const QDBusMessage &names) {
                 setServiceAvailable(names.arguments().value(0).toStringList().contains(service));
             });
    });
}

void PortNotifier::onServiceOwnerChanged(const QString &newOwner) {
    // Another server, or none: its ids and what it can do are not the last one's.
    ++m_serverGeneration;
    m_askingCapabilities = false;
    m_capabilities.reset();
    m_ids.clear();
    m_portOfId.clear();
    if (!m_waiting.isEmpty())
        askCapabilities();
    if (newOwner.isEmpty())
        checkService();
    else
        setServiceAvailable(true);
}

void PortNotifier::setServiceAvailable(bool available) {
    if (available == m_serviceAvailable)
        return;
    m_serviceAvailable = available;
    emit serviceAvailableChanged();
}

void PortNotifier::onActionInvoked(uint id, const QString &key) {
    // Every client hears every action: only our own notifications count.
    const auto port = m_portOfId.constFind(id);
    if (port != m_portOfId.cend() && (key == u"default" || key == u"open"))
        emit openRequested(*port);
}

void PortNotifier::onNotificationClosed(uint id, uint) {
    if (const auto port = m_portOfId.constFind(id); port != m_portOfId.cend()) {
        m_ids.remove(*port);
        m_portOfId.erase(port);
    }
}
