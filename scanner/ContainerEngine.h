#pragma once

#include "model/PortEntry.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

// A host port that a container publishes, whether or not a socket stands
// behind it (address translation alone leaves none).
struct PublishedPort {
    QString protocol; // "TCP" or "UDP"
    qint64 port = 0;
    // The host address as rows show it: "*" for every address, "127.0.0.1",
    // "[::1]".
    QString address = QStringLiteral("*");
    QString container; // its name, where the port stands apart from its container

    // Whether the row's socket is this port: same protocol, port and address.
    bool covers(const PortEntry &entry) const;
    // An engine's host address as rows show it: "0.0.0.0", "::" and none are
    // every address ("*"), an IPv6 one is bracketed.
    static QString rowAddress(const QString &engineAddress);
    bool operator==(const PublishedPort &) const = default;
};

// Names of containers from the container engine's API (Docker's, or Podman's
// compatible one) over its unix socket, for the rows of containers' ports.
// Any user who may open the socket may ask; where none can be opened there
// are simply no names. Blocking with a short time limit: never call it on
// the GUI thread. Safe to share between threads.
class ContainerEngine {
public:
    struct Container {
        QString id;
        QString name; // without the leading "/"
        QString image;
        QString composeProject; // label com.docker.compose.project
        QList<PublishedPort> ports;
        QString tool; // what stops it: "docker", or "podman" where Podman's socket answered
    };

    // What a container's inspection tells about restarting it.
    struct Details {
        QString id;            // the full id
        QString name;          // without the leading "/"
        QString restartPolicy; // "no", "always", "unless-stopped", "on-failure"
        qint32 pid = 0;        // its first process, as the host sees it; 0 unless running
        // Published host ports: protocol ("TCP"/"UDP") and port.
        QList<std::pair<QString, qint64>> published;
    };

    // One exchange with an engine: how it went and, where it answered, the
    // HTTP status and body.
    struct Answer {
        enum class Outcome {
            Answered,
            Absent,   // no socket at the path
            Refused,  // a socket nobody listens on (ECONNREFUSED)
            Denied,   // the socket may not be opened (EACCES): not in its group
            TimedOut, // no whole answer within the time limit
            Broken,   // anything else: a reset, a garbled answer
        };
        Outcome outcome = Outcome::Broken;
        int status = 0;
        QByteArray body;
        int error = 0; // errno where the exchange failed
    };

    static constexpr std::chrono::milliseconds defaultTimeLimit{500};
    // How long inspected details are kept: a restart policy rarely changes,
    // and a refresh every few seconds should not ask each time.
    static constexpr std::chrono::seconds detailsLifetime{30};

    // The sockets to try, in order: DOCKER_HOST where it names a unix socket,
    // Docker's system socket, Podman's system socket and the user's own ones.
    static QStringList socketPaths();

    explicit ContainerEngine(QStringList sockets = socketPaths(),
                             std::chrono::milliseconds timeLimit = defaultTimeLimit);

    // Gives rows of containers their name, image and Compose project: rows
    // whose cgroup names a container, and rows on the address and port that a
    // container publishes where the engine holds them (docker-proxy's,
    // dockerd's) or where no process of root's can be seen behind them (a
    // proxy outside any cgroup that is searched). One listing per call, only
    // where such a row may be present; details kept per container id.
    void annotate(PortEntryList &entries);

    // The running containers, or nothing where no engine answered.
    std::optional<QList<Container>> list();

    // Every port that the running containers publish, named by container;
    // nothing where no engine answered.
    static QList<PublishedPort> publishedPorts(const QList<Container> &containers);

    // A container's full id, name and restart policy (GET
    // /containers/{id}/json), by full id, short id or name; kept for
    // detailsLifetime. Nothing where no engine knows it or none answered.
    std::optional<Details> inspect(const QString &idOrName);

    // The sockets to send a request about a container to, in order: the
    // engine that inspected it first (the others would only say 404), then
    // the rest.
    QStringList socketsFor(const QString &idOrName) const;
    // Forgets what inspecting idOrName found, so that the next inspect() asks
    // again: after a stop, say, its state is worth reading anew.
    void forget(const QString &idOrName);

    // GET path over a unix socket (HTTP/1.0); the body of a 200 answer.
    static std::optional<QByteArray> get(const QString &socket, const QByteArray &path,
                                         std::chrono::milliseconds timeLimit);
    // Any request over a unix socket (HTTP/1.0, no request body).
    static Answer request(const QString &socket, const QByteArray &method, const QByteArray &path,
                          std::chrono::milliseconds timeLimit);
    // The details in a GET /containers/{id}/json answer; nothing where it
    // names no container.
    static std::optional<Details> parseInspection(const QByteArray &json);
    // The containers of a GET /containers/json answer.
    static QList<Container> parseList(const QByteArray &json);
    // Whether text may be put into a request's path: ids and names as engines
    // make them ([a-zA-Z0-9][a-zA-Z0-9_.-]*). Anything else is no container of
    // theirs, and must not reach the path ("../", "?", spaces).
    static bool isContainerReference(const QString &text);

private:
    QStringList m_sockets;
    std::chrono::milliseconds m_timeLimit;
    mutable QMutex m_mutex;
    QHash<QString, Container> m_byId; // every container seen, by its full id
    struct Inspected {
        Details details;
        QString socket; // the engine that knows it
        std::chrono::steady_clock::time_point at;
    };
    QHash<QString, Inspected> m_inspected; // by the id or name asked for
};
