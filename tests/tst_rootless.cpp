// Rootless container engines' port proxies: which container a proxy of the
// user's serves, as the user's own engine tells, and the stops that follow.
// First through recorded engine answers (Podman 5's pasta and rootless
// Docker's rootlesskit, which Debian 12 cannot run), then a real rootless
// Podman of a user the test makes, with and without its API socket.

#include "EngineSocket.h"
#include "KernelFixtures.h"
#include "scanner/UserEngine.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Check = PortEntry::ProxyCheck;

// `podman ps --format json` of Podman 4.3 for one container, as recorded.
const QByteArray podmanPs = R"([{"Id": "0b168c9eca0ea18bb6fbd98006fcb74d37a521f86f48f5c2412910a6",
  "Image": "localhost/qlbox:latest", "Labels": null, "Names": ["probe-web"],
  "Ports": [{"host_ip": "127.0.0.1", "container_port": 8080, "host_port": 18080,
             "range": 3, "protocol": "tcp"}]}])";
// The same container through the Docker-compatible API.
const QByteArray apiList = R"([{"Id": "7d1e", "Names": ["/api-web"], "Image": "img",
  "Labels": {"com.docker.compose.project": "shop"},
  "Ports": [{"IP": "127.0.0.1", "PrivatePort": 8080, "PublicPort": 18080, "Type": "tcp"}]}])";

struct Engines {
    QByteArray podmanSocket;  // the API's listing; empty: no socket
    QByteArray podmanCommand; // what podman prints; empty: no podman
    QByteArray dockerSocket;
};

} // namespace

Q_DECLARE_METATYPE(Engines)
Q_DECLARE_METATYPE(Check)

class RootlessTest : public QObject {
    Q_OBJECT

private slots:
    // A proxy-named row of the viewer's, and what the viewer's engines say.
    void proxies_data() {
        QTest::addColumn<QString>("process");
        QTest::addColumn<qint64>("port");
        QTest::addColumn<Engines>("engines");
        QTest::addColumn<Check>("check");
        QTest::addColumn<QString>("container");
        QTest::newRow("rootlessport, Podman's socket names it")
            << "rootlessport" << 18080LL << Engines{apiList, {}, {}} << Check::Publishes
            << "api-web";
        QTest::newRow("rootlessport, socket off: podman ps names it, within its port range")
            << "rootlessport" << 18082LL << Engines{{}, podmanPs, {}} << Check::Publishes
            << "probe-web";
        QTest::newRow("rootlessport, podman ps lists no container publishing the port")
            << "rootlessport" << 18083LL << Engines{{}, podmanPs, {}} << Check::PublishesNot << "";
        QTest::newRow("rootlessport, no socket and no podman: unconfirmed")
            << "rootlessport" << 18080LL << Engines{} << Check::NotAsked << "";
        QTest::newRow("rootlessport, podman prints no listing: unconfirmed")
            << "rootlessport" << 18080LL << Engines{{}, "Error: no such thing", {}}
            << Check::NotAsked << "";
        QTest::newRow("Podman 5's pasta, podman ps names it")
            << "pasta" << 18080LL << Engines{{}, podmanPs, {}} << Check::Publishes << "probe-web";
        QTest::newRow("rootless Docker's cut proxy name, its socket names it")
            << "rootlesskit-doc" << 18080LL << Engines{{}, "[]", apiList} << Check::Publishes
            << "api-web";
        QTest::newRow("rootlesskit, only Podman answered: unconfirmed")
            << "rootlesskit" << 18080LL << Engines{{}, podmanPs, {}} << Check::NotAsked << "";
        QTest::newRow("slirp4netns, Podman says no and rootless Docker runs unasked")
            << "slirp4netns" << 18083LL << Engines{{}, "[]", "garbled"} << Check::NotAsked << "";
        QTest::newRow("an ordinary name asks nothing")
            << "node" << 18080LL << Engines{apiList, {}, {}} << Check::NotAsked << "";
    }
    void proxies() {
        QFETCH(QString, process);
        QFETCH(qint64, port);
        QFETCH(Engines, engines);
        QFETCH(Check, check);
        QFETCH(QString, container);
        QTemporaryDir dir;
        UserEngine::Config config;
        config.podmanSocket = dir.filePath("podman.sock");
        config.dockerSocket = dir.filePath("docker.sock");
        std::optional<EngineSocket> podman, docker;
        if (!engines.podmanSocket.isEmpty())
            podman.emplace(config.podmanSocket, EngineSocket::Mode::Answering,
                           httpAnswer(200, engines.podmanSocket));
        if (!engines.dockerSocket.isEmpty())
            docker.emplace(config.dockerSocket, EngineSocket::Mode::Answering,
                           engines.dockerSocket == "garbled"
                               ? QByteArray("garbled")
                               : httpAnswer(200, engines.dockerSocket));
        if (!engines.podmanCommand.isEmpty()) {
            config.podman = dir.filePath("podman");
            QFile script(config.podman);
            QVERIFY(script.open(QIODevice::WriteOnly));
            QFile listing(dir.filePath("listing"));
            QVERIFY(listing.open(QIODevice::WriteOnly));
            listing.write(engines.podmanCommand);
            script.write("#!/bin/sh\n[ \"$*\" = 'ps --format json' ] && exec cat '" +
                         QFile::encodeName(listing.fileName()) + "'\n");
            script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        }
        UserEngine engine(config, 1000);
        PortEntry row(42, process, "me", "TCP", "IPv4", "127.0.0.1", port, "LISTEN");
        row.uid = 1000;
        row.process.startTicks = 7;
        PortEntryList rows{row};
        engine.annotate(rows);
        QCOMPARE(rows[0].proxyCheck, check);
        QCOMPARE(rows[0].containerName, container);
        QCOMPARE(rows[0].process.containerTool.isEmpty(), container.isEmpty());
        // A listing without a proxy row asks nothing.
        if (process == u"node")
            QVERIFY(podman->requests().isEmpty());
    }

