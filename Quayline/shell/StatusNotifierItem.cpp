#include "Quayline/shell/StatusNotifierItem.h"

#include "Quayline/shell/StatusNotifierTypes.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <utility>

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");
constexpr int watcherTimeoutMs = 2000;
const QString gnomeShellService = QStringLiteral("org.gnome.Shell");
const QString activeStatus = QStringLiteral("Active");
const QString passiveStatus = QStringLiteral("Passive");
// Longer than GNOME Shell takes to hide an item gone passive (it batches
// property changes for 16 ms) and to close its menu.
constexpr int statusRestoreMs = 500;

// The watcher is there but did not answer in time (or left without answering).
bool unanswered(const QString &errorName) {
    return errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.Timeout");
}

} // namespace

// org.kde.StatusNotifierItem on the item's path.
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(SniPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(SniPixmapList OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ empty)
    Q_PROPERTY(SniPixmapList AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ empty)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem *item)
        : QDBusAbstractAdaptor(item)
        , m_item(item) {
        connect(item, &StatusNotifierItem::iconChanged, this, [this] {
            emit NewIcon();
            emit NewToolTip();
        });
        connect(item, &StatusNotifierItem::statusChanged, this,
                &StatusNotifierItemAdaptor::NewStatus);
    }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return m_item->id(); }
    QString title() const { return m_item->title(); }
    QString status() const { return m_item->status(); }
    int windowId() const { return 0; }
    QString iconName() const { return m_item->icon().name; }
    QString iconThemePath() const { return m_item->icon().themePath; }
    SniPixmapList iconPixmap() const {
        SniPixmapList pixmaps;
        for (const QImage &image : m_item->icon().images)
            pixmaps.append(SniPixmap::fromImage(image));
        return pixmaps;
    }
    QString empty() const { return {}; }
    SniPixmapList noPixmaps() const { return {}; }
    SniToolTip toolTip() const { return {iconName(), iconPixmap(), m_item->title(), QString()}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }

public slots:
    void Activate(int x, int y) { m_item->handleActivate(x, y); }
    void SecondaryActivate(int x, int y) { m_item->handleSecondaryActivate(x, y); }
    void ContextMenu(int x, int y) { m_item->handleContextMenu(x, y); }
    void Scroll(int, const QString &) {}
    // Sent before Activate by hosts on Wayland; the panel asks for activation
    // the ordinary way, so there is nothing to keep.
    void ProvideXdgActivationToken(const QString &) {}

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString &status);

private:
    StatusNotifierItem *m_item;
};

// The object the menu is served on; the context tells the adaptor who sent a call.
class DBusMenuObject : public QObject, public QDBusContext {
    Q_OBJECT

public:
    using QObject::QObject;
    QString sender() const { return calledFromDBus() ? message().service() : QString(); }
};

// com.canonical.dbusmenu for a flat QMenu: its actions are the items 1..n
// under the root 0, in order. Events on the root go to the item.
class DBusMenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    DBusMenuAdaptor(DBusMenuObject *parent, QMenu *menu, StatusNotifierItem *item)
        : QDBusAbstractAdaptor(parent)
        , m_object(parent)
        , m_menu(menu)
        , m_item(item) {}

    uint version() const { return 3; }
    QString textDirection() const {
        return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                     : QStringLiteral("ltr");
    }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public slots:
    uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                   DBusMenuLayoutItem &layout) {
        layout = {parentId, properties(parentId, propertyNames), {}};
        if (parentId == 0 && recursionDepth != 0) {
            const QList<QAction *> actions = m_menu ? m_menu->actions() : QList<QAction *>();
            for (int i = 0; i < actions.size(); ++i)
                layout.children.append({i + 1, properties(i + 1, propertyNames), {}});
        }
        return m_revision;
    }

    DBusMenuItemList GetGroupProperties(const QList<int> &ids, const QStringList &propertyNames) {
        DBusMenuItemList items;
        for (const int id : ids)
            items.append({id, properties(id, propertyNames)});
        return items;
    }

    QDBusVariant GetProperty(int id, const QString &name) {
        return QDBusVariant(properties(id, {name}).value(name));
    }

    void Event(int id, const QString &eventId, const QDBusVariant &, uint) {
        if (id == 0)
            m_item->handleMenuEvent(m_object->sender(), eventId);
        if (eventId != QLatin1String("clicked"))
            return;
        if (QAction *action = actionFor(id); action && action->isEnabled())
            // Not from inside the D-Bus call: the action may open windows or quit.
            QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    }

    // Spelt out, not as DBusMenuEventList: QtDBus finds a slot's argument
    // types by the name moc recorded, and knows the list only by this one.
    // Under the alias the method was not exported at all, and hosts that
    // send their clicks in groups (xfce4-panel, waybar) could not choose any
    // menu entry.
    QList<int> EventGroup(const QList<DBusMenuEvent> &events) {
        QList<int> unknown;
        for (const DBusMenuEvent &event : events) {
            if (event.id != 0 && !actionFor(event.id))
                unknown.append(event.id);
            else
                Event(event.id, event.eventId, event.data, event.timestamp);
        }
        return unknown;
    }

    bool AboutToShow(int) { return false; }

    QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors) {
        for (const int id : ids)
            if (id != 0 && !actionFor(id))
                idErrors.append(id);
        return {};
    }

