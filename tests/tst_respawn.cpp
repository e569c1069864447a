// Telling a port taken again from one that is still held by the stopped
// process, and naming what started the newcomer, against a /proc tree of the
// test's own and against the test's own child.
#include "process/Respawn.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

namespace {

// A /proc/PID/stat line with the fields the reader looks at: comm, state,
// ppid and the start time (field 22).
QByteArray statLine(qint32 pid, const QByteArray &comm, qint32 ppid, quint64 start) {
    return QByteArray::number(pid) + " (" + comm + ") S " + QByteArray::number(ppid) +
           " 1 1 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 1 0 " + QByteArray::number(start) + " 0 0\n";
}

struct Proc {
    qint32 pid;
    QByteArray comm;
    qint32 ppid;
    quint64 start;
};

PortEntry row(qint32 pid, const QString &name, qint64 port, quint64 start = 0,
              const QString &protocol = "TCP") {
    PortEntry e(pid, name, "ann", protocol, "IPv4", "127.0.0.1", port, "LISTEN");
    e.process.startTicks = start;
    return e;
}

Keeper service(const QString &unit, const QString &restart, bool user = false) {
    Keeper k;
    k.kind = Keeper::Kind::Service;
    k.unit = unit;
    k.restart = restart;
    k.userUnit = user;
    return k;
}

Keeper container(const QString &id, const QString &name, const QString &policy = {}) {
    Keeper k;
    k.kind = Keeper::Kind::Container;
    k.containerId = id;
    k.containerName = name;
    k.restartPolicy = policy;
    return k;
}

Keeper byParent(qint32 pid, const QString &name, quint64 start) {
    Keeper k;
    k.kind = Keeper::Kind::Parent;
    k.parentPid = pid;
    k.parentName = name;
    k.parentStartTicks = start;
    return k;
}

} // namespace

Q_DECLARE_METATYPE(QList<Proc>)

class TestRespawn : public QObject {
    Q_OBJECT

private slots:
    void takenAgain_data() {
        QTest::addColumn<PortEntryList>("now");
        QTest::addColumn<qint32>("newcomer"); // -1: none
        // The stopped process: PID 500 started at 7000, TCP 8080.
        QTest::newRow("port free") << PortEntryList{row(600, "node", 8081, 1)} << -1;
        QTest::newRow("still the stopped process")
            << PortEntryList{row(500, "node", 8080, 7000)} << -1;
        QTest::newRow("same pid, start time unknown")
            << PortEntryList{row(500, "node", 8080, 0)} << -1;
        QTest::newRow("same pid, another start: a new process")
            << PortEntryList{row(500, "node", 8080, 7100)} << 500;
        QTest::newRow("another pid") << PortEntryList{row(612, "node", 8080, 7100)} << 612;
        QTest::newRow("same port, other protocol")
            << PortEntryList{row(612, "node", 8080, 7100, "UDP")} << -1;
        QTest::newRow("a row with a pid before one without")
            << PortEntryList{row(0, {}, 8080), row(612, "node", 8080, 7100)} << 612;
        QTest::newRow("only the kernel's row without a pid")
            << PortEntryList{row(0, {}, 8080)} << 0;
    }
    void takenAgain() {
        QFETCH(PortEntryList, now);
        QFETCH(qint32, newcomer);
        const StoppedProcess stopped = StoppedProcess::from(row(500, "node", 8080, 7000));
        const std::optional<PortEntry> found = ::takenAgain(stopped, now);
        QCOMPARE(found ? found->pid : -1, newcomer);
    }

