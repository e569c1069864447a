// Ports that another local user shapes, staged for real: listeners of users
// the test makes, in cgroups it makes under the cgroup2 mount with names an
// attacker would choose. An ordinary user (whom lsof shows none of them)
// lists and stops them with quayline-cli and looks at them in the panel's
// model; both must say the same, offer only commands that are safe and would
// work, and hand the views no text that could drive them. CI runs as root,
// which the staging needs; the listeners are the test's own children.

#include "EngineSocket.h"
#include "KernelFixtures.h"
#include "model/DisplayText.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

namespace {

QJsonObject rowOn(const QJsonArray &rows, int port) {
    for (const QJsonValue &row : rows) {
        if (row["port"].toInt() == port)
            return row.toObject();
    }
    return {};
}

// A listener's owner: the user who looks, another user, or root.
enum class Who { Viewer, Other, Root };

// What each situation must show. "%1" in texts stands for the port, "%2"
// for the listener's pid; "%viewer"/"%other" in a cgroup for those users'
// uids.
struct Situation {
    QByteArray cgroup; // under the test's own cgroup; empty: the test's
    Who who = Who::Other;
    QString name; // what the listener calls itself; perl's own where empty
    bool pidShown = false;
    QString unit;    // in --json
    QString refusal; // the stop's first line, as the command line escapes it; empty: stoppable
    QString command; // what it offers to run instead; empty: nothing
    // Where set, a stand-in container engine names the container that
    // publishes the port so.
    QString containerName = {};
    // Where set, what "stop --container" says (and it stops nothing).
    QString containerStop = {};
};

} // namespace

Q_DECLARE_METATYPE(Situation)
Q_DECLARE_METATYPE(Who)