signals:
    void ItemsPropertiesUpdated(const DBusMenuItemList &updated,
                                const DBusMenuItemKeysList &removed);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

private:
    QAction *actionFor(int id) const {
        if (!m_menu)
            return nullptr;
        const QList<QAction *> actions = m_menu->actions();
        return id >= 1 && id <= actions.size() ? actions.at(id - 1) : nullptr;
    }

    QVariantMap properties(int id, const QStringList &wanted) const {
        QVariantMap all;
        if (id == 0) {
            all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        } else if (const QAction *action = actionFor(id)) {
            if (action->isSeparator()) {
                all.insert(QStringLiteral("type"), QStringLiteral("separator"));
            } else {
                // dbusmenu marks the mnemonic with "_" where Qt uses "&".
                QString label = action->text();
                label.replace(u'_', QStringLiteral("__")).replace(u'&', u'_');
                all.insert(QStringLiteral("label"), label);
            }
            if (!action->isEnabled())
                all.insert(QStringLiteral("enabled"), false);
            if (!action->isVisible())
                all.insert(QStringLiteral("visible"), false);
        }
        if (wanted.isEmpty())
            return all;
        QVariantMap chosen;
        for (const QString &name : wanted)
            if (all.contains(name))
                chosen.insert(name, all.value(name));
        return chosen;
    }

    DBusMenuObject *m_object;
    QMenu *m_menu;
    StatusNotifierItem *m_item;
    // The tray menu is built once, before the item is exported, and its
    // entries never change text, state or number afterwards; so the layout
    // hosts cache stays right and there is nothing to announce with
    // LayoutUpdated or ItemsPropertiesUpdated. A menu that changed would have
    // to raise the revision and send LayoutUpdated.
    uint m_revision = 1;
};

StatusNotifierItem::StatusNotifierItem(const QString &id, const QString &title, QMenu *menu,
                                       QObject *parent, QDBusConnection bus)
    : QObject(parent)
    , m_id(id)
    , m_title(title)
    , m_menu(menu)
    , m_bus(std::move(bus)) {
    registerStatusNotifierTypes();
    static int instances = 0;
    m_serviceName = QStringLiteral("org.kde.StatusNotifierItem-%1-%2")
                        .arg(QCoreApplication::applicationPid())
                        .arg(++instances);
    new StatusNotifierItemAdaptor(this);
    m_statusRestore.setSingleShot(true);
    m_statusRestore.setInterval(statusRestoreMs);
    connect(&m_statusRestore, &QTimer::timeout, this, &StatusNotifierItem::hostMenuGone);
}

StatusNotifierItem::~StatusNotifierItem() {
    if (m_exported) {
        // The watcher drops the item when its name goes.
        m_bus.unregisterService(m_serviceName);
        m_bus.unregisterObject(menuPath);
        m_bus.unregisterObject(itemPath);
    }
}

void StatusNotifierItem::setIcon(const Icon &icon) {
    m_icon = icon;
    emit iconChanged();
}

bool StatusNotifierItem::start() {
    if (!m_bus.isConnected())
        return false; // no session bus: no StatusNotifier host either
    if (!m_exported) {
        auto *menuObject = new DBusMenuObject(this);
        new DBusMenuAdaptor(menuObject, m_menu, this);
        if (!m_bus.registerObject(itemPath, this, QDBusConnection::ExportAdaptors) ||
            !m_bus.registerObject(menuPath, menuObject, QDBusConnection::ExportAdaptors) ||
            !m_bus.registerService(m_serviceName))
            return false;
        m_exported = true;

        m_watcher = new QDBusServiceWatcher(watcherService, m_bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString &, const QString &, const QString &newOwner) {
                    onWatcherOwnerChanged(newOwner);
                });
        for (const char *signal :
             {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
            m_bus.connect(watcherService, watcherPath, watcherService, QLatin1String(signal), this,
                          SLOT(checkWatcher()));
    }
    checkWatcher();
    return true;
}

void StatusNotifierItem::onWatcherOwnerChanged(const QString &newOwner) {
    // Also when the name passes straight from one owner to another (a panel
    // restarting with replacement): the new watcher has never heard of us.
    ++m_ownerGeneration;
    m_registered = false;
    m_checking = false; // a question to the old owner no longer counts
    m_checkAgain = false;
    if (newOwner.isEmpty()) {
        setActive(false);
        emit watcherChecked();
        return;
    }
    checkWatcher();
}

void StatusNotifierItem::checkWatcher() {
    if (m_checking) {
        m_checkAgain = true;
        return;
    }
    m_checking = true;
    m_checkAgain = false;
    // A watcher without a host shows the item nowhere; the X11 tray may.
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    // Only a watcher that runs counts; asking must not start one by activation.
    get.setAutoStartService(false);
    auto *pending = new QDBusPendingCallWatcher(m_bus.asyncCall(get, watcherTimeoutMs), this);
    const quint64 generation = m_ownerGeneration;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                // Asked of an owner that has gone: its successor was asked anew.
                if (generation != m_ownerGeneration)
                    return;
                m_checking = false;
                onHostAnswer(call->reply());
                if (m_checkAgain)
                    checkWatcher();
            });
}

