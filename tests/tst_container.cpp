// Container names from a real Docker engine: the test starts dockerd from
// Debian's docker.io with a data root, exec root, socket and pidfile of its
// own, no bridge and no iptables rules (the host's network stays as it was),
// builds an image offline from Debian's static busybox, and runs a listener
// in a container on the host's loopback.

#include "DockerDaemon.h"
#include "KernelFixtures.h"
#include "StubLsof.h"
#include "keeper/Keepers.h"
#include "keeper/ServiceManager.h"
#include "scanner/ContainerEngine.h"
#include "scanner/PortScanner.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

class TestContainer : public QObject {
    Q_OBJECT

    DockerDaemon m_daemon;

    int docker(const QStringList &arguments, QByteArray *output = nullptr) {
        return m_daemon.docker(arguments, output);
    }

private slots:
    void initTestCase() {
        if (const QString skip = m_daemon.start(); !skip.isEmpty())
            QSKIP(qPrintable(skip));
        const QString built = m_daemon.buildBusyboxImage("quayline-test:1");
        QVERIFY2(built.isEmpty(), qPrintable(built));
    }

    void cleanupTestCase() { m_daemon.stop(); }

    // A container with a Compose label listening on the host's loopback: its
    // row names the container, its image and its project.
    void containerRow() {
        const quint16 port = freePort();
        QByteArray output;
        QVERIFY2(docker({"run", "-d", "--name", "web-1", "--network", "host", "--label",
                         "com.docker.compose.project=shop", "quayline-test:1", "/bin/busybox",
                         "httpd", "-f", "-p", QStringLiteral("127.0.0.1:%1").arg(port), "-h", "/"},
                        &output) == 0,
                 output.constData());
        ContainerEngine engine({m_daemon.socket()});
        const std::optional<QList<ContainerEngine::Container>> listed = engine.list();
        QVERIFY(listed && listed->size() == 1);
        QCOMPARE(listed->at(0).name, "web-1");

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
        QCOMPARE(row.containerName, "web-1");
        QCOMPARE(row.image, "quayline-test:1");
        QCOMPARE(row.composeProject, "shop");
        QVERIFY(listed->at(0).id.startsWith(row.process.container));
        QCOMPARE(docker({"rm", "-f", "web-1"}), 0);
    }