    void texts_data() {
        QTest::addColumn<PortEntry>("holder");
        QTest::addColumn<QString>("taken");
        QTest::addColumn<Keeper>("keeper");
        QTest::addColumn<QString>("sentence");
        PortEntry kernelRow = row(0, {}, 8080);
        kernelRow.user = "root";
        kernelRow.process.unit = "demo.service";
        PortEntry nobody = row(0, {}, 8080);
        nobody.user.clear();
        const QString by = "Port 8080 was taken again by %1 right after PID 500 stopped.";
        QTest::newRow("service with its Restart=")
            << row(612, "node", 8080) << by.arg("PID 612 (node)")
            << service("demo.service", "always")
            << "It is kept by the service demo.service (Restart=always).";
        QTest::newRow("service, Restart= unread")
            << row(612, "node", 8080) << by.arg("PID 612 (node)") << service("demo.service", {})
            << "It is kept by the service demo.service.";
        QTest::newRow("container with its policy")
            << kernelRow << by.arg("a process of root (demo.service)")
            << container("0123456789abcdef", "web-1", "always")
            << "It is kept by the container web-1 (restart policy always).";
        QTest::newRow("container without a name: its short id")
            << nobody << by.arg("another process") << container("0123456789abcdef", {})
            << "It is kept by the container 0123456789ab.";
        QTest::newRow("parent") << row(612, "node", 8080) << by.arg("PID 612 (node)")
                                << byParent(812, "bash", 1)
                                << "It was started again by PID 812 (bash).";
        QTest::newRow("nobody in particular")
            << row(612, "node", 8080) << by.arg("PID 612 (node)") << Keeper() << QString();
    }
    void texts() {
        QFETCH(PortEntry, holder);
        QFETCH(QString, taken);
        QFETCH(Keeper, keeper);
        QFETCH(QString, sentence);
        QCOMPARE(takenAgainText(StoppedProcess::from(row(500, "node", 8080, 7000)), holder), taken);
        QCOMPARE(keeperSentence(keeper), sentence);
    }

    // Whether the newcomer's parent is the one that started the stopped
    // process: only then was it started again.
    void sentenceKnowingTheStoppedParent_data() {
        QTest::addColumn<Keeper>("keeper");
        QTest::addColumn<Keeper>("stoppedParent");
        QTest::addColumn<QString>("sentence");
        QTest::newRow("same parent") << byParent(611, "sh", 6000) << byParent(611, "sh", 6000)
                                     << "It was started again by PID 611 (sh).";
        QTest::newRow("another parent") << byParent(900, "bash", 6500) << byParent(611, "sh", 6000)
                                        << "It was started by PID 900 (bash).";
        QTest::newRow("the parent's pid reused")
            << byParent(611, "sh", 6900) << byParent(611, "sh", 6000)
            << "It was started by PID 611 (sh).";
        QTest::newRow("the stopped one had no parent in particular")
            << byParent(611, "sh", 6000) << Keeper() << "It was started by PID 611 (sh).";
        QTest::newRow("a unit keeps it whatever the parent")
            << service("demo.service", "always") << byParent(611, "sh", 6000)
            << "It is kept by the service demo.service (Restart=always).";
    }
    void sentenceKnowingTheStoppedParent() {
        QFETCH(Keeper, keeper);
        QFETCH(Keeper, stoppedParent);
        QFETCH(QString, sentence);
        QCOMPARE(keeperSentence(keeper, stoppedParent), sentence);
    }

