#include "Quayline/shell/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

namespace {

const QByteArray showRequest = "show\n";
// A client that connects and says nothing is dropped after this.
constexpr std::chrono::seconds clientTimeout{5};

} // namespace

QString SingleInstance::displayKey(const QByteArray &platformName, const QByteArray &x11Display,
                                   const QByteArray &waylandDisplay) {
    QByteArray key;
    if (platformName.startsWith("wayland")) {
        key = waylandDisplay.isEmpty() ? QByteArray("wayland-0") : waylandDisplay;
    } else if (platformName == "xcb") {
        key = x11Display;
        // ":0" and ":0.1" are one X server with one tray.
        const int colon = key.lastIndexOf(':');
        const int dot = key.lastIndexOf('.');
        if (colon >= 0 && dot > colon)
            key.truncate(dot);
    } else {
        key = platformName;
    }
    QString safe;
    for (const char c : std::as_const(key)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        safe += plain ? QChar::fromLatin1(c) : QChar(u'_');
    }
    return safe.isEmpty() ? QStringLiteral("default") : safe;
}

QString SingleInstance::defaultSocketPath() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    const QString key = displayKey(QGuiApplication::platformName().toUtf8(), qgetenv("DISPLAY"),
                                   qgetenv("WAYLAND_DISPLAY"));
    return QDir(dir).filePath(QStringLiteral("quayline-%1.socket").arg(key));
}

SingleInstance::SingleInstance(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_socketPath(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    if (m_server)
        m_server->close(); // removes the socket file
}

SingleInstance::Role SingleInstance::claim(std::chrono::milliseconds timeout) {
    // Two starts at the same moment (a double click on the menu entry) must
    // not both find no server and both listen; the lock orders them.
    QLockFile lock(m_socketPath + QStringLiteral(".lock"));
    const bool locked = lock.tryLock(int(timeout.count()));

    if (askRunningInstance(timeout))
        return Role::AlreadyRunning;
    if (!listen())
        qWarning("quayline: cannot listen on %s; a second start will not find this one",
                 qPrintable(m_socketPath));
    if (locked)
        lock.unlock();
    return Role::Primary;
}

bool SingleInstance::askRunningInstance(std::chrono::milliseconds timeout) {
    if (!QFileInfo::exists(m_socketPath))
        return false;
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(int(timeout.count())))
        return false; // a socket file left behind by an instance that crashed
    socket.write(showRequest);
    if (!socket.waitForBytesWritten(int(timeout.count())))
        return false;
    // The answer tells that the request was read, so the panel is on its way
    // before this process ends. Silence still means somebody is there.
    socket.waitForReadyRead(int(timeout.count()));
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen() {
    delete m_server;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::serveConnection);
    if (m_server->listen(m_socketPath))
        return true;
    if (m_server->serverError() == QAbstractSocket::AddressInUseError) {
        // Nobody answered on it (askRunningInstance), so it is stale.
        QLocalServer::removeServer(m_socketPath);
        if (m_server->listen(m_socketPath))
            return true;
    }
    return false;
}

void SingleInstance::serveConnection() {
    while (QLocalSocket *client = m_server->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        QTimer::singleShot(clientTimeout, client, &QLocalSocket::abort);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            if (!client->canReadLine()) {
                if (client->bytesAvailable() > 64)
                    client->abort();
                return;
            }
            const QByteArray line = client->readLine(64);
            if (line == showRequest) {
                client->write("ok\n");
                client->flush();
                emit activationRequested();
            }
            client->disconnectFromServer();
        });
    }
}