    // A container that the engine restarts: killing its process brings it
    // back, and quayline-cli stop reports the port taken again and names the
    // container. The stand-in lsof lists the container's main process as this
    // test's own daemon reports it, and nothing else: lsof proper would also
    // list whatever else on the machine has a socket of that port number.
    void containerRestarted() {
        const quint16 port = freePort();
        QByteArray output;
        QVERIFY2(docker({"run", "-d", "--name", "web-2", "--restart=always", "--network", "host",
                         "quayline-test:1", "/bin/busybox", "httpd", "-f", "-p",
                         QStringLiteral("127.0.0.1:%1").arg(port), "-h", "/"},
                        &output) == 0,
                 output.constData());
        const StubLsof lsof(StubLsof::listingOf(
            "echo $(/usr/bin/docker -H unix://" + m_daemon.socket().toUtf8() +
                " inspect -f '{{.State.Pid}}' web-2) " + QByteArray::number(port),
            "root"));
        const auto listed = [&] {
            QProcess run;
            run.start(lsof.path(), {"-iTCP"});
            run.waitForFinished(30000);
            const QByteArray out = run.readAllStandardOutput();
            return out.startsWith('p') ? out.mid(1, out.indexOf('\n') - 1).toInt() : 0;
        };
        qint32 first = 0;
        QTRY_VERIFY_WITH_TIMEOUT((first = listed()) > 0, 30000);

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

    // The keeper of a port a container publishes through docker-proxy on a
    // network of the test's own: the container with its restart policy,
    // never the engine's unit; then stopping it frees the port although its
    // policy is "always", a second stop finds it stopped, and a removed one is
    // gone. Nothing is sent to the port: listeners are only looked at.
    void keeperOfPublishedPort() {
        QByteArray output;
        if (docker({"network", "create", "-o", "com.docker.network.bridge.name=qlkeep0",
                    "quayline-keep"},
                   &output) != 0)
            QSKIP(qPrintable("no bridge network here: " + QString::fromUtf8(output)));
        m_daemon.removeOnStop("qlkeep0");
        const quint16 port = freePort();
        QVERIFY2(docker({"run", "-d", "--name", "web-keep", "--restart", "always", "--network",
                         "quayline-keep", "-p", QStringLiteral("127.0.0.1:%1:8080").arg(port),
                         "quayline-test:1", "/bin/busybox", "httpd", "-f", "-p", "8080", "-h", "/"},
                        &output) == 0,
                 output.constData());
        const QString id = QString::fromUtf8(output.trimmed());

        qputenv("DOCKER_HOST", ("unix://" + m_daemon.socket()).toUtf8());
        LsofRuns runs;
        const auto rowsOnPort = [&] {
            PortEntryList rows;
            for (const PortEntry &e : PortScanner(runs).scan().result().entries) {
                if (e.port == port && e.networkProtocol == u"TCP")
                    rows.append(e);
            }
            return rows;
        };
        PortEntryList rows;
        QTRY_VERIFY_WITH_TIMEOUT(!(rows = rowsOnPort()).isEmpty(), 30000);
        QCOMPARE(rows[0].processName, "docker-proxy");

        auto engine = std::make_shared<ContainerEngine>(QStringList{m_daemon.socket()});
        // No service manager is reachable: a container's keeper needs none.
        const QDBusConnection noBus =
            QDBusConnection::connectToBus("unix:path=" + m_daemon.path("no-bus"), "no-bus");
        Keepers keepers(std::make_shared<ServiceManager>(noBus, false),
                        std::make_shared<ServiceManager>(noBus, true), engine);
        // As the scan gave it, and as on a host where dockerd runs in its unit
        // and the scan had no container name for the proxy.
        PortEntry bare = rows[0];
        bare.process.container.clear();
        bare.process.unit = "docker.service";
        bare.containerName.clear();
        rows.append(bare);
        keepers.annotate(rows);
        for (const PortEntry &row : std::as_const(rows)) {
            QCOMPARE(row.keeper.kind, Keeper::Kind::Container);
            QCOMPARE(row.keeper.containerId, id);
            QCOMPARE(row.keeper.containerName, "web-keep");
            QCOMPARE(row.keeper.restartPolicy, "always");
            QVERIFY(row.keeper.unit.isEmpty());
        }
        QCOMPARE(rows[0].keeper.text(), "the container web-keep (restart policy always)");

        // busybox as the container's first process ignores SIGTERM: a short
        // grace, then the engine kills it.
        const KeeperStopResult stopped = engine->stop(rows[0].keeper.containerId, 1s);
        QCOMPARE(stopped.kind, KeeperStopResult::Kind::Stopped);
        QTRY_VERIFY_WITH_TIMEOUT(rowsOnPort().isEmpty(), 20000);
        QCOMPARE(engine->inspect(id)->restartPolicy, "always");
        QCOMPARE(engine->stop(id, 1s).kind, KeeperStopResult::Kind::AlreadyStopped);

        QCOMPARE(docker({"rm", "-f", "web-keep"}), 0);
        const KeeperStopResult gone = engine->stop(id, 1s);
        QCOMPARE(gone.kind, KeeperStopResult::Kind::Gone);
        QVERIFY2(gone.message.contains("No such container"), qPrintable(gone.message));
        QCOMPARE(docker({"network", "rm", "quayline-keep"}), 0);
        QDBusConnection::disconnectFromBus("no-bus");
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
};

QTEST_GUILESS_MAIN(TestContainer)
#include "tst_container.moc"
