// quayline-cli run by an ordinary user, for whom lsof sees none of the ports
// of root or of other users: the kernel's socket table still lists them.
// CI runs as root, so the test makes two users of its own and runs the
// command and a listener as them.

#include "KernelFixtures.h"
#include "viewmodel/PortListModel.h"
#include "viewmodel/PortListViewModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {

const QString viewer = QStringLiteral("quayline-viewer");
const QString other = QStringLiteral("quayline-other");

QStringList as(const QString &user) {
    return {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user, "--clear-groups"};
}

std::optional<uid_t> uidOf(const QString &user) {
    const passwd *entry = ::getpwnam(user.toLocal8Bit().constData());
    return entry ? std::optional<uid_t>(entry->pw_uid) : std::nullopt;
}

QJsonObject rowOn(const QJsonArray &rows, int port) {
    for (const QJsonValue &row : rows) {
        if (row["port"].toInt() == port)
            return row.toObject();
    }
    return {};
}

} // namespace

class TestCliKernel : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_cli;
    QStringList m_created;
    CgroupPaths m_cgroups;

    struct Run {
        int exitCode = -1;
        QByteArray out, err;
    };
    Run runAs(const QString &user, const QStringList &arguments) {
        QProcess cli;
        QStringList command = as(user) + QStringList{m_cli} + arguments;
        cli.setWorkingDirectory("/");
        cli.start(command.takeFirst(), command);
        const bool done = cli.waitForFinished(60000) && cli.exitStatus() == QProcess::NormalExit;
        return {done ? cli.exitCode() : -1, cli.readAllStandardOutput(),
                cli.readAllStandardError()};
    }