void StatusNotifierItem::onHostAnswer(const QDBusMessage &reply) {
    if (unanswered(reply.errorName())) {
        // A watcher that is there but does not answer: nothing is learnt, and
        // the icon stays where it is until the watcher speaks again or leaves.
        // (Falling back to the X11 tray would ask this same watcher again,
        // through Qt, with a far longer wait.)
        if (!m_active)
            emit watcherChecked();
        return;
    }
    const bool hostThere = reply.type() == QDBusMessage::ReplyMessage &&
                           reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
    if (!hostThere) {
        m_registered = false;
        setActive(false);
    } else if (!m_registered) {
        registerWithWatcher();
    }
    emit watcherChecked();
}

void StatusNotifierItem::registerWithWatcher() {
    QDBusMessage registration = QDBusMessage::createMethodCall(
        watcherService, watcherPath, watcherService, QStringLiteral("RegisterStatusNotifierItem"));
    registration << m_serviceName;
    // The answer is not waited for: a watcher may call back into the item
    // before it answers.
    auto *pending =
        new QDBusPendingCallWatcher(m_bus.asyncCall(registration, watcherTimeoutMs), this);
    const quint64 generation = m_ownerGeneration;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                if (!call->isError() || generation != m_ownerGeneration)
                    return;
                if (unanswered(call->error().name())) {
                    // As with a question that went unanswered; the next one
                    // registers again.
                    m_registered = false;
                    return;
                }
                qWarning("quayline: the StatusNotifier watcher refused the icon: %s",
                         qPrintable(call->error().message()));
                m_registered = false;
                setActive(false);
            });
    m_registered = true;
    setActive(true);
}

void StatusNotifierItem::setActive(bool active) {
    if (m_active == active)
        return;
    m_active = active;
    emit activeChanged(active);
}

QPoint StatusNotifierItem::fromNativePosition(QPoint native) {
    const QList<QScreen *> screens = QGuiApplication::screens();
    const QScreen *found = nullptr;
    for (const QScreen *screen : screens) {
        const QRect logical = screen->geometry();
        // Qt keeps a screen's top-left corner in place and scales its size.
        const QRect nativeRect(logical.topLeft(), logical.size() * screen->devicePixelRatio());
        if (nativeRect.contains(native)) {
            found = screen;
            break;
        }
    }
    if (!found)
        found = QGuiApplication::primaryScreen();
    if (!found)
        return native;
    const QPoint origin = found->geometry().topLeft();
    const qreal ratio = found->devicePixelRatio();
    return origin + QPoint(qRound((native.x() - origin.x()) / ratio),
                           qRound((native.y() - origin.y()) / ratio));
}

namespace {

// Hosts that cannot tell send 0, 0.
std::optional<QPoint> reported(int x, int y) {
    if (x == 0 && y == 0)
        return std::nullopt;
    return StatusNotifierItem::fromNativePosition({x, y});
}

} // namespace

void StatusNotifierItem::handleActivate(int x, int y) {
    const QPoint position = reported(x, y).value_or(QPoint());
    if (calledFromDBus() && isGnomeShell(message().service()))
        emit showRequested(position);
    else
        emit activated(position);
}

void StatusNotifierItem::handleSecondaryActivate(int x, int y) {
    emit secondaryActivated(reported(x, y).value_or(QPoint()));
}

void StatusNotifierItem::handleContextMenu(int x, int y) {
    emit contextMenuRequested(reported(x, y).value_or(QPoint()));
}

void StatusNotifierItem::handleMenuEvent(const QString &sender, const QString &eventId) {
    if (eventId == QLatin1String("closed")) {
        if (m_status == passiveStatus)
            hostMenuGone();
        return;
    }
    // Other hosts open the menu on purpose (a right click on KDE's and
    // xfce4-panel's); only GNOME's means a click on the icon by it.
    if (eventId != QLatin1String("opened") || !isGnomeShell(sender))
        return;
    // GNOME Shell closes an item's menu when the item goes passive and its
    // button hides; the menu would otherwise hold the pointer and keyboard
    // over the panel. The click counts once the menu is gone: while it is
    // open the shell holds the input, and a window that asks for the focus
    // then does not get it.
    setStatus(passiveStatus);
    m_menuClick = true;
    m_statusRestore.start();
}

void StatusNotifierItem::hostMenuGone() {
    m_statusRestore.stop();
    setStatus(activeStatus);
    if (std::exchange(m_menuClick, false))
        emit activated(QPoint());
}

void StatusNotifierItem::setStatus(const QString &status) {
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged(status);
}

bool StatusNotifierItem::isGnomeShell(const QString &sender) const {
    if (sender.isEmpty())
        return false;
    // Asked each time: the shell restarts under a new connection name.
    const QDBusReply<QString> owner = m_bus.interface()->serviceOwner(gnomeShellService);
    return owner.isValid() && owner.value() == sender;
}

#include "StatusNotifierItem.moc"
