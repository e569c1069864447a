// quayline-cli stop, end to end, against a stand-in lsof that lists only the
// child this test started, and only while it is still that same process (pid
// and start time), so the command can never reach anything else.
#include "ListeningChild.h"
#include "viewmodel/SignalProcess.h"

#include <QTemporaryDir>
#include <QTest>

namespace {

// The stub lists pid as a TCP listener on port, owned by the user running the
// test, while /proc/PID/stat still shows the start time it has now; with vanish
// it deletes itself after its first TCP run. Each run leaves a file behind.
QString writeStub(const QTemporaryDir &dir, qint32 pid = 0, int port = 0, bool vanish = false) {
    QFile stat(QString("/proc/%1/stat").arg(pid)), stub(dir.filePath("lsof"));
    const QString start =
        stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ').value(21) : "-";
    const QByteArray script =
        QString("#!/bin/sh\n: >\"$0.ran\"\ncase \" $* \" in *' -iTCP '*) ;; *) exit 0 ;; esac\n"
                "set -- $(cut -d' ' -f3,22 /proc/%1/stat 2>/dev/null)\n"
                "[ \"$1\" != Z ] && [ \"$2\" = '%2' ] && printf 'p%1\\ncperl\\nL%3\\nf3\\n"
                "tIPv4\\nPTCP\\nn127.0.0.1:%4\\nTST=LISTEN\\n'\n%5\n")
            .arg(QString::number(pid), start, currentLoginName(), QString::number(port),
                 QString(vanish ? "rm -f \"$0\"" : "exit 0"))
            .toUtf8();
    const bool ok = (!pid || start != "-") && stub.open(QIODevice::WriteOnly) &&
                    stub.write(script) == script.size() &&
                    stub.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    return ok ? stub.fileName() : QString();
}

// Exit code, standard output and standard error.
std::tuple<int, QString, QString> runCli(const QStringList &arguments) {
    QProcess cli;
    cli.start(qEnvironmentVariable("QUAYLINE_CLI"), arguments);
    const bool ran = cli.waitForFinished(60000) && cli.exitStatus() == QProcess::NormalExit;
    return {ran ? cli.exitCode() : -1, cli.readAllStandardOutput(), cli.readAllStandardError()};
}

struct StopCase {
    bool ignoresTerm, lsofVanishes;
    QStringList options;
    int exitCode;
    QString out, err; // %1: the child's pid, %2: the stub
    int endedBy;      // the signal that ended the child, 0: still running
};

} // namespace

Q_DECLARE_METATYPE(StopCase)

class TestCliStop : public QObject {
    Q_OBJECT

private slots:
    // The child is stopped through port 1 too, which nobody lists: no failure.
    void stopsOneProcess_data() {
        const QString nothing = "Nothing is listening on port 1\n";
        QTest::addColumn<StopCase>("c");
        QTest::newRow("exits on SIGTERM")
            << StopCase(false, false, {}, 0, nothing + "PID %1 (perl) stopped.\n", {}, SIGTERM);
        QTest::newRow("ignores SIGTERM")
            << StopCase(true, false, {"--timeout", "0.5"}, 1, nothing,
                        "PID %1 (perl) is still running.\n"
                        "--force sends SIGKILL to processes still running.\n",
                        0);
        QTest::newRow("ignores SIGTERM, --force")
            << StopCase(true, false, {"--force", "--timeout", "0.5"}, 0,
                        nothing + "PID %1 (perl) did not exit after SIGTERM; sent SIGKILL.\n"
                                  "PID %1 (perl) stopped.\n",
                        {}, SIGKILL);
        // Nothing confirms then that the process exited: no success.
        QTest::newRow("lsof gone after the first scan")
            << StopCase(false, true, {}, 1, nothing,
                        "Could not find lsof at %2.\n"
                        "PID %1 (perl): sent SIGTERM, but could not check whether it exited.\n",
                        SIGTERM);
    }
    void stopsOneProcess() {
        QFETCH(StopCase, c);
        ListeningChild child(c.ignoresTerm ? ListeningChild::OnTerm::Ignore
                                           : ListeningChild::OnTerm::Exit);
        QTemporaryDir dir;
        const QString stub = writeStub(dir, child.pid, child.port, c.lsofVanishes);
        QVERIFY(child.port > 0 && !stub.isEmpty());
        const auto [code, out, err] = runCli(QStringList{"stop", "--lsof", stub} + c.options +
                                             QStringList{"1", QString::number(child.port)});
        QCOMPARE(err, c.err.replace("%1", QString::number(child.pid)).replace("%2", stub));
        QCOMPARE(out, c.out.replace("%1", QString::number(child.pid)));
        QCOMPARE(code, c.exitCode);
        QTRY_COMPARE_WITH_TIMEOUT(child.endedBy(), c.endedBy, 10000);
    }

    void usageErrors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no port") << QStringList{};
        QTest::newRow("port 65536") << QStringList{"65536"};
        QTest::newRow("NaN timeout") << QStringList{"--timeout", "nan", "80"};
        QTest::newRow("unknown option") << QStringList{"--json", "80"};
    }
    void usageErrors() {
        QFETCH(QStringList, arguments);
        QTemporaryDir dir;
        const QString stub = writeStub(dir);
        const auto [code, stdOut, stdErr] = runCli(QStringList{"stop", "--lsof", stub} + arguments);
        QCOMPARE(code, 2);
        QVERIFY2(stdErr.contains(u"quayline-cli stop [--force]"), qPrintable(stdErr));
        QVERIFY(stdOut.isEmpty() && !QFile::exists(stub + ".ran")); // nothing scanned or signalled
    }
};

QTEST_GUILESS_MAIN(TestCliStop)
#include "tst_cli_stop.moc"