    // Another user's proxy is theirs to confirm: nothing of the viewer's is asked.
    void othersProxyAsksNothing() {
        QTemporaryDir dir;
        UserEngine::Config config;
        config.podmanSocket = dir.filePath("podman.sock");
        EngineSocket podman(config.podmanSocket, EngineSocket::Mode::Answering,
                            httpAnswer(200, apiList));
        PortEntry row(0, "rootlessport", "bob", "TCP", "IPv4", "127.0.0.1", 18080, "LISTEN");
        row.fromKernel = true;
        row.uid = 1002;
        PortEntryList rows{row};
        UserEngine(config, 1000).annotate(rows);
        QVERIFY(podman.requests().isEmpty());
        QCOMPARE(rows[0].holder(), "a rootless container of bob (Podman)");
    }

    void initTestCase() {
        if (::geteuid() != 0)
            return;
        m_user.emplace();
        m_skip = m_user->prepare();
    }
    void cleanupTestCase() { m_user.reset(); }

    // A container of the user's rootless Podman on 127.0.0.1, as that user
    // sees it with quayline-cli, with Podman's API socket and without.
    void realPodman_data() {
        QTest::addColumn<bool>("apiSocket");
        QTest::newRow("with the user's API socket") << true;
        QTest::newRow("socket off: podman ps and podman stop") << false;
    }
    void realPodman() {
        QFETCH(bool, apiSocket);
        if (!m_user)
            QSKIP("making a user of rootless Podman needs root");
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        std::optional<QProcess> service;
        // Ended whatever the outcome: our own child, by the pid QProcess
        // started (setpriv execs podman).
        const auto endService = qScopeGuard([&] {
            if (service) {
                service->terminate();
                service->waitForFinished(30000);
                QFile::remove(m_user->socket());
            }
        });
        if (apiSocket) {
            QDir().mkpath(QFileInfo(m_user->socket()).path());
            QProcess::execute("/bin/chown", {m_user->name + ':' + m_user->name,
                                             QFileInfo(m_user->socket()).path()});
            service.emplace();
            m_user->start(*service, {"podman", "system", "service", "--time=0",
                                     "unix://" + m_user->socket()});
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(m_user->socket()).exists(), 30000);
        }
        const quint16 port = freePort();
        const QString name = apiSocket ? "ql-api-web" : "ql-cmd-web";
        QByteArray out;
        QVERIFY2(m_user->podman({"run", "-d", "--name", name, "-p",
                                 QStringLiteral("127.0.0.1:%1:8080").arg(port), "localhost/ql-box",
                                 "/bin/busybox", "httpd", "-f", "-p", "8080"},
                                &out) == 0,
                 out.constData());
        const QString portText = QString::number(port);
        QJsonObject row;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QJsonArray rows =
                    QJsonDocument::fromJson(m_user->cli({"--json", portText}).second).array();
                row = rows.isEmpty() ? QJsonObject() : rows.first().toObject();
                return row["port"].toInt() == port;
            }(),
            30000);
        QCOMPARE(row["processName"].toString(), "rootlessport");
        QCOMPARE(row["containerName"].toString(), name);
        QCOMPARE(row["image"].toString(), "localhost/ql-box:latest");

        // The proxy is refused, naming the container: it and the port serve on.
        auto [status, text] = m_user->cli({"stop", portText});
        QCOMPARE(status, 1);
        QVERIFY2(
            text.contains(QStringLiteral("published by the container %1 through rootlessport")
                              .arg(name)
                              .toUtf8()) &&
                text.contains("To stop it: quayline-cli stop --container " + portText.toUtf8()),
            text.constData());
        QVERIFY(serves(port));

        std::tie(status, text) = m_user->cli({"stop", "--container", portText});
        QVERIFY2(status == 0, text.constData());
        QTRY_VERIFY_WITH_TIMEOUT(!serves(port), 30000);
        m_user->podman({"rm", "-f", name}, &out);
    }

    // A process of the user's merely named rootlessport, on a port that no
    // container of the user's engine publishes, is stopped as any other.
    void ownNamesakeIsStopped() {
        if (!m_user)
            QSKIP("making a user of rootless Podman needs root");
        if (!m_skip.isEmpty())
            QSKIP(qPrintable(m_skip));
        Listener namesake(0, false, m_user->as(), false, "rootlessport");
        QVERIFY(namesake.port != 0);
        const auto [status, text] = m_user->cli({"stop", QString::number(namesake.port)});
        QVERIFY2(status == 0 && text.contains("(rootlessport) stopped."), text.constData());
        QVERIFY(namesake.process.waitForFinished(30000));
    }