private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsSet("QUAYLINE_AS_VIEWER"))
            return; // the model's run as the viewer, started by modelAsViewer()
        if (::geteuid() != 0)
            QSKIP("making the users this test runs as needs root");
        for (const QString &user : {viewer, other}) {
            if (uidOf(user))
                continue;
            const int rc = QProcess::execute("/usr/sbin/useradd",
                                             {"--system", "--no-create-home", "--user-group",
                                              "--shell", "/usr/sbin/nologin", user});
            if (rc != 0)
                QSKIP("useradd could not make a user here");
            m_created.append(user);
        }
        // The build folder may be closed to other users: the command is run
        // from a copy in a folder they may enter.
        QVERIFY(m_dir.isValid());
        QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadOther | QFile::ExeOther |
                                                QFile::ReadGroup | QFile::ExeGroup);
        m_cli = m_dir.filePath("quayline-cli");
        QVERIFY(QFile::copy(qEnvironmentVariable("QUAYLINE_CLI"), m_cli));
        QFile::setPermissions(m_cli, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                         QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    }
    void cleanupTestCase() {
        if (qEnvironmentVariableIsSet("QUAYLINE_AS_VIEWER"))
            return;
        for (const QString &user : std::as_const(m_created))
            QProcess::execute("/usr/sbin/userdel", {user});
    }

    // A root service in its unit's cgroup and a listener of another user:
    // both listed for the viewer, with owner and unit; the pid of the service
    // only while its cgroup holds that one process; the other user's pid
    // unknown, so null in JSON and "-" in the table.
    void otherUsersPorts() {
        ServiceInCgroup inUnit(m_cgroups);
        if (!inUnit.listener)
            QSKIP("no writable cgroup2 hierarchy here");
        const Listener &service = *inUnit.listener;
        Listener theirs(0, false, as(other));
        QVERIFY(service.port && theirs.port);

        Run list = runAs(viewer, {"--json"});
        QCOMPARE(list.exitCode, 0);
        QJsonArray rows = QJsonDocument::fromJson(list.out).array();
        QJsonObject root = rowOn(rows, service.port);
        QCOMPARE(root["user"].toString(), "root");
        QCOMPARE(root["uid"].toInt(-1), 0);
        QCOMPARE(root["unit"].toString(), "demo-web.service");
        QCOMPARE(root["pid"].toInt(), int(service.process.processId()));
        QCOMPARE(root["processName"].toString(), "perl");
        const QJsonObject their = rowOn(rows, theirs.port);
        QCOMPARE(their["user"].toString(), other);
        QCOMPARE(their["uid"].toInt(-1), int(*uidOf(other)));
        QVERIFY(their["pid"].isNull());

        const Run table = runAs(viewer, {QString::number(theirs.port)});
        QCOMPARE(table.exitCode, 0);
        const QList<QByteArray> lines = table.out.split('\n');
        QCOMPARE(lines.size(), 3); // heading, the row, and the end of the last line
        QCOMPARE(lines[1].simplified().split(' ').value(3), "-");

        // A second process in the unit: which one holds the port is no
        // longer certain (the listener's command line does not name it).
        QProcess sleeper;
        sleeper.start("/bin/sleep", {"60"});
        QVERIFY(sleeper.waitForStarted());
        QVERIFY(inUnit.group.add(sleeper.processId()));
        list = runAs(viewer, {"--json"});
        root = rowOn(QJsonDocument::fromJson(list.out).array(), service.port);
        QVERIFY(root["pid"].isNull());
        QCOMPARE(root["unit"].toString(), "demo-web.service");
        // Found by its unit's name.
        const Run filtered = runAs(viewer, {"--json", "demo-web"});
        rows = QJsonDocument::fromJson(filtered.out).array();
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0].toObject()["port"].toInt(), int(service.port));
        ::kill(pid_t(sleeper.processId()), SIGKILL); // our own child, not yet reaped
        sleeper.waitForFinished(5000);
    }

    // The panel's model run by the viewer: the root service's row with owner
    // and unit, and its stop sends nothing. This test program runs itself
    // again as the viewer, from a copy the viewer may execute.
    void modelAsViewer() {
        if (qEnvironmentVariableIsSet("QUAYLINE_AS_VIEWER")) {
            const int port = qEnvironmentVariableIntValue("QUAYLINE_ROOT_PORT");
            QTemporaryDir settingsDir;
            QVERIFY(settingsDir.isValid());
            LsofRuns runs;
            PortListViewModel vm(PortListViewModel::Dependencies{
                [&runs] { return PortScanner(runs).scan(); },
                std::make_unique<QSettings>(settingsDir.filePath("q.conf"), QSettings::IniFormat),
                nullptr});
            vm.refresh();
            QTRY_VERIFY_WITH_TIMEOUT(!vm.isLoading() && !vm.entries().isEmpty(), 30000);
            const auto it = std::find_if(vm.entries().cbegin(), vm.entries().cend(),
                                         [port](const PortEntry &e) { return e.port == port; });
            QVERIFY(it != vm.entries().cend());
            QVERIFY(it->fromKernel);
            QCOMPARE(it->user, "root");
            QCOMPARE(it->holder(), "root, demo-web.service");
            QCOMPARE(vm.stopCommand(*it), "systemctl stop demo-web.service");
            vm.stopProcess(*it); // refused: the alert says why, nothing is signalled
            QVERIFY(vm.killError());
            vm.setSearchText("demo-web");
            QCOMPARE(vm.filteredModel()->rowCount(), 1);
            return;
        }
        ServiceInCgroup inUnit(m_cgroups);
        if (!inUnit.listener)
            QSKIP("no writable cgroup2 hierarchy here");
        const Listener &service = *inUnit.listener;
        QVERIFY(service.port);
        const QString self = m_dir.filePath("tst_cli_kernel");
        QFile::remove(self);
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), self));
        QFile::setPermissions(self, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther |
                                        QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QUAYLINE_AS_VIEWER", "1");
        env.insert("QUAYLINE_ROOT_PORT", QString::number(service.port));
        env.insert("HOME", "/tmp");
        run.setProcessEnvironment(env);
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.setWorkingDirectory("/");
        QStringList command = as(viewer) + QStringList{self, "modelAsViewer"};
        run.start(command.takeFirst(), command);
        QVERIFY(run.waitForFinished(120000));
        const QByteArray output = run.readAll();
        QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0,
                 output.constData());
        QVERIFY2(output.contains("PASS   : TestCliKernel::modelAsViewer()"), output.constData());
    }

    // stop on a port the viewer cannot stop: exit 1 with the reason and the
    // command that would, never "Nothing is listening".
    void stopRefused() {
        ServiceInCgroup inUnit(m_cgroups);
        if (!inUnit.listener)
            QSKIP("no writable cgroup2 hierarchy here");
        const Listener &service = *inUnit.listener;
        Listener theirs(0, false, as(other));
        QVERIFY(service.port && theirs.port);

        const Run unit = runAs(viewer, {"stop", QString::number(service.port)});
        QCOMPARE(unit.exitCode, 1);
        QVERIFY(!unit.out.contains("Nothing is listening"));
        QCOMPARE(unit.err, QStringLiteral("Quayline stops only your own processes; port %1 is "
                                          "held by root, demo-web.service.\n"
                                          "To stop it: systemctl stop demo-web.service\n")
                               .arg(service.port)
                               .toUtf8());
        // Another user's own process: no command, as root's stop refuses it too.
        const Run user = runAs(viewer, {"stop", QString::number(theirs.port)});
        QCOMPARE(user.exitCode, 1);
        QVERIFY(user.err.startsWith("Quayline stops only your own processes"));
        QVERIFY(!user.err.contains("To stop it"));
        // Both still listen.
        QCOMPARE(service.process.state(), QProcess::Running);
        QCOMPARE(theirs.process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestCliKernel)
#include "tst_cli_kernel.moc"
