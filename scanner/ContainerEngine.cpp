#include "scanner/ContainerEngine.h"

#include "model/DisplayText.h"
#include "model/Holder.h"
#include "process/Descriptor.h"

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

// Docker's and Podman's ids are 64 hex digits; a few more leave room.
constexpr qsizetype maxIdLength = 128;

// A socket of root's whose process this viewer cannot see: where a
// container publishes its address and port, it is the engine's proxy in a
// cgroup that is not searched (a dockerd started by hand, or by an init
// without cgroups of its own).
bool isUnseenRootRow(const PortEntry &e) {
    return e.fromKernel && e.pid <= 0 && e.uid == 0;
}

bool isEngineRow(const PortEntry &e) {
    return !e.process.container.isEmpty() || isEngineHeld(e) || isUnseenRootRow(e);
}

} // namespace

QString PublishedPort::rowAddress(const QString &engineAddress) {
    if (engineAddress.isEmpty() || engineAddress == u"0.0.0.0" || engineAddress == u"::")
        return QStringLiteral("*");
    if (engineAddress.contains(u':'))
        return u'[' + engineAddress + u']';
    return engineAddress;
}

bool PublishedPort::covers(const PortEntry &entry) const {
    return entry.port == port && entry.networkProtocol == protocol && entry.address == address;
}

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
    Answer answer = request(socket, "GET", path, timeLimit);
    if (answer.outcome != Answer::Outcome::Answered || answer.status != 200)
        return std::nullopt;
    return std::move(answer.body);
}

ContainerEngine::Answer ContainerEngine::request(const QString &socket, const QByteArray &method,
                                                 const QByteArray &path,
                                                 std::chrono::milliseconds timeLimit) {
    using Outcome = Answer::Outcome;
    Answer result;
    const QByteArray name = QFile::encodeName(socket);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || size_t(name.size()) >= sizeof address.sun_path) {
        result.outcome = Outcome::Absent;
        return result;
    }
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const UniqueFd socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socketFd.isValid()) {
        result.error = errno;
        return result;
    }
    const int fd = socketFd.get();
    const QDeadlineTimer deadline(timeLimit);
    const auto fail = [&](Outcome outcome, int error) {
        result.outcome = outcome;
        result.error = error;
    };
    // Whether fd is ready for events within the limit; if not, the outcome
    // says why. Nothing more once the limit has passed, even where more came.
    const auto ready = [&](short events) {
        const Readiness readiness =
            deadline.hasExpired() ? Readiness::TimedOut : waitReady(fd, events, deadline);
        if (readiness == Readiness::TimedOut)
            fail(Outcome::TimedOut, 0);
        else if (readiness == Readiness::Failed)
            fail(Outcome::Broken, errno);
        return readiness == Readiness::Ready;
    };
    [&] {
        // A unix socket connects at once or not at all; EAGAIN means its
        // backlog is full, so the engine is busy: try again until the limit.
        while (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EAGAIN && !deadline.hasExpired()) {
                ::poll(nullptr, 0, 10);
                continue;
            }
            switch (error) {
            case ENOENT:
            case ENOTDIR:
                return fail(Outcome::Absent, error);
            case ECONNREFUSED:
                return fail(Outcome::Refused, error);
            case EACCES:
            case EPERM:
                return fail(Outcome::Denied, error);
            case EAGAIN:
                return fail(Outcome::TimedOut, error);
            default:
                return fail(Outcome::Broken, error);
            }
        }
        const QByteArray request =
            method + ' ' + path + " HTTP/1.0\r\nHost: engine\r\nContent-Length: 0\r\n\r\n";
        qsizetype sent = 0;
        while (sent < request.size()) {
            if (!ready(POLLOUT))
                return;
            const ssize_t n =
                ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR && errno != EAGAIN)
                return fail(Outcome::Broken, errno);
            sent += n > 0 ? n : 0;
        }
        QByteArray answer;
        constexpr qsizetype cap = 16 * 1024 * 1024; // no listing comes near it
        char buffer[16384];
        for (;;) {
            if (!ready(POLLIN))
                return;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0)
                break;
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return fail(Outcome::Broken, errno);
            }
            answer.append(buffer, n);
            if (answer.size() > cap)
                return fail(Outcome::Broken, 0);
        }
        const qsizetype end = answer.indexOf("\r\n\r\n");
        const qsizetype firstLine = answer.indexOf("\r\n");
        if (end < 0 || firstLine < 0)
            return fail(Outcome::Broken, 0);
        // "HTTP/1.1 204 No Content"
        const QList<QByteArray> status = answer.left(firstLine).split(' ');
        bool ok = false;
        result.status = status.size() >= 2 ? status[1].toInt(&ok) : 0;
        if (!ok || !status[0].startsWith("HTTP/"))
            return fail(Outcome::Broken, 0);
        result.outcome = Outcome::Answered;
        result.body = answer.mid(end + 4);
    }();
    return result;
}

