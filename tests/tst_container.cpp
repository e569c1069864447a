// Container names from a real Docker engine: the test starts dockerd from
// Debian's docker.io with a data root, exec root, socket and pidfile of its
// own, no bridge and no iptables rules (the host's network stays as it was),
// builds an image offline from Debian's static busybox, and runs a listener
// in a container on the host's loopback.

#include "KernelFixtures.h"
#include "scanner/ContainerEngine.h"
#include "scanner/PortScanner.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class TestContainer : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir{QStringLiteral("/tmp/quayline-docker-XXXXXX")};
    QProcess m_daemon;
    QString m_socket;

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

private slots:
    void initTestCase() {
        if (::geteuid() != 0)
            QSKIP("dockerd needs root");
        for (const char *program : {"/usr/sbin/dockerd", "/usr/bin/docker", "/bin/busybox"}) {
            if (!QFile::exists(program))
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(program)));
        }
        QVERIFY(m_dir.isValid());
        m_socket = m_dir.filePath("docker.sock");
        m_daemon.setProcessChannelMode(QProcess::MergedChannels);
        m_daemon.setStandardOutputFile(m_dir.filePath("dockerd.log"));
        m_daemon.start("/usr/sbin/dockerd",
                       {"--data-root", m_dir.filePath("data"), "--exec-root",
                        m_dir.filePath("exec"), "-H", "unix://" + m_socket, "--pidfile",
                        m_dir.filePath("docker.pid"), "--bridge=none", "--iptables=false",
                        "--ip-masq=false"});
        if (!m_daemon.waitForStarted(10000))
            QSKIP("dockerd could not be started");
        QTRY_VERIFY_WITH_TIMEOUT(
            m_daemon.state() != QProcess::Running ||
                ContainerEngine::get(m_socket, "/_ping", std::chrono::milliseconds(500)),
            60000);
        if (m_daemon.state() != QProcess::Running) {
            QFile log(m_dir.filePath("dockerd.log"));
            log.open(QIODevice::ReadOnly);
            QSKIP(qPrintable("dockerd cannot run here: " + log.readAll().right(400)));
        }
        // An image of busybox alone, built offline.
        const QString context = m_dir.filePath("image");
        QVERIFY(QDir().mkpath(context));
        QVERIFY(QFile::copy("/bin/busybox", context + "/busybox"));
        QFile dockerfile(context + "/Dockerfile");
        QVERIFY(dockerfile.open(QIODevice::WriteOnly));
        dockerfile.write("FROM scratch\nCOPY busybox /bin/busybox\n");
        dockerfile.close();
        QByteArray output;
        QVERIFY2(docker({"build", "-q", "-t", "quayline-test:1", context}, &output) == 0,
                 output.constData());
    }

    void cleanupTestCase() {
        if (m_daemon.state() == QProcess::Running) {
            docker({"rm", "-f", "web-1"});
            // dockerd is our own child: SIGTERM by the pid QProcess started.
            m_daemon.terminate();
            if (!m_daemon.waitForFinished(30000)) {
                m_daemon.kill();
                m_daemon.waitForFinished(10000);
            }
        }
        // The daemon's mounts went with it; its files include read-only ones
        // that QTemporaryDir leaves behind.
        // dockerd leaves the host's network namespace bound under its exec root.
        if (m_daemon.state() == QProcess::NotRunning) {
            QProcess umount;
            umount.start("/bin/umount", {m_dir.filePath("exec/netns/default")});
            umount.waitForFinished(10000);
            QProcess::execute("/bin/rm", {"-rf", "--one-file-system", m_dir.path()});
        }
    }

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
        ContainerEngine engine({m_socket});
        const std::optional<QList<ContainerEngine::Container>> listed = engine.list();
        QVERIFY(listed && listed->size() == 1);
        QCOMPARE(listed->at(0).name, "web-1");

        qputenv("DOCKER_HOST", ("unix://" + m_socket).toUtf8());
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

    // No engine at the socket: no names, and no failure.
    void noEngine() {
        ContainerEngine engine({m_dir.filePath("nothing.sock")});
        QVERIFY(!engine.list());
        PortEntryList rows{PortEntry(0, {}, "root", "TCP", "IPv4", "*", 80, "LISTEN")};
        rows[0].process.container = "0123456789ab";
        engine.annotate(rows);
        QCOMPARE(rows[0].containerName, QString());
    }
};

QTEST_GUILESS_MAIN(TestContainer)
#include "tst_container.moc"
