#include "scanner/ContainerEngine.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Waits for fd to be ready for events until the deadline; false when it is not.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        const int rc = ::poll(&pfd, 1, left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX)));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

bool isEngineRow(const PortEntry &e) {
    return !e.process.container.isEmpty() || e.process.unit == u"docker.service" ||
           e.process.unit == u"podman.service" || e.processName == u"docker-proxy" ||
           e.processName == u"dockerd" || e.processName == u"rootlesskit" ||
           e.processName == u"conmon";
}

} // namespace

QStringList ContainerEngine::socketPaths() {
    QStringList paths;
    const QByteArray host = qgetenv("DOCKER_HOST");
    if (host.startsWith("unix://"))
        paths.append(QFile::decodeName(host.mid(7)));
    paths.append(QStringLiteral("/var/run/docker.sock"));
    paths.append(QStringLiteral("/run/podman/podman.sock"));
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        paths.append(runtime + QStringLiteral("/podman/podman.sock"));
        paths.append(runtime + QStringLiteral("/docker.sock"));
    }
    paths.removeDuplicates();
    return paths;
}

ContainerEngine::ContainerEngine(QStringList sockets, std::chrono::milliseconds timeLimit)
    : m_sockets(std::move(sockets))
    , m_timeLimit(timeLimit) {}

std::optional<QByteArray> ContainerEngine::get(const QString &socket, const QByteArray &path,
                                               std::chrono::milliseconds timeLimit) {
    const QByteArray name = QFile::encodeName(socket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || size_t(name.size()) >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return std::nullopt;
    const QDeadlineTimer deadline(timeLimit);
    std::optional<QByteArray> body;
    [&] {
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
            (errno != EINPROGRESS && errno != EAGAIN))
            return;
        const QByteArray request = "GET " + path + " HTTP/1.0\r\nHost: engine\r\n\r\n";
        qsizetype sent = 0;
        while (sent < request.size()) {
            if (!waitFor(fd, POLLOUT, deadline))
                return;
            const ssize_t n =
                ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                return;
            sent += n > 0 ? n : 0;
        }
        QByteArray answer;
        constexpr qsizetype cap = 16 * 1024 * 1024; // no listing comes near it
        char buffer[16384];
        for (;;) {
            if (!waitFor(fd, POLLIN, deadline))
                return;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return;
            }
            answer.append(buffer, n);
            if (answer.size() > cap)
                return;
        }
        const qsizetype end = answer.indexOf("\r\n\r\n");
        const qsizetype firstLine = answer.indexOf("\r\n");
        if (end < 0 || firstLine < 0)
            return;
        const QList<QByteArray> status = answer.left(firstLine).split(' ');
        if (status.size() < 2 || status[1] != "200")
            return;
        body = answer.mid(end + 4);
    }();
    ::close(fd);
    return body;
}

QList<ContainerEngine::Container> ContainerEngine::parseList(const QByteArray &json) {
    QList<Container> containers;
    for (const QJsonValue &value : QJsonDocument::fromJson(json).array()) {
        const QJsonObject o = value.toObject();
        Container c;
        c.id = o.value(u"Id").toString();
        if (c.id.isEmpty())
            continue;
        c.name = o.value(u"Names").toArray().first().toString();
        if (c.name.startsWith(u'/'))
            c.name.remove(0, 1);
        c.image = o.value(u"Image").toString();
        c.composeProject =
            o.value(u"Labels").toObject().value(u"com.docker.compose.project").toString();
        for (const QJsonValue &port : o.value(u"Ports").toArray()) {
            const QJsonObject p = port.toObject();
            const qint64 published = p.value(u"PublicPort").toInteger();
            if (published > 0)
                c.ports.append({p.value(u"Type").toString().toUpper(), published});
        }
        containers.append(std::move(c));
    }
    return containers;
}

std::optional<QList<ContainerEngine::Container>> ContainerEngine::list() {
    for (const QString &socket : std::as_const(m_sockets)) {
        if (const std::optional<QByteArray> body =
                get(socket, "/v1.41/containers/json", m_timeLimit)) {
            QList<Container> containers = parseList(*body);
            // Podman answers Docker's API on a socket of its own name.
            const QString tool = QFileInfo(socket).fileName().startsWith(u"podman")
                                     ? QStringLiteral("podman")
                                     : QStringLiteral("docker");
            for (Container &c : containers)
                c.tool = tool;
            return containers;
        }
    }
    return std::nullopt;
}

void ContainerEngine::annotate(PortEntryList &entries) {
    if (std::none_of(entries.cbegin(), entries.cend(), isEngineRow))
        return;
    const std::optional<QList<Container>> containers = list();
    QMutexLocker lock(&m_mutex);
    if (containers) {
        for (const Container &c : *containers)
            m_byId.insert(c.id, c);
    }
    for (PortEntry &e : entries) {
        if (!isEngineRow(e))
            continue;
        const Container *found = nullptr;
        if (!e.process.container.isEmpty()) {
            for (auto it = m_byId.cbegin(); it != m_byId.cend() && !found; ++it) {
                if (it->id.startsWith(e.process.container))
                    found = &*it;
            }
        } else if (containers) {
            // A proxy of the engine holds the port the container publishes.
            for (const Container &c : *containers) {
                if (c.ports.contains(std::pair{e.networkProtocol, e.port})) {
                    found = &m_byId[c.id];
                    break;
                }
            }
        }
        if (!found)
            continue;
        if (e.process.container.isEmpty())
            e.process.container = found->id.left(12);
        if (e.process.containerTool.isEmpty())
            e.process.containerTool = found->tool;
        e.containerName = found->name;
        e.image = found->image;
        e.composeProject = found->composeProject;
    }
}
