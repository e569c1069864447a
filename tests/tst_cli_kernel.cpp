// quayline-cli run by an ordinary user, for whom lsof sees none of the ports
// of root or of other users: the kernel's socket table still lists them.
// Here, sockets that pass between users; tst_hostile has the rest. CI runs
// as root, so the test makes two users of its own and runs the command and
// the listeners as them.

#include "KernelFixtures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

class TestCliKernel : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_cli;
    std::optional<TestUser> m_viewer, m_other;
    CgroupPaths m_cgroups;

    struct Run {
        int exitCode = -1;
        QByteArray out, err;
    };
    Run runAsViewer(const QStringList &arguments) { return runAs(&*m_viewer, arguments); }
    const TestUser *runner(const QString &name) const {
        return name == u"root" ? nullptr : name == u"viewer" ? &*m_viewer : &*m_other;
    }
    // stop's standard output, then its standard error after "|"; it exits 1.
    QString refusedStop(const TestUser *as, const QStringList &stop, quint16 port) {
        const Run run = runAs(as, stop + QStringList{QString::number(port)});
        [&] { QCOMPARE(run.exitCode, 1); }();
        return QString::fromUtf8(run.out) + u'|' + QString::fromUtf8(run.err);
    }
    // As root where user is null.
    Run runAs(const TestUser *user, const QStringList &arguments) {
        QProcess cli;
        QStringList command = (user ? user->as() : QStringList()) + QStringList{m_cli} + arguments;
        cli.setWorkingDirectory("/");
        cli.start(command.takeFirst(), command);
        const bool done = cli.waitForFinished(60000) && cli.exitStatus() == QProcess::NormalExit;
        return {done ? cli.exitCode() : -1, cli.readAllStandardOutput(),
                cli.readAllStandardError()};
    }

