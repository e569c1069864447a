// Container names from a real Docker engine: the test starts dockerd from
// Debian's docker.io with a data root, exec root, socket and pidfile of its
// own, in a docker.service cgroup of its own, on a bridge of its own and
// with no iptables rules (the host's network stays as it was), builds an
// image offline from Debian's static busybox, and runs listeners: one in a
// container on the host's loopback, one published on 127.0.0.1 through
// docker-proxy. No traffic goes into the container network.

#include "DockerDaemon.h"
#include "KernelFixtures.h"
#include "StubLsof.h"
#include "keeper/Keepers.h"
#include "keeper/ServiceManager.h"
#include "scanner/ContainerEngine.h"
#include "scanner/PortScanner.h"
#include "stop/StopText.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

class TestContainer : public QObject {
    Q_OBJECT

    CgroupPaths m_cgroups;
    std::optional<TestCgroup> m_service;
    DockerDaemon m_daemon;
    QString m_bridge;
    std::optional<TestUser> m_viewer;
    QTemporaryDir m_cliDir;
    QString m_cli;

    int docker(const QStringList &arguments, QByteArray *output = nullptr) {
        return m_daemon.docker(arguments, output);
    }

private slots:
    void initTestCase() {
        if (::geteuid() == 0) {
            m_bridge = m_daemon.makeBridge();
            m_service.emplace(m_cgroups, "docker.service");
        }
        const QByteArray cgroup = m_service ? m_service->path : QByteArray();
        const QString skip = m_daemon.start(
            {m_bridge.isEmpty() ? QStringLiteral("--bridge=none") : "--bridge=" + m_bridge},
            [cgroup](qint64 pid) {
                QFile procs(QFile::decodeName(cgroup + "/cgroup.procs"));
                if (!cgroup.isEmpty() && procs.open(QIODevice::WriteOnly))
                    procs.write(QByteArray::number(pid));
            });
        if (!skip.isEmpty())
            QSKIP(qPrintable(skip));
        const QString built = m_daemon.buildBusyboxImage("quayline-test:1");
        QVERIFY2(built.isEmpty(), qPrintable(built));
    }

    void cleanupTestCase() {
        m_daemon.stop();
        m_service.reset(); // once dockerd and its proxies have ended
    }

