#pragma once

// A real Docker engine of the test's own: dockerd from Debian's docker.io with
// a data root, exec root, socket and pidfile in a private folder, no iptables
// rules, and by default no bridge (the host's network stays as it was). Images
// are built offline from Debian's static busybox. Stopping it removes its
// containers, its files and whatever network it made.

#include "scanner/ContainerEngine.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <unistd.h>

class DockerDaemon {
public:
    ~DockerDaemon() { stop(); }

    // Starts the daemon with extra arguments (a bridge of the test's own,
    // say) and waits until it answers. Empty on success, else why the test
    // should be skipped.
    // placed: called with dockerd's pid as soon as it runs (to move it into
    // a cgroup, so that what it starts later is there too).
    QString start(const QStringList &extra = {"--bridge=none"},
                  const std::function<void(qint64)> &placed = {}) {
        if (::geteuid() != 0)
            return QStringLiteral("dockerd needs root");
        for (const char *program : {"/usr/sbin/dockerd", "/usr/bin/docker", "/bin/busybox"}) {
            if (!QFile::exists(program))
                return QStringLiteral("%1 is not installed").arg(program);
        }
        if (!m_dir.isValid())
            return QStringLiteral("no temporary folder");
        m_socket = m_dir.filePath("docker.sock");
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.setStandardOutputFile(m_dir.filePath("dockerd.log"));
        m_daemon.start("/usr/sbin/dockerd",
                       QStringList{"--data-root", m_dir.filePath("data"), "--exec-root",
                                   m_dir.filePath("exec"), "-H", "unix://" + m_socket, "--pidfile",
                                   m_dir.filePath("docker.pid"), "--iptables=false",
                                   "--ip6tables=false", "--ip-masq=false"} +
                           extra);
        if (!m_daemon.waitForStarted(10000))
            return QStringLiteral("dockerd could not be started");
        if (placed)
            placed(m_daemon.processId());
        const QDeadlineTimer deadline(60000);
        while (m_daemon.state() == QProcess::Running && !deadline.hasExpired() &&
               !ContainerEngine::get(m_socket, "/_ping", std::chrono::milliseconds(500)))
            m_daemon.waitForFinished(100);
        if (m_daemon.state() != QProcess::Running || deadline.hasExpired()) {
            QFile log(m_dir.filePath("dockerd.log"));
            log.open(QIODevice::ReadOnly);
            return "dockerd cannot run here: " + QString::fromUtf8(log.readAll().right(400));
        }
        return {};
    }

    const QString &socket() const { return m_socket; }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // The docker client against this daemon; its exit code, -1 if it failed
    // to run. output receives both streams.
    int docker(const QStringList &arguments, QByteArray *output = nullptr) {
        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DOCKER_BUILDKIT", "0");
        cli.setProcessEnvironment(env);
        cli.setProcessChannelMode(QProcess::MergedChannels);
        cli.start("/usr/bin/docker", QStringList{"-H", "unix://" + m_socket} + arguments);
        if (!cli.waitForFinished(120000))
            return -1;
        if (output)
            *output = cli.readAll();
        return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    }

    // An image of busybox alone ("FROM scratch"), built offline. Empty on
    // success, else the build's output.
    QString buildBusyboxImage(const QString &tag) {
        const QString context = m_dir.filePath("image");
        QDir().mkpath(context);
        QFile::copy("/bin/busybox", context + "/busybox");
        QFile dockerfile(context + "/Dockerfile");
        if (!dockerfile.open(QIODevice::WriteOnly))
            return QStringLiteral("cannot write the Dockerfile");
        dockerfile.write("FROM scratch\nCOPY busybox /bin/busybox\n");
        dockerfile.close();
        QByteArray output;
        if (docker({"build", "-q", "-t", tag, context}, &output) != 0)
            return QString::fromUtf8(output);
        return {};
    }

    void stop() {
        if (m_daemon.state() == QProcess::Running) {
            QByteArray ids;
            docker({"ps", "-aq"}, &ids);
            for (const QByteArray &id : ids.split('\n')) {
                if (!id.trimmed().isEmpty())
                    docker({"rm", "-f", QString::fromUtf8(id.trimmed())});
            }
            // dockerd is our own child: SIGTERM by the pid QProcess started.
            m_daemon.terminate();
            if (!m_daemon.waitForFinished(30000)) {
                m_daemon.kill();
                m_daemon.waitForFinished(10000);
            }
        }
        if (m_daemon.state() != QProcess::NotRunning || !m_dir.isValid() ||
            !QFile::exists(m_dir.path()))
            return;
        // dockerd leaves the host's network namespace bound under its exec
        // root, and files that QTemporaryDir cannot remove.
        QProcess::execute("/bin/umount", {m_dir.filePath("exec/netns/default")});
        for (const QString &bridge : m_bridges)
            QProcess::execute("/sbin/ip", {"link", "delete", bridge});
        QProcess::execute("/bin/rm", {"-rf", "--one-file-system", m_dir.path()});
    }

    // A bridge of the test's own for the daemon's containers (--bridge=NAME),
    // with a private /24 that no interface here uses, removed on stop. Empty
    // where none could be made.
    QString makeBridge() {
        const QString name = QStringLiteral("qlbr%1").arg(::getpid());
        if (QProcess::execute("/sbin/ip", {"link", "add", name, "type", "bridge"}) != 0)
            return {};
        m_bridges.append(name); // removed on stop
        QProcess addresses;
        addresses.start("/sbin/ip", {"-4", "-o", "addr", "show"});
        addresses.waitForFinished(10000);
        const QByteArray taken = addresses.readAll();
        for (int i = 0; i < 200; ++i) {
            const QString net = QStringLiteral("10.213.%1.").arg((::getpid() + i) % 200 + 20);
            if (taken.contains(" " + net.toLatin1()))
                continue;
            if (QProcess::execute("/sbin/ip", {"addr", "add", net + "1/24", "dev", name}) == 0 &&
                QProcess::execute("/sbin/ip", {"link", "set", name, "up"}) == 0)
                return name;
            break;
        }
        return {};
    }

private:
    QTemporaryDir m_dir{QStringLiteral("/tmp/quayline-docker-XXXXXX")};
    QProcess m_daemon;
    QString m_socket;
    QStringList m_bridges;
};
