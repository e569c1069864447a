#include "scanner/UserEngine.h"

#include "model/DisplayText.h"
#include "model/Holder.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <unistd.h>

namespace {

using Check = PortEntry::ProxyCheck;

// A proxy of the viewer's own: its socket's owner where known, else lsof's
// rows of a user who is not root, since those list only the user's processes.
bool ownProxy(const PortEntry &e, qint64 self) {
    if (!isRootlessProxy(e))
        return false;
    return e.uid >= 0 ? e.uid == self : !e.fromKernel && self != 0;
}

QString proxyKey(const PortEntry &e) {
    return QStringLiteral("%1/%2/%3/%4")
        .arg(e.pid)
        .arg(e.process.startTicks)
        .arg(e.networkProtocol)
        .arg(e.port);
}

const ContainerEngine::Container *publisher(const QList<ContainerEngine::Container> &containers,
                                            const PortEntry &e) {
    for (const ContainerEngine::Container &c : containers) {
        if (std::any_of(c.ports.cbegin(), c.ports.cend(),
                        [&](const PublishedPort &p) { return p.covers(e); }))
            return &c;
    }
    return nullptr;
}

} // namespace

UserEngine::Config UserEngine::defaults() {
    Config config;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        config.podmanSocket = runtime + QStringLiteral("/podman/podman.sock");
        config.dockerSocket = runtime + QStringLiteral("/docker.sock");
    }
    config.podman = QStandardPaths::findExecutable(QStringLiteral("podman"));
    return config;
}

UserEngine::UserEngine(Config config, qint64 selfUid)
    : m_config(std::move(config))
    , m_self(selfUid >= 0 ? selfUid : qint64(::getuid())) {}

QList<ContainerEngine::Container> UserEngine::parsePodmanList(const QByteArray &json) {
    QList<ContainerEngine::Container> containers;
    for (const QJsonValue &value : QJsonDocument::fromJson(json).array()) {
        const QJsonObject o = value.toObject();
        ContainerEngine::Container c;
        c.id = o.value(u"Id").toString();
        if (c.id.isEmpty() || !ContainerEngine::isContainerReference(c.id))
            continue;
        c.name = boundedName(o.value(u"Names").toArray().first().toString());
        c.image = boundedName(o.value(u"Image").toString());
        c.composeProject = boundedName(
            o.value(u"Labels").toObject().value(u"com.docker.compose.project").toString());
        c.tool = QStringLiteral("podman");
        // {"host_ip": "127.0.0.1", "container_port": 8080, "host_port": 18080,
        //  "range": 1, "protocol": "tcp"}
        for (const QJsonValue &port : o.value(u"Ports").toArray()) {
            const QJsonObject p = port.toObject();
            const qint64 first = p.value(u"host_port").toInteger();
            const qint64 range = std::clamp<qint64>(p.value(u"range").toInteger(1), 1, 65535);
            PublishedPort published;
            published.protocol = p.value(u"protocol").toString().toUpper();
            published.address = PublishedPort::rowAddress(p.value(u"host_ip").toString());
            for (qint64 n = first; first > 0 && n < first + range && n <= 65535; ++n) {
                published.port = n;
                c.ports.append(published);
            }
        }
        containers.append(std::move(c));
    }
    return containers;
}

std::optional<QByteArray> UserEngine::runPodman(ChildProcesses &children, const QString &podman,
                                                const QStringList &arguments,
                                                std::chrono::milliseconds limit) {
    if (podman.isEmpty())
        return std::nullopt;
    QList<QByteArray> args;
    for (const QString &a : arguments)
        args.append(a.toUtf8());
    ChildRun run = children.run(QFile::encodeName(podman), args, {limit, 16 * 1024 * 1024});
    if (run.ending != ChildRun::Ending::Exited)
        return std::nullopt;
    return run.output.view().toByteArray();
}

