#pragma once

#include "model/PortEntry.h"
#include "process/ChildProcess.h"
#include "scanner/ContainerEngine.h"

#include <QHash>
#include <QMutex>
#include <chrono>
#include <optional>

// The user's own (rootless) container engine, asked about the rows of its
// port proxies (rootlessport, pasta, slirp4netns, rootlesskit): Podman's
// socket in the user's runtime folder, else `podman ps` run as the user, and
// rootless Docker's socket. A proxy of the user's counts as a container's
// only where one of them lists a container publishing its port; where none
// could be asked it stays unconfirmed, which stops no one's port. Nothing is
// asked for a listing without such a row. Blocking, each question with a time
// limit: never call it on the GUI thread. Safe to share between threads.
class UserEngine {
public:
    struct Config {
        QString podmanSocket; // empty: not asked
        QString dockerSocket;
        QString podman; // the podman command (an absolute path); empty where there is none
        std::chrono::milliseconds socketLimit = ContainerEngine::defaultTimeLimit;
        // A Go program's start on a busy machine takes a good part of a second.
        std::chrono::milliseconds commandLimit{3000};
    };
    // The sockets in $XDG_RUNTIME_DIR and podman on PATH.
    static Config defaults();

    static constexpr std::chrono::seconds foundLifetime{30};

    explicit UserEngine(Config config = defaults(), qint64 selfUid = -1);

    // Sets proxyCheck on the user's own proxy rows, and the container's id,
    // name, image and Compose project where one publishes the row's port.
    // What was found for a proxy process (by pid and start time) is kept for
    // foundLifetime while it holds the same port, so a refresh does not ask
    // again; rootless Docker's one proxy holds every container's port, so
    // what it serves may change, and is asked anew after that.
    void annotate(PortEntryList &entries);

    // Kills a podman command still running, and starts no more.
    void endAll() { m_children.endAll(); }

    // The containers of `podman ps --format json`, with every published port
    // of a range.
    static QList<ContainerEngine::Container> parsePodmanList(const QByteArray &json);

    // Runs the podman command with arguments, as this user, within limit: its
    // standard output where it exited by itself, nothing otherwise.
    static std::optional<QByteArray> runPodman(ChildProcesses &children, const QString &podman,
                                               const QStringList &arguments,
                                               std::chrono::milliseconds limit);

private:
    struct Listing {
        QList<ContainerEngine::Container> podman, docker;
        bool podmanAnswered = false, dockerAnswered = false;
        bool dockerAbsent = false; // no rootless Docker runs: its socket is not there
    };
    Listing ask();

    Config m_config;
    qint64 m_self;
    ChildProcesses m_children;
    QMutex m_mutex;
    struct Found {
        PortEntry::ProxyCheck check = PortEntry::ProxyCheck::NotAsked;
        ContainerEngine::Container container;
        std::chrono::steady_clock::time_point at;
    };
    // By "pid/startTicks/protocol/port".
    QHash<QString, Found> m_found;
};