private:
    // Whether an HTTP answer comes through the port (a proxy whose container
    // is gone accepts and closes at once).
    static bool serves(quint16 port) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        char answer[5] = {};
        pollfd ready{s, POLLIN, 0};
        const bool ok = ::connect(s, reinterpret_cast<sockaddr *>(&in), sizeof in) == 0 &&
                        ::send(s, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL) == 18 &&
                        ::poll(&ready, 1, 10000) == 1 && ::recv(s, answer, 5, MSG_WAITALL) == 5 &&
                        QByteArrayView(answer, 5) == "HTTP/";
        ::close(s);
        return ok;
    }

    // An ordinary user with subordinate ids, a runtime folder and an image
    // imported from a tarball of busybox-static (no registry); removed with
    // what it made. prepare() says why rootless Podman cannot run here, if so.
    struct PodmanUser {
        const QString name = QStringLiteral("quayline-rootless");
        uid_t uid = 0;
        QTemporaryDir dir;
        std::optional<mode_t> tunMode; // /dev/net/tun's, where it was changed

        QString runtime() const { return QStringLiteral("/run/user/%1").arg(uid); }
        QString socket() const { return runtime() + "/podman/podman.sock"; }
        QStringList as() const {
            return {"/usr/bin/setpriv",
                    "--reuid=" + name,
                    "--regid=" + name,
                    "--init-groups",
                    "/usr/bin/env",
                    "HOME=/home/" + name,
                    "XDG_RUNTIME_DIR=" + runtime(),
                    "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        }
        void start(QProcess &process, QStringList command) const {
            command = as() + command;
            process.setWorkingDirectory("/");
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.start(command.takeFirst(), command);
        }
        int podman(const QStringList &arguments, QByteArray *out) const {
            QProcess p;
            start(p, QStringList{"podman"} + arguments);
            p.waitForFinished(120000);
            *out = p.readAll();
            return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        }
        std::pair<int, QByteArray> cli(const QStringList &arguments) const {
            QProcess p;
            start(p, QStringList{dir.filePath("quayline-cli")} + arguments);
            p.waitForFinished(120000);
            return {p.exitCode(), p.readAll()};
        }

        QString prepare() {
            if (QProcess::execute("/usr/sbin/useradd",
                                  {"--create-home", "--shell", "/bin/sh", name}) != 0 &&
                !::getpwnam(name.toLocal8Bit().constData()))
                return "useradd could not make a user here";
            uid = ::getpwnam(name.toLocal8Bit().constData())->pw_uid;
            QFile subuid("/etc/subuid");
            if (!subuid.open(QIODevice::ReadOnly) ||
                !subuid.readAll().contains(name.toUtf8() + ':'))
                QProcess::execute("/usr/sbin/usermod", {"--add-subuids", "300000-365535",
                                                        "--add-subgids", "300000-365535", name});
            QDir().mkpath(runtime());
            QProcess::execute("/bin/chown", {name + ':' + name, runtime()});
            QFile::setPermissions(runtime(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            // slirp4netns opens the tun device as the user; Debian makes it
            // open to all, a container image of Debian may not.
            struct stat tun {};
            if (::stat("/dev/net/tun", &tun) == 0 && (tun.st_mode & 0666) != 0666) {
                tunMode = tun.st_mode & 07777;
                ::chmod("/dev/net/tun", 0666);
            }
            const auto readAndRun = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadOther | QFile::ExeOther;
            QDir().mkpath(dir.filePath("image/bin"));
            if (!QFile::setPermissions(dir.path(), readAndRun) ||
                !QFile::copy(qEnvironmentVariable("QUAYLINE_CLI"), dir.filePath("quayline-cli")) ||
                !QFile::setPermissions(dir.filePath("quayline-cli"), readAndRun) ||
                !QFile::copy("/bin/busybox", dir.filePath("image/bin/busybox")) ||
                QProcess::execute("/bin/tar", {"-C", dir.filePath("image"), "-cf",
                                               dir.filePath("image.tar"), "."}) != 0 ||
                !QFile::setPermissions(dir.filePath("image.tar"),
                                       QFile::ReadOwner | QFile::ReadOther))
                return "the image's tarball could not be made";
            QByteArray out;
            if (podman({"import", dir.filePath("image.tar"), "localhost/ql-box"}, &out) != 0)
                return "rootless Podman cannot run here: " + QString::fromUtf8(out.trimmed());
            // A container that starts and publishes a port through rootlessport.
            if (podman({"run", "--rm", "-p", "127.0.0.1::8080", "localhost/ql-box", "/bin/busybox",
                        "true"},
                       &out) != 0)
                return "rootless Podman cannot publish a port here: " +
                       QString::fromUtf8(out.trimmed());
            return {};
        }
        ~PodmanUser() {
            QByteArray out;
            if (uid != 0) {
                podman({"rm", "-af"}, &out);
                // Ends the user's pause process, which holds its namespaces.
                podman({"system", "migrate"}, &out);
                QProcess::execute("/usr/sbin/userdel", {"--force", "--remove", name});
                QDir(runtime()).removeRecursively();
            }
            if (tunMode)
                ::chmod("/dev/net/tun", *tunMode);
        }
    };
    std::optional<PodmanUser> m_user;
    QString m_skip;
};

QTEST_GUILESS_MAIN(RootlessTest)
#include "tst_rootless.moc"