UserEngine::Listing UserEngine::ask() {
    Listing listing;
    if (!m_config.podmanSocket.isEmpty()) {
        if (const auto body = ContainerEngine::get(m_config.podmanSocket, "/v1.41/containers/json",
                                                   m_config.socketLimit)) {
            listing.podman = ContainerEngine::parseList(*body);
            listing.podmanAnswered = true;
        }
    }
    // Podman's socket is off unless the user enabled it: its own command
    // answers as well, only slower.
    if (!listing.podmanAnswered) {
        const auto out =
            runPodman(m_children, m_config.podman,
                      {QStringLiteral("ps"), QStringLiteral("--format"), QStringLiteral("json")},
                      m_config.commandLimit);
        // An answer is a JSON array, "[]" for none; anything else is none.
        if (out && QJsonDocument::fromJson(*out).isArray()) {
            listing.podman = parsePodmanList(*out);
            listing.podmanAnswered = true;
        }
    }
    for (ContainerEngine::Container &c : listing.podman)
        c.tool = QStringLiteral("podman");
    if (!m_config.dockerSocket.isEmpty()) {
        const ContainerEngine::Answer answer = ContainerEngine::request(
            m_config.dockerSocket, "GET", "/v1.41/containers/json", m_config.socketLimit);
        listing.dockerAbsent = answer.outcome == ContainerEngine::Answer::Outcome::Absent;
        if (answer.outcome == ContainerEngine::Answer::Outcome::Answered && answer.status == 200) {
            listing.docker = ContainerEngine::parseList(answer.body);
            listing.dockerAnswered = true;
        }
    } else {
        listing.dockerAbsent = true;
    }
    for (ContainerEngine::Container &c : listing.docker)
        c.tool = QStringLiteral("docker");
    return listing;
}

void UserEngine::annotate(PortEntryList &entries) {
    if (std::none_of(entries.cbegin(), entries.cend(),
                     [&](const PortEntry &e) { return ownProxy(e, m_self); }))
        return;
    QMutexLocker lock(&m_mutex);
    QHash<QString, Found> found;
    std::optional<Listing> listing;
    const auto now = std::chrono::steady_clock::now();
    for (PortEntry &e : entries) {
        if (!ownProxy(e, m_self))
            continue;
        const QString key = proxyKey(e);
        Found result;
        if (const auto kept = m_found.constFind(key);
            kept != m_found.cend() && e.process.isKnown() && kept->check != Check::NotAsked &&
            now - kept->at < foundLifetime) {
            result = *kept;
        } else {
            if (!listing)
                listing = ask();
            const ProxyEngine engine = rootlessProxyEngine(e.processName);
            const ContainerEngine::Container *c = nullptr;
            if (engine != ProxyEngine::Docker)
                c = publisher(listing->podman, e);
            if (!c && engine != ProxyEngine::Podman)
                c = publisher(listing->docker, e);
            // "No container publishes it" needs every engine that might
            // run the proxy to have answered; a rootless Docker that runs has
            // its socket.
            const bool podmanSaid = listing->podmanAnswered;
            const bool dockerSaid = listing->dockerAnswered;
            const bool allSaid = engine == ProxyEngine::Podman ? podmanSaid
                                 : engine == ProxyEngine::Docker
                                     ? dockerSaid
                                     : podmanSaid && (dockerSaid || listing->dockerAbsent);
            result.at = now;
            if (c) {
                result.check = Check::Publishes;
                result.container = *c;
            } else if (allSaid)
                result.check = Check::PublishesNot;
        }
        e.proxyCheck = result.check;
        if (result.check == Check::Publishes) {
            e.process.container = result.container.id.left(12);
            e.process.containerTool = result.container.tool;
            e.containerName = result.container.name;
            e.image = result.container.image;
            e.composeProject = result.container.composeProject;
        }
        if (e.process.isKnown())
            found.insert(key, result);
    }
    // Only the proxies of this listing: one that is gone is forgotten.
    m_found = std::move(found);
}