private slots:
    void initTestCase() {
        if (::geteuid() != 0)
            QSKIP("making the users this test runs as needs root");
        m_viewer.emplace("quayline-viewer");
        m_other.emplace("quayline-other");
        if (!m_viewer->ready || !m_other->ready)
            QSKIP("useradd could not make a user here");
        // The build folder may be closed to other users: the command is run
        // from a copy in a folder they may enter.
        QVERIFY(m_dir.isValid());
        const auto everyone = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                              QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup;
        QFile::setPermissions(m_dir.path(), everyone | QFile::WriteOwner);
        m_cli = m_dir.filePath("quayline-cli");
        QVERIFY(QFile::copy(qEnvironmentVariable("QUAYLINE_CLI"), m_cli));
        QFile::setPermissions(m_cli, everyone);
    }
    void cleanupTestCase() {
        m_viewer.reset();
        m_other.reset();
    }

    // Whether a port is free, asked by each user while one of them listens:
    // another user's listener is no less in the way for being invisible to
    // the asker's lsof, and only a socket of the asker's own is named.
    void freeWhileListening_data() {
        QTest::addColumn<QString>("listener"); // who listens: "root" or "viewer"
        QTest::addColumn<QString>("asker");
        QTest::addColumn<QString>("text");
        QTest::newRow("root's listener, asked by an ordinary user")
            << "root"
            << "viewer"
            << "held by another user's process";
        QTest::newRow("the asker's own listener") << "viewer"
                                                  << "viewer"
                                                  << "held by PID {pid} (perl)";
        QTest::newRow("an ordinary user's listener, asked by root") << "viewer"
                                                                    << "root"
                                                                    << "held by PID {pid} (perl)";
    }
    void freeWhileListening() {
        QFETCH(QString, listener);
        QFETCH(QString, asker);
        QFETCH(QString, text);
        const Listener held(0, false, listener == u"root" ? QStringList() : m_viewer->as());
        QVERIFY(held.port);
        const Run run = runAs(asker == u"root" ? nullptr : &*m_viewer,
                              {"free", "--json", QString::number(held.port)});
        QCOMPARE(run.exitCode, 0);
        const QJsonObject first = QJsonDocument::fromJson(run.out).object()["ports"][0].toObject();
        QCOMPARE(first["port"].toInt(), held.port);
        QCOMPARE(first["text"].toString(),
                 text.replace("{pid}", QString::number(held.process.processId())));
    }

    // A socket that one user made and a process of another holds, staged for
    // real: handed over a unix socket to a process alone in its cgroup, or
    // kept by a daemon that bound as root and then became another user. The
    // rows on its port as each runner sees them ("pid|user|uid|unit", "-"
    // for no pid): a pid only where its process acts as the socket's owner
    // and holds it, no second row for root; and what stop prints (standard
    // output, then the start of standard error after "|"), exiting 1.
    void sharedSockets_data() {
        QTest::addColumn<QString>("maker");  // "root" or "viewer"
        QTest::addColumn<QString>("shared"); // "handed", "handed, maker stays", "became other"
        QTest::addColumn<QString>("runner"); // "root", "viewer" or "other"
        QTest::addColumn<bool>("stop");
        QTest::addColumn<QString>("expected");
        const QString handed = "handed", stays = "handed, maker stays", became = "became other";
        QTest::newRow("handed to another user's process alone in its cgroup: no pid")
            << "viewer" << handed << "viewer" << false << "-|{viewer}|{viewerUid}|demo-web.service";
        QTest::newRow("handed to another user's process: stop signals nobody")
            << "viewer" << handed << "viewer" << true
            << "|Quayline cannot tell which of your processes holds port {port}.";
        QTest::newRow("the stopped process had handed its socket over: not freed, no respawn")
            << "viewer" << stays << "viewer" << true
            << "PID {maker} (tst_cli_kernel) stopped.\n|Port {port} was not freed: another "
               "process holds the same socket as PID {maker} did.\n";
        QTest::newRow("bound as root, then another user: root sees lsof's row alone")
            << "root" << became << "root" << false << "{maker}|{other}|0|demo-web.service";
        QTest::newRow("bound as root, then another user: that user sees root's socket")
            << "root" << became << "other" << false << "-|root|0|demo-web.service";
        QTest::newRow("bound as root, then another user: stop, for that user")
            << "root" << became << "other" << true
            << "|Quayline stops only your own processes; port {port} is held by root, "
               "demo-web.service.";
    }
    void sharedSockets() {
        QFETCH(QString, maker);
        QFETCH(QString, shared);
        QFETCH(QString, runner);
        QFETCH(bool, stop);
        QFETCH(QString, expected);
        const TestCgroup group(m_cgroups);
        if (group.path.isEmpty())
            QSKIP("no writable cgroup2 hierarchy here");
        const uid_t viewer = *m_viewer->uid(), other = *m_other->uid();
        SharedSocket::Plan plan;
        plan.maker = maker == u"root" ? 0 : viewer;
        plan.cgroup = group.path;
        plan.makerStays = shared == u"handed, maker stays";
        (shared == u"became other" ? plan.becomes : plan.handTo) = other;
        SharedSocket socket(plan);
        QVERIFY(socket.port);
        expected.replace("{port}", QString::number(socket.port))
            .replace("{maker}", QString::number(socket.maker))
            .replace("{viewer}", m_viewer->name)
            .replace("{viewerUid}", QString::number(viewer))
            .replace("{other}", m_other->name);

        const TestUser *as = this->runner(runner);
        const QString port = QString::number(socket.port);
        if (stop) {
            // Both streams in one text, so that a failure shows what each said.
            const QString seen = refusedStop(as, {"stop"}, socket.port);
            QVERIFY2(seen.startsWith(expected), qPrintable(seen));
            return;
        }
        const Run list = runAs(as, {"--json", port});
        QCOMPARE(list.exitCode, 0);
        QStringList rows;
        for (const QJsonValue &row : QJsonDocument::fromJson(list.out).array()) {
            if (row["port"].toInt() == socket.port)
                rows << QStringList{row["pid"].isNull() ? "-" : QString::number(row["pid"].toInt()),
                                    row["user"].toString(), QString::number(row["uid"].toInt(-1)),
                                    row["unit"].toString()}
                            .join(u'|');
        }
        QCOMPARE(rows.join(u';'), expected);
    }

    // A VXLAN tunnel's UDP port, made for real: no process holds it, and root
    // and an ordinary user alike see it as the kernel's, for that interface
    // ("pid|kernel|PROCESS cell"), and are told where to look instead of
    // being offered a stop (no sudo, no command that answers the same).
    void kernelTunnel_data() {
        QTest::addColumn<QString>("runner");
        QTest::addColumn<QStringList>("stop"); // its options; none: the listing
        QTest::addColumn<QString>("expected");
        const QString row = "-|vxlan {if}|kernel";
        const QString refused = "|No process holds port {port}/UDP: the kernel does, for the "
                                "VXLAN interface {if} (“ip -d link show {if}” shows it).\n";
        const QStringList list, stop{"stop"};
        QTest::newRow("listed for root") << "root" << list << row;
        QTest::newRow("listed for an ordinary user") << "viewer" << list << row;
        QTest::newRow("stop, as root") << "root" << stop << refused;
        QTest::newRow("stop, as an ordinary user") << "viewer" << stop << refused;
        QTest::newRow("stop --container: no container keeps it")
            << "viewer" << QStringList{"stop", "--container"} << refused;
    }
    void kernelTunnel() {
        QFETCH(QString, runner);
        QFETCH(QStringList, stop);
        QFETCH(QString, expected);
        const TestVxlan tunnel;
        if (!tunnel.port)
            QSKIP("this machine cannot make a VXLAN interface (no vxlan module?)");
        expected.replace("{port}", QString::number(tunnel.port)).replace("{if}", tunnel.name);
        if (!stop.isEmpty()) {
            QCOMPARE(refusedStop(this->runner(runner), stop, tunnel.port), expected);
            return;
        }
        const QString port = QString::number(tunnel.port);
        const Run json = runAs(this->runner(runner), {"--json", port});
        const Run table = runAs(this->runner(runner), {port});
        QCOMPARE(json.exitCode, 0);
        QCOMPARE(table.exitCode, 0);
        QStringList rows;
        for (const QJsonValue &row : QJsonDocument::fromJson(json.out).array()) {
            if (row["port"].toInt() == tunnel.port)
                rows << QString(row["pid"].isNull() ? "-" : "pid") + u'|' +
                            row["kernel"].toString();
        }
        for (const QByteArray &line : table.out.split('\n')) {
            if (line.startsWith(port.toLatin1() + ' '))
                rows << QString::fromUtf8(line.simplified().split(' ').last());
        }
        QCOMPARE(rows.join(u'|'), expected);
    }
};

QTEST_GUILESS_MAIN(TestCliKernel)
#include "tst_cli_kernel.moc"
