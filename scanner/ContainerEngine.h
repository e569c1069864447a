#pragma once

#include "model/PortEntry.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

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
        // Published host ports: protocol ("TCP"/"UDP") and port.
        QList<std::pair<QString, qint64>> ports;
        QString tool; // what stops it: "docker", or "podman" where Podman's socket answered
    };

    static constexpr std::chrono::milliseconds defaultTimeLimit{500};

    // The sockets to try, in order: DOCKER_HOST where it names a unix socket,
    // Docker's system socket, Podman's system socket and the user's own ones.
    static QStringList socketPaths();

    explicit ContainerEngine(QStringList sockets = socketPaths(),
                             std::chrono::milliseconds timeLimit = defaultTimeLimit);

    // Gives rows of containers their name, image and Compose project: rows
    // whose cgroup names a container, and rows on a port that a container
    // publishes (docker-proxy's, dockerd's). One listing per call, only
    // where such a row may be present; details kept per container id.
    void annotate(PortEntryList &entries);

    // The running containers, or nothing where no engine answered.
    std::optional<QList<Container>> list();

    // GET path over a unix socket (HTTP/1.0); the body of a 200 answer.
    static std::optional<QByteArray> get(const QString &socket, const QByteArray &path,
                                         std::chrono::milliseconds timeLimit);
    // The containers of a GET /containers/json answer.
    static QList<Container> parseList(const QByteArray &json);

private:
    QStringList m_sockets;
    std::chrono::milliseconds m_timeLimit;
    QMutex m_mutex;
    QHash<QString, Container> m_byId; // every container seen, by its full id
};