class TestHostile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_cli, m_panel;
    std::optional<TestUser> m_viewer, m_other;
    CgroupPaths m_cgroups;

    struct Run {
        int exitCode = -1;
        QByteArray out, err;
    };
    Run runAsViewer(const QString &program, const QStringList &arguments) {
        QProcess run;
        QStringList command = m_viewer->as() + QStringList{program} + arguments;
        run.setWorkingDirectory("/");
        run.start(command.takeFirst(), command);
        const bool done = run.waitForFinished(60000) && run.exitStatus() == QProcess::NormalExit;
        return {done ? run.exitCode() : -1, run.readAllStandardOutput(),
                run.readAllStandardError()};
    }
    // A copy of a program of the build in a folder other users may enter.
    QString copyForEveryone(const QString &from) {
        const QString to = m_dir.filePath(QFileInfo(from).fileName());
        if (!QFile::copy(from, to))
            return {};
        QFile::setPermissions(to, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                      QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
        return to;
    }
    QByteArray placeholders(QByteArray text) const {
        return text.replace("%viewer", QByteArray::number(*m_viewer->uid()))
            .replace("%other", QByteArray::number(*m_other->uid()));
    }

private slots:
    void initTestCase() {
        if (::geteuid() != 0)
            QSKIP("making the users and cgroups of this test needs root");
        if (m_cgroups.mountPoint().isEmpty())
            QSKIP("no cgroup2 hierarchy here");
        m_viewer.emplace("quayline-viewer");
        m_other.emplace("quayline-other");
        if (!m_viewer->ready || !m_other->ready)
            QSKIP("useradd could not make a user here");
        QVERIFY(m_dir.isValid());
        QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadOther | QFile::ExeOther |
                                                QFile::ReadGroup | QFile::ExeGroup);
        m_cli = copyForEveryone(qEnvironmentVariable("QUAYLINE_CLI"));
        m_panel = copyForEveryone(qEnvironmentVariable("QUAYLINE_PANEL_TEXTS"));
        QVERIFY(!m_cli.isEmpty() && !m_panel.isEmpty());
    }
    void cleanupTestCase() {
        m_viewer.reset();
        m_other.reset();
    }

    void situations_data() {
        QTest::addColumn<Situation>("s");
        const QString others = "Quayline stops only your own processes; port %1 is held by ";
        QTest::newRow("root's service, its descriptors closed to the viewer")
            << Situation{"demo-web.service",
                         Who::Root,
                         {},
                         false,
                         "demo-web.service",
                         others + "root, demo-web.service.",
                         "systemctl stop demo-web.service"};
        QTest::newRow("another user's process, no unit")
            << Situation{{}, Who::Other, {}, false, {}, others + "quayline-other.", {}};
        QTest::newRow("another user's process in a cgroup named after the engine's unit")
            << Situation{"docker.service",
                         Who::Other,
                         {},
                         false,
                         "docker.service",
                         others + "quayline-other, docker.service.",
                         {}};
        QTest::newRow("another user's process in their manager's own cgroup")
            << Situation{"user@%other.service",
                         Who::Other,
                         {},
                         false,
                         "user@%other.service",
                         others + "quayline-other, user@%other.service.",
                         {}};
        QTest::newRow("another user's user unit named like a system unit") << Situation{
            "user@%other.service/app.slice/ssh.service", Who::Other, {}, false, "ssh.service",
            others + "quayline-other, ssh.service.",     {}};
        QTest::newRow("shell syntax in a unit's name")
            << Situation{"x;id $(id).service",
                         Who::Other,
                         {},
                         false,
                         "x;id $(id).service",
                         others + "quayline-other, x;id $(id).service.",
                         "systemctl stop 'x;id $(id).service'"};
        QTest::newRow("terminal escape and right-to-left override in a unit's name")
            << Situation{"a\x1b[31m\u202egpj.service",
                         Who::Other,
                         {},
                         false,
                         "a\x1b[31m\u202egpj.service",
                         others + "quayline-other, a\\x1b[31m\\u202egpj.service.",
                         "systemctl stop $'a\\x1b[31m\\xe2\\x80\\xaegpj.service'"};
        QTest::newRow("a container engine's name with a line break and a right-to-left override")
            << Situation{"docker.service",
                         Who::Root,
                         "docker-proxy",
                         false,
                         "docker.service",
                         "Port %1 is published by the container web\\x0aPID 1 · "
                         "root\\u202egpj.exe through docker.service. Signalling docker.service "
                         "would break the port and leave the container running.",
                         "quayline-cli stop --container %1",
                         "web\nPID 1 · root\u202egpj.exe"};
        QTest::newRow("your own folder named like a container's")
            << Situation{"user@%viewer.service/app.slice/docker-" + QByteArray(64, 'c') + ".scope",
                         Who::Viewer,
                         {},
                         true,
                         "docker-" + QString(64, u'c') + ".scope",
                         {},
                         {},
                         {},
                         "No container keeps port %1; it is held by PID %2 (perl).\n"};
        QTest::newRow("your own process named docker-proxy")
            << Situation{{}, Who::Viewer, "docker-proxy", true, {}, {}, {}};
    }
    void situations() {
        QFETCH(Situation, s);
        std::optional<TestCgroup> group;
        QStringList as;
        if (s.who == Who::Viewer)
            as = m_viewer->as();
        else if (s.who == Who::Other)
            as = m_other->as();
        Listener listener(0, true, as, false, s.name);
        QVERIFY(listener.process.waitForStarted());
        if (!s.cgroup.isEmpty()) {
            group.emplace(m_cgroups, placeholders(s.cgroup));
            QVERIFY2(group->add(listener.process.processId()), group->path.constData());
        }
        listener.start();
        QVERIFY(listener.port);
        const QString port = QString::number(listener.port);
        std::optional<EngineSocket> engine;
        qunsetenv("DOCKER_HOST");
        if (!s.containerName.isEmpty()) {
            const QString path = m_dir.filePath("engine.sock");
            QFile::remove(path);
            const QJsonObject published{{"IP", "127.0.0.1"},
                                        {"PrivatePort", 80},
                                        {"PublicPort", listener.port},
                                        {"Type", "tcp"}};
            const QJsonObject container{{"Id", QString(64, u'a')},
                                        {"Names", QJsonArray{"/" + s.containerName}},
                                        {"Image", "web:1"},
                                        {"State", "running"},
                                        {"Ports", QJsonArray{published}}};
            engine.emplace(path, EngineSocket::Mode::Answering,
                           httpAnswer(200, QJsonDocument(QJsonArray{container}).toJson()));
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther |
                                            QFile::WriteOther);
            qputenv("DOCKER_HOST", "unix://" + QFile::encodeName(path));
        }
        const auto fill = [&](QString text) {
            return text.replace("%1", port)
                .replace("%2", QString::number(listener.process.processId()))
                .replace("%viewer", QString::number(*m_viewer->uid()))
                .replace("%other", QString::number(*m_other->uid()));
        };

        // The listing.
        const Run list = runAsViewer(m_cli, {"--json", port});
        QCOMPARE(list.exitCode, 0);
        const QJsonObject row = rowOn(QJsonDocument::fromJson(list.out).array(), listener.port);
        QVERIFY2(!row.isEmpty(), list.out.constData());
        QCOMPARE(row["pid"].isNull(), !s.pidShown);
        if (s.pidShown)
            QCOMPARE(row["pid"].toInt(), int(listener.process.processId()));
        QCOMPARE(row["unit"].toString(), fill(s.unit));
        // The table: a heading and one line, nothing a terminal would act on.
        const Run table = runAsViewer(m_cli, {"--wide", port});
        QCOMPARE(table.exitCode, 0);
        const QStringList lines = QString::fromUtf8(table.out).split(u'\n');
        QCOMPARE(lines.size(), 3); // and the end of the last line
        for (const QString &line : lines)
            QCOMPARE(escapeControlCharacters(line), line);

        // The stop: refused with what would stop it, or left alone.
        if (!s.refusal.isEmpty()) {
            const Run stop = runAsViewer(m_cli, {"stop", port});
            QCOMPARE(stop.exitCode, 1);
            QString expected = fill(s.refusal) + u'\n';
            if (!s.command.isEmpty())
                expected += "To stop it: " + escapeControlCharacters(fill(s.command)) + u'\n';
            QCOMPARE(QString::fromUtf8(stop.err), expected);
        }

        if (!s.containerStop.isEmpty()) {
            QCOMPARE(row["container"].toString(), QString());
            const Run stop = runAsViewer(m_cli, {"stop", "--container", port});
            QCOMPARE(stop.exitCode, 1);
            QCOMPARE(QString::fromUtf8(stop.err), fill(s.containerStop));
        }

        // The panel: the same refusal and command, and nothing hidden in
        // what its views get (line breaks only where the text has lines).
        const Run panel = runAsViewer(m_panel, {port});
        QCOMPARE(panel.exitCode, 0);
        const QJsonArray rows = QJsonDocument::fromJson(panel.out).array();
        QCOMPARE(rows.size(), 1);
        const QJsonObject texts = rows[0].toObject();
        QCOMPARE(texts["stopRefusal"].toString(), fill(s.refusal));
        QCOMPARE(texts["stopCommand"].toString(), fill(s.command));
        for (auto it = texts.constBegin(); it != texts.constEnd(); ++it) {
            const bool lines = it.key() == u"stopToolTip" || it.key() == u"identity";
            for (const QChar c : it.value().toString()) {
                QVERIFY2(
                    (lines && c == u'\n') || !isHiddenCharacter(c.unicode()),
                    qPrintable(it.key() + ": " + escapeControlCharacters(it.value().toString())));
            }
        }
        QCOMPARE(listener.process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