QList<ContainerEngine::Container> ContainerEngine::parseList(const QByteArray &json) {
    QList<Container> containers;
    for (const QJsonValue &value : QJsonDocument::fromJson(json).array()) {
        const QJsonObject o = value.toObject();
        Container c;
        c.id = o.value(u"Id").toString();
        // An id is 64 hex digits: a longer one names no container here.
        if (c.id.isEmpty() || c.id.size() > maxIdLength)
            continue;
        c.name = o.value(u"Names").toArray().first().toString();
        if (c.name.startsWith(u'/'))
            c.name.remove(0, 1);
        c.name = boundedName(std::move(c.name));
        c.image = boundedName(o.value(u"Image").toString());
        c.composeProject = boundedName(
            o.value(u"Labels").toObject().value(u"com.docker.compose.project").toString());
        for (const QJsonValue &value : o.value(u"Ports").toArray()) {
            const QJsonObject p = value.toObject();
            PublishedPort port;
            port.port = p.value(u"PublicPort").toInteger();
            if (port.port <= 0 || port.port > 65535)
                continue;
            port.protocol = p.value(u"Type").toString().toUpper();
            port.address = PublishedPort::rowAddress(p.value(u"IP").toString());
            // Docker lists a port published on every address once per family.
            if (!c.ports.contains(port))
                c.ports.append(std::move(port));
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
                if (std::any_of(c.ports.cbegin(), c.ports.cend(),
                                [&](const PublishedPort &p) { return p.covers(e); })) {
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

QList<PublishedPort> ContainerEngine::publishedPorts(const QList<Container> &containers) {
    QList<PublishedPort> ports;
    for (const Container &c : containers) {
        for (PublishedPort port : c.ports) {
            port.container = c.name.isEmpty() ? c.id.left(12) : c.name;
            ports.append(std::move(port));
        }
    }
    return ports;
}

bool ContainerEngine::isContainerReference(const QString &text) {
    if (text.isEmpty() || text.size() > 256)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool alnum =
            (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
        if (!alnum && (i == 0 || (c != u'_' && c != u'.' && c != u'-')))
            return false;
    }
    return true;
}

std::optional<ContainerEngine::Details> ContainerEngine::parseInspection(const QByteArray &json) {
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    Details details;
    details.id = o.value(u"Id").toString();
    if (details.id.isEmpty() || details.id.size() > maxIdLength)
        return std::nullopt;
    details.name = o.value(u"Name").toString();
    if (details.name.startsWith(u'/'))
        details.name.remove(0, 1);
    details.name = boundedName(std::move(details.name));
    details.restartPolicy = boundedName(o.value(u"HostConfig")
                                            .toObject()
                                            .value(u"RestartPolicy")
                                            .toObject()
                                            .value(u"Name")
                                            .toString());
    // Docker leaves the name empty for a container made without --restart.
    if (details.restartPolicy.isEmpty())
        details.restartPolicy = QStringLiteral("no");
    details.pid = qint32(o.value(u"State").toObject().value(u"Pid").toInteger());
    // {"80/tcp": [{"HostIp": "127.0.0.1", "HostPort": "8080"}], "53/udp": null}
    const QJsonObject ports = o.value(u"NetworkSettings").toObject().value(u"Ports").toObject();
    for (auto it = ports.begin(); it != ports.end(); ++it) {
        const QString protocol = it.key().section(u'/', 1).toUpper();
        for (const QJsonValue &binding : it.value().toArray()) {
            bool ok = false;
            const qint64 port = binding.toObject().value(u"HostPort").toString().toLongLong(&ok);
            if (ok && port > 0 && !details.published.contains(std::pair{protocol, port}))
                details.published.append({protocol, port});
        }
    }
    return details;
}

std::optional<ContainerEngine::Details> ContainerEngine::inspect(const QString &idOrName) {
    if (!isContainerReference(idOrName))
        return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    {
        QMutexLocker lock(&m_mutex);
        if (const auto it = m_inspected.constFind(idOrName);
            it != m_inspected.cend() && now - it->at < detailsLifetime) {
            if (it->details.id.isEmpty())
                return std::nullopt;
            return it->details;
        }
    }
    Inspected found{{}, {}, now};
    const QByteArray path = "/v1.41/containers/" + idOrName.toLatin1() + "/json";
    for (const QString &socket : std::as_const(m_sockets)) {
        const Answer answer = request(socket, "GET", path, m_timeLimit);
        if (answer.outcome != Answer::Outcome::Answered || answer.status != 200)
            continue;
        if (const std::optional<Details> details = parseInspection(answer.body)) {
            found.details = *details;
            found.socket = socket;
            break;
        }
    }
    // A miss is kept too: a container that no engine knows, or no engine at
    // all, should not cost a round of time limits on every refresh.
    QMutexLocker lock(&m_mutex);
    m_inspected.insert(idOrName, found);
    // A keeper names the container by its full id: its stop finds the engine.
    if (!found.details.id.isEmpty())
        m_inspected.insert(found.details.id, found);
    if (found.details.id.isEmpty())
        return std::nullopt;
    return found.details;
}

QStringList ContainerEngine::socketsFor(const QString &idOrName) const {
    QStringList sockets = m_sockets;
    QMutexLocker lock(&m_mutex);
    const QString known = m_inspected.value(idOrName).socket;
    if (!known.isEmpty() && sockets.removeOne(known))
        sockets.prepend(known);
    return sockets;
}

void ContainerEngine::forget(const QString &idOrName) {
    QMutexLocker lock(&m_mutex);
    m_inspected.remove(idOrName);
}
