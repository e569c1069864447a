// quayline-cli run by an ordinary user, for whom lsof sees none of the ports
// of root or of other users: the kernel's socket table still lists them.
// CI runs as root, so the test makes two users of its own and runs the
// command and a listener as them.

#include "KernelFixtures.h"

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

} // namespace

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
    Run runAsViewer(const QStringList &arguments) {
        QProcess cli;
        QStringList command = m_viewer->as() + QStringList{m_cli} + arguments;
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

    // A root service in its unit's cgroup and a listener of another user:
    // both listed for the viewer, with owner and unit; the pid of the service,
    // the one process in its cgroup; the other user's pid unknown, so null in
    // JSON and "-" in the table. stop on either exits 1
    // with the reason and the command that would stop it, never "Nothing is
    // listening", and signals nothing.
    void otherUsersPorts() {
        ServiceInCgroup inUnit(m_cgroups);
        if (!inUnit.listener)
            QSKIP("no writable cgroup2 hierarchy here");
        const Listener &service = *inUnit.listener;
        Listener theirs(0, false, m_other->as());
        QVERIFY(service.port && theirs.port);

        const Run list = runAsViewer({"--json"});
        QCOMPARE(list.exitCode, 0);
        const QJsonArray rows = QJsonDocument::fromJson(list.out).array();
        const QJsonObject root = rowOn(rows, service.port);
        QCOMPARE(root["user"].toString(), "root");
        QCOMPARE(root["uid"].toInt(-1), 0);
        QCOMPARE(root["unit"].toString(), "demo-web.service");
        QCOMPARE(root["pid"].toInt(), int(service.process.processId()));
        QCOMPARE(root["processName"].toString(), "perl");
        const QJsonObject their = rowOn(rows, theirs.port);
        QCOMPARE(their["user"].toString(), m_other->name);
        QCOMPARE(their["uid"].toInt(-1), int(*m_other->uid()));
        QVERIFY(their["pid"].isNull());

        const Run table = runAsViewer({QString::number(theirs.port)});
        QCOMPARE(table.exitCode, 0);
        const QList<QByteArray> lines = table.out.split('\n');
        QCOMPARE(lines.size(), 3); // heading, the row, and the end of the last line
        QCOMPARE(lines[1].simplified().split(' ').value(3), "-");

        const Run unit = runAsViewer({"stop", QString::number(service.port)});
        QCOMPARE(unit.exitCode, 1);
        QVERIFY(!unit.out.contains("Nothing is listening"));
        QCOMPARE(unit.err, QStringLiteral("Quayline stops only your own processes; port %1 is "
                                          "held by root, demo-web.service.\n"
                                          "To stop it: systemctl stop demo-web.service\n")
                               .arg(service.port)
                               .toUtf8());
        // Another user's own process: no command, as root's stop refuses it too.
        const Run user = runAsViewer({"stop", QString::number(theirs.port)});
        QCOMPARE(user.exitCode, 1);
        QVERIFY(user.err.startsWith("Quayline stops only your own processes"));
        QVERIFY(!user.err.contains("To stop it"));
        QCOMPARE(service.process.state(), QProcess::Running);
        QCOMPARE(theirs.process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestCliKernel)
#include "tst_cli_kernel.moc"