    // A port a container publishes on 127.0.0.1 through docker-proxy, looked
    // at by an ordinary user of the engine's group, for whom lsof lists
    // nothing of root's: the kernel's row names the engine's unit (not the
    // proxy, whose descriptors the user cannot read), the container, its
    // image and its Compose project, and the stop says what would.
    void publishedThroughProxy() {
        if (m_bridge.isEmpty())
            QSKIP("no bridge of the test's own could be made here");
        if (!m_service || m_service->path.isEmpty())
            QSKIP("no writable cgroup2 hierarchy here");
        m_viewer.emplace("quayline-dockview", "quayline-dock");
        QVERIFY2(m_viewer->ready, "could not make the user and group the check runs as");
        // The engine's socket opens to the viewer's group.
        QCOMPARE(QProcess::execute("/bin/chgrp", {"quayline-dock", m_daemon.socket()}), 0);
        QVERIFY(copyCliForViewer());

        const quint16 port = freePort();
        QByteArray output;
        QVERIFY2(docker({"run", "-d", "--name", "shop-web-1", "--restart", "always", "-p",
                         QStringLiteral("127.0.0.1:%1:80").arg(port), "--label",
                         "com.docker.compose.project=shop", "quayline-test:1", "/bin/busybox",
                         "httpd", "-f", "-p", "80", "-h", "/"},
                        &output) == 0,
                 output.constData());
        const QString id = QString::fromUtf8(output.trimmed());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DOCKER_HOST", "unix://" + m_daemon.socket());
        const auto runAsViewer = [&](const QStringList &arguments, QByteArray *err = nullptr) {
            QProcess cli;
            cli.setProcessEnvironment(env);
            cli.setWorkingDirectory("/");
            QStringList command = m_viewer->as() + QStringList{m_cli} + arguments;
            cli.start(command.takeFirst(), command);
            cli.waitForFinished(60000);
            if (err)
                *err = cli.readAllStandardError();
            return std::pair{cli.exitCode(), cli.readAllStandardOutput()};
        };
        QJsonObject row;
        // The proxy listens once the container runs.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QJsonArray rows =
                    QJsonDocument::fromJson(runAsViewer({"--json", QString::number(port)}).second)
                        .array();
                row = rows.isEmpty() ? QJsonObject() : rows.first().toObject();
                return row["port"].toInt() == port;
            }(),
            30000);
        QCOMPARE(row["user"].toString(), "root");
        QVERIFY(row["pid"].isNull());
        QCOMPARE(row["unit"].toString(), "docker.service");
        QCOMPARE(row["containerName"].toString(), "shop-web-1");
        QCOMPARE(row["image"].toString(), "quayline-test:1");
        QCOMPARE(row["composeProject"].toString(), "shop");
        // Not free, and the engine says why, where the viewer sees only root's socket.
        const QJsonObject verdict =
            QJsonDocument::fromJson(runAsViewer({"free", "--json", QString::number(port)}).second)
                .object()["ports"][0]
                .toObject();
        QCOMPARE(verdict["reason"].toString(), "published");
        QCOMPARE(verdict["container"].toString(), "shop-web-1");

        QByteArray err;
        QCOMPARE(runAsViewer({"stop", QString::number(port)}, &err).first, 1);
        QVERIFY2(err.endsWith(QStringLiteral("To stop it: quayline-cli stop --container %1\n")
                                  .arg(port)
                                  .toUtf8()),
                 err.constData());
        // Outside the engine's group the container has no name for the
        // viewer: the hint finds it and stops it, and neither the stop nor
        // --service ever offers the engine's own unit (every container).
        QCOMPARE(QProcess::execute("/bin/chgrp", {"root", m_daemon.socket()}), 0);
        QCOMPARE(runAsViewer({"stop", QString::number(port)}, &err).first, 1);
        QVERIFY2(err.contains(QStringLiteral("“docker ps --filter publish=%1” finds the container")
                                  .arg(port)
                                  .toUtf8()) &&
                     err.endsWith(QStringLiteral("To stop it: sudo quayline-cli stop --container "
                                                 "%1\n")
                                      .arg(port)
                                      .toUtf8()),
                 err.constData());
        QCOMPARE(runAsViewer({"stop", "--service", QString::number(port)}, &err).first, 1);
        QCOMPARE(err, QStringLiteral("Port %1 is published by a container; stopping the container "
                                     "engine's service would stop every container.\n")
                          .arg(port)
                          .toUtf8());
        QCOMPARE(QProcess::execute("/bin/chgrp", {"quayline-dock", m_daemon.socket()}), 0);

        // Its keeper, for root's scan, and as on a host where dockerd runs in
        // its unit and the scan had no container name for the proxy: the
        // container with its restart policy, never the engine's unit.
        qputenv("DOCKER_HOST", ("unix://" + m_daemon.socket()).toUtf8());
        LsofRuns runs;
        PortEntryList rows;
        for (const PortEntry &e : PortScanner(runs).scan().result().entries) {
            if (e.port == port && e.networkProtocol == u"TCP")
                rows.append(e);
        }
        QVERIFY(!rows.isEmpty());
        PortEntry bare = rows[0];
        bare.process.container.clear();
        bare.process.unit = "docker.service";
        bare.containerName.clear();
        rows.append(bare);
        // No service manager is reachable: a container's keeper needs none.
        const QDBusConnection noBus =
            QDBusConnection::connectToBus("unix:path=" + m_daemon.path("no-bus"), "no-bus");
        Keepers(std::make_shared<ServiceManager>(noBus, false),
                std::make_shared<ServiceManager>(noBus, true),
                std::make_shared<ContainerEngine>(QStringList{m_daemon.socket()}))
            .annotate(rows);
        for (const PortEntry &row : std::as_const(rows)) {
            QCOMPARE(StopText::keeperWithSetting(row.keeper),
                     "the container shop-web-1 (restart policy always)");
            QCOMPARE(row.keeper.containerId, id);
            QVERIFY(row.keeper.unit.isEmpty());
        }
        QDBusConnection::disconnectFromBus("no-bus");
        QCOMPARE(docker({"rm", "-f", "shop-web-1"}), 0);
    }

    // A container with a Compose label on the host's loopback, which the
    // engine restarts: its row names the container, its image and its
    // project; killing its process brings it back, and quayline-cli stop
    // reports the port taken again and names the container. The stand-in lsof
    // lists the container's main process as this test's own daemon reports
    // it, and nothing else: lsof proper would also list whatever else on the
    // machine has a socket of that port number.
    void containerRestarted() {
        const quint16 port = freePort();
        QByteArray output;
        QVERIFY2(
            docker({"run", "-d", "--name", "web-2", "--restart=always", "--network", "host",
                    "--label", "com.docker.compose.project=shop", "quayline-test:1", "/bin/busybox",
                    "httpd", "-f", "-p", QStringLiteral("127.0.0.1:%1").arg(port), "-h", "/"},
                   &output) == 0,
            output.constData());
        const QByteArray id = output.trimmed();
        qputenv("DOCKER_HOST", ("unix://" + m_daemon.socket()).toUtf8());
        PortEntry row;
        LsofRuns runs;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                for (const PortEntry &e : PortScanner(runs).scan().result().entries) {
                    if (e.port == port)
                        row = e;
                }
                return row.port == port;
            }(),
            30000);
        QCOMPARE(row.containerName, "web-2");
        QCOMPARE(row.image, "quayline-test:1");
        QCOMPARE(row.composeProject, "shop");
        QVERIFY(!row.process.container.isEmpty() && id.startsWith(row.process.container.toUtf8()));

        const StubLsof lsof(StubLsof::listingOf(
            "echo $(/usr/bin/docker -H unix://" + m_daemon.socket().toUtf8() +
                " inspect -f '{{.State.Pid}}' web-2) " + QByteArray::number(port),
            "root"));
        qint32 first = 0;
        QTRY_VERIFY_WITH_TIMEOUT((first = lsof.firstListed()) > 0, 30000);

        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DOCKER_HOST", "unix://" + m_daemon.socket());
        // The kernel's table would add rows for other processes with a socket
        // of that port number; the stand-in lists the container alone.
        env.insert("QUAYLINE_SOCKET_TABLE", "off");
        cli.setProcessEnvironment(env);
        // As the container's first process it ignores SIGTERM: SIGKILL follows.
        cli.start(
            qEnvironmentVariable("QUAYLINE_CLI"),
            {"stop", "--force", "--timeout", "0.5", "--lsof", lsof.path(), QString::number(port)});
        QVERIFY(cli.waitForFinished(60000));
        const QString err = cli.readAllStandardError();
        const QRegularExpression taken(
            QStringLiteral("^Port %1 was taken again by PID (\\d+) \\(busybox\\) right after "
                           "PID %2 stopped\\.\nIt is kept by the container web-2 \\(restart "
                           "policy always\\)\\.\nTo stop it: quayline-cli stop --container "
                           "%1\n$")
                .arg(port)
                .arg(first));
        const QRegularExpressionMatch match = taken.match(err);
        QVERIFY2(match.hasMatch(), qPrintable(err + cli.readAllStandardOutput()));
        QVERIFY(match.captured(1).toInt() != first);
        QCOMPARE(cli.exitCode(), 1);

        // What it suggests: the container's stop, through the engine, which
        // kills what ignores SIGTERM after its grace; the port is then free.
        cli.start(qEnvironmentVariable("QUAYLINE_CLI"),
                  {"stop", "--container", "--lsof", lsof.path(), QString::number(port)});
        QVERIFY(cli.waitForFinished(60000));
        QCOMPARE(cli.readAllStandardError(), QByteArray());
        QCOMPARE(
            cli.readAllStandardOutput(),
            QStringLiteral("Stopped the container web-2.\nPort %1 is free.\n").arg(port).toUtf8());
        QCOMPARE(cli.exitCode(), 0);
        QCOMPARE(docker({"rm", "-f", "web-2"}), 0);
    }

    // No engine at the socket: no names, and no failure.
    void noEngine() {
        ContainerEngine engine({m_daemon.path("nothing.sock")});
        QVERIFY(!engine.list());
        PortEntryList rows{PortEntry(0, {}, "root", "TCP", "IPv4", "*", 80, "LISTEN")};
        rows[0].process.container = "0123456789ab";
        engine.annotate(rows);
        QCOMPARE(rows[0].containerName, QString());
    }

private:
    // The build folder may be closed to other users: the viewer runs a copy.
    bool copyCliForViewer() {
        if (!m_cliDir.isValid())
            return false;
        const auto readAndRun = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                QFile::ExeOther;
        m_cli = m_cliDir.filePath("quayline-cli");
        return QFile::setPermissions(m_cliDir.path(), readAndRun) &&
               QFile::copy(qEnvironmentVariable("QUAYLINE_CLI"), m_cli) &&
               QFile::setPermissions(m_cli, readAndRun) &&
               // The engine's socket is in the daemon's folder, which the
               // viewer must pass through.
               QFile::setPermissions(QFileInfo(m_daemon.socket()).path(),
                                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ExeGroup | QFile::ExeOther);
    }
};

QTEST_GUILESS_MAIN(TestContainer)
#include "tst_container.moc"