    // The holder is PID 612 (start 7100) unless the row says otherwise.
    void keeperOfNewHolder_data() {
        QTest::addColumn<QList<Proc>>("procs");
        QTest::addColumn<PortEntry>("holder");
        QTest::addColumn<Keeper>("keeper");
        const PortEntry plain = row(612, "node", 8080, 7100);
        PortEntry inUnit = plain;
        inUnit.process.unit = "demo.service";
        PortEntry inUserUnit = plain;
        inUserUnit.process.unit = "api.service";
        inUserUnit.process.userUnit = true;
        inUserUnit.process.userManagerUid = qint64(::getuid());
        PortEntry inOthersUserUnit = inUserUnit;
        inOthersUserUnit.process.userManagerUid = qint64(::getuid()) + 1;
        PortEntry inScope = plain;
        inScope.process.unit = "session-2.scope";
        PortEntry annotated = inUnit;
        annotated.keeper = service("demo.service", "on-failure");
        PortEntry inContainer = plain;
        inContainer.process.container = "0123456789abcdef";
        inContainer.containerName = "web-1";
        const QList<Proc> shellLoop{{612, "node", 611, 7100}, {611, "bash", 400, 6000}};
        const QList<Proc> fromInit{{612, "node", 1, 7100}, {1, "systemd", 0, 1}};

        QTest::newRow("the row's own keeper comes first")
            << shellLoop << annotated << service("demo.service", "on-failure");
        QTest::newRow("container from the row's cgroup")
            << shellLoop << inContainer << container("0123456789abcdef", "web-1");
        QTest::newRow("shell loop: its parent")
            << shellLoop << plain << byParent(611, "bash", 6000);
        QTest::newRow("parent whose name has spaces and parentheses")
            << QList<Proc>{{612, "node", 611, 7100}, {611, "pm2 v5: God (x)", 1, 6000}} << plain
            << byParent(611, "pm2 v5: God (x)", 6000);
        QTest::newRow("started by pid 1 in a unit: the unit")
            << fromInit << inUnit << service("demo.service", {});
        QTest::newRow("started by the user's manager: the user unit")
            << QList<Proc>{{612, "node", 900, 7100}, {900, "systemd", 1, 50}} << inUserUnit
            << service("api.service", {}, true);
        QTest::newRow("in another user's user unit: nobody, never this user's namesake")
            << fromInit << inOthersUserUnit << Keeper();
        QTest::newRow("started by pid 1 in a scope: nobody") << fromInit << inScope << Keeper();
        QTest::newRow("adopted by a container shim: nobody")
            << QList<Proc>{{612, "node", 700, 7100}, {700, "containerd-shim", 1, 50}} << plain
            << Keeper();
        QTest::newRow("holder gone, its pid reused: the unit only")
            << QList<Proc>{{612, "node", 611, 9999}, {611, "bash", 400, 6000}} << inUnit
            << service("demo.service", {});
        QTest::newRow("parent unreadable")
            << QList<Proc>{{612, "node", 611, 7100}} << plain << Keeper();
        // The engine's own unit, and a user's whole service manager, are no
        // keepers of one port.
        for (const char *unit : {"docker.service", "user@1000.service"}) {
            PortEntry row = plain;
            row.process.unit = unit;
            QTest::newRow(qPrintable(QString("in %1: nobody").arg(unit)))
                << fromInit << row << Keeper();
        }
        PortEntry kernelRow = inUnit;
        kernelRow.pid = 0;
        QTest::newRow("kernel row without a pid: the unit")
            << shellLoop << kernelRow << service("demo.service", {});
    }
    void keeperOfNewHolder() {
        QFETCH(QList<Proc>, procs);
        QFETCH(PortEntry, holder);
        QFETCH(Keeper, keeper);
        QTemporaryDir root;
        for (const Proc &p : procs) {
            QVERIFY(QDir(root.path()).mkpath(QString::number(p.pid)));
            QFile stat(root.filePath(QString("%1/stat").arg(p.pid)));
            QVERIFY(stat.open(QIODevice::WriteOnly));
            stat.write(statLine(p.pid, p.comm, p.ppid, p.start));
        }
        QCOMPARE(::keeperOfNewHolder(holder, StatReader(QFile::encodeName(root.path()))), keeper);
    }

    // The real /proc: the shell that this test starts is the parent of the
    // child it starts in turn.
    void realParent() {
        QProcess shell;
        // The shell ends its sleep itself once its input closes.
        shell.start("/bin/sh", {"-c", "sleep 30 & echo $!; read x; kill $!"});
        QVERIFY(shell.waitForReadyRead(10000));
        const qint32 child = shell.readLine().trimmed().toInt();
        const StatReading stat = StatReader().read(child);
        QVERIFY(stat.stat);
        const Keeper keeper = parentKeeper(child, stat.stat->startTicks);
        QCOMPARE(keeper.kind, Keeper::Kind::Parent);
        QCOMPARE(keeper.parentPid, qint32(shell.processId()));
        QCOMPARE(keeper.parentName, "sh");
        QCOMPARE(parentKeeper(child, stat.stat->startTicks + 1).kind, Keeper::Kind::None);
        shell.closeWriteChannel();
        QVERIFY(shell.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestRespawn)
#include "tst_respawn.moc"
