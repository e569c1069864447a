// quayline-cli stop, end to end: the command runs against a stand-in lsof that
// lists only child processes this test started, and only while each is still
// that same process (pid and start time), so the command can never be pointed
// at anything else on the machine.
#include "ListeningChild.h"
#include "viewmodel/SignalProcess.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Field 22 of /proc/PID/stat: the start time, which tells a process apart from
// a later one that got the same pid.
QByteArray startTime(qint32 pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? fields[19] : QByteArray();
}

struct Listing {
    qint32 pid;
    qint64 port;
    QString user;
    QString protocol = QStringLiteral("TCP");
};

class StopStub {
public:
    StopStub() {
        const QByteArray script =
            "#!/bin/sh\n"
            "dir='" +
            QFile::encodeName(m_dir.path()) +
            "'\n"
            ": >\"$dir/ran\"\n"
            "case \" $* \" in\n"
            "*' -iTCP '*) proto=TCP ;;\n"
            "*' -iUDP '*) proto=UDP ;;\n"
            "*) exit 0 ;;\n"
            "esac\n"
            "while read -r pid start port user p; do\n"
            "  [ \"$p\" = \"$proto\" ] || continue\n"
            "  stat=$(cat \"/proc/$pid/stat\" 2>/dev/null) || continue\n"
            "  rest=${stat##*) }\n"
            "  set -- $rest\n"
            "  case \"$1\" in Z|X) continue ;; esac\n"
            "  [ \"${20}\" = \"$start\" ] || continue\n"
            "  printf 'p%s\\ncperl\\nL%s\\nf3\\ntIPv4\\nP%s\\nn127.0.0.1:%s\\n' \"$pid\" \"$user\" "
            "\"$proto\" \"$port\"\n"
            "  [ \"$proto\" = TCP ] && printf 'TST=LISTEN\\n'\n"
            "done <\"$dir/targets\"\n"
            "[ $proto = TCP ] && [ -e \"$dir/vanish\" ] && rm -f \"$0\"\n"
            "exit 0\n";
        m_valid =
            m_dir.isValid() && write(QStringLiteral("lsof"), script) &&
            QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
            list({});
    }

    bool isValid() const { return m_valid; }
    QString path() const { return m_dir.filePath(QStringLiteral("lsof")); }
    bool ran() const { return QFile::exists(m_dir.filePath(QStringLiteral("ran"))); }
    // The stub deletes itself once its next TCP run has answered.
    bool vanishAfterNextRun() const { return write(QStringLiteral("vanish"), {}); }

    bool list(const QList<Listing> &listings) const {
        QByteArray text;
        for (const Listing &l : listings) {
            const QByteArray start = startTime(l.pid);
            if (start.isEmpty())
                return false;
            text += QByteArray::number(l.pid) + ' ' + start + ' ' + QByteArray::number(l.port) +
                    ' ' + l.user.toUtf8() + ' ' + l.protocol.toLatin1() + '\n';
        }
        return write(QStringLiteral("targets"), text);
    }

private:
    bool write(const QString &name, const QByteArray &content) const {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(content) == content.size();
    }

    QTemporaryDir m_dir;
    bool m_valid = false;
};

struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

CliRun runCli(const QStringList &arguments) {
    CliRun run;
    const QString program = qEnvironmentVariable("QUAYLINE_CLI");
    if (program.isEmpty())
        return run;
    QProcess cli;
    cli.start(program, arguments);
    if (!cli.waitForFinished(60000) || cli.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = cli.exitCode();
    run.out = QString::fromUtf8(cli.readAllStandardOutput());
    run.err = QString::fromUtf8(cli.readAllStandardError());
    return run;
}

} // namespace

class TestCliStop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void stopsOneProcess_data();
    void stopsOneProcess();
    void onePidOnSeveralPortsIsSignalledOnce();
    void someStopSomeStay();
    void lsofVanishingIsNoSuccess();
    void nothingListening();
    void usageErrors_data();
    void usageErrors();
    void missingLsof();
    void helpAndFilterNamedStop();

private:
    QString m_me;
};

void TestCliStop::initTestCase() {
    if (qEnvironmentVariable("QUAYLINE_CLI").isEmpty())
        QSKIP("QUAYLINE_CLI is not set (run through ctest)");
    if (!ListeningChild::available())
        QSKIP("needs /usr/bin/perl");
    m_me = currentLoginName();
}

void TestCliStop::stopsOneProcess_data() {
    QTest::addColumn<bool>("ignoresTerm");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("owner"); // "<me>": the user running the test
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // %1: the child's pid
    QTest::addColumn<QString>("err");
    QTest::addColumn<int>("endedBy"); // the signal that ended the child; 0: still running
    QTest::addColumn<int>("terms");   // SIGTERMs the child saw (when it survives them)

    const QString me = QStringLiteral("<me>");
    const QString stopped = QStringLiteral("PID %1 (perl) stopped.\n");
    QTest::newRow("exits on SIGTERM")
        << false << "TCP" << me << QStringList() << 0 << stopped << QString() << SIGTERM << 0;
    QTest::newRow("UDP socket") << false << "UDP" << me << QStringList() << 0 << stopped
                                << QString() << SIGTERM << 0;
    QTest::newRow("ignores SIGTERM, no --force")
        << true << "TCP" << me << QStringList{"--timeout", "0.5"} << 1 << QString()
        << QStringLiteral("PID %1 (perl) is still running.\n"
                          "--force sends SIGKILL to processes still running.\n")
        << 0 << 1;
    QTest::newRow("ignores SIGTERM, --force")
        << true << "TCP" << me << QStringList{"--force", "--timeout", "0.5"} << 0
        << QStringLiteral("PID %1 (perl) did not exit after SIGTERM; sent SIGKILL.\n"
                          "PID %1 (perl) stopped.\n")
        << QString() << SIGKILL << 1;
    QTest::newRow("owned by somebody else")
        << true << "TCP"
        << "somebody" << QStringList{"--force"} << 1 << QString()
        << QStringLiteral("PID %1: This process is owned by \u201csomebody\u201d, not you. "
                          "Quayline only stops processes you own.\n")
        << 0 << 0;
    QTest::newRow("owner differs in letter case")
        << true << "TCP"
        << "<ME>" << QStringList{"--force"} << 1 << QString()
        << QStringLiteral("PID %1: This process is owned by \u201c<ME>\u201d, not you. "
                          "Quayline only stops processes you own.\n")
        << 0 << 0;
}

void TestCliStop::stopsOneProcess() {
    QFETCH(bool, ignoresTerm);
    QFETCH(QString, protocol);
    QFETCH(QString, owner);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, endedBy);
    QFETCH(int, terms);

    ListeningChild child(ignoresTerm ? ListeningChild::OnTerm::Ignore
                                     : ListeningChild::OnTerm::Exit);
    QVERIFY(child.isValid());
    StopStub stub;
    QVERIFY(stub.isValid());
    if (owner == u"<me>")
        owner = m_me;
    else if (owner == u"<ME>")
        owner = m_me.toUpper();
    out.replace(QStringLiteral("<ME>"), m_me.toUpper());
    err.replace(QStringLiteral("<ME>"), m_me.toUpper());
    QVERIFY(stub.list({{child.pid(), child.port(), owner, protocol}}));

    const CliRun run = runCli(QStringList{"stop", "--lsof", stub.path()} + options +
                              QStringList{QString::number(child.port())});
    const QString pid = QString::number(child.pid());
    QCOMPARE(run.err, err.replace(QStringLiteral("%1"), pid));
    QCOMPARE(run.out, out.replace(QStringLiteral("%1"), pid));
    QCOMPARE(run.exitCode, exitCode);

    if (endedBy) {
        QTRY_VERIFY_WITH_TIMEOUT(child.endedBySignal(), 10000);
        QCOMPARE(child.process().exitCode(), endedBy);
    } else {
        QCOMPARE(child.process().state(), QProcess::Running);
    }
    if (ignoresTerm)
        QTRY_COMPARE(child.termsReceived(), terms);
}

void TestCliStop::onePidOnSeveralPortsIsSignalledOnce() {
    ListeningChild child(ListeningChild::OnTerm::Ignore);
    QVERIFY(child.isValid());
    StopStub stub;
    QVERIFY(stub.isValid());
    const qint64 port = child.port();
    const qint64 other = port == 65535 ? 1 : port + 1; // listed by the stub only
    QVERIFY(stub.list({{child.pid(), port, m_me},
                       {child.pid(), port, m_me, QStringLiteral("UDP")},
                       {child.pid(), other, m_me}}));
    const qint64 free = port == 2 ? 3 : 2; // nothing lists it

    const CliRun run =
        runCli({"stop", "--force", "--timeout", "0.3", "--lsof", stub.path(), QString::number(port),
                QString::number(free), QString::number(other)});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.out, QStringLiteral("Nothing is listening on port %1\n"
                                     "PID %2 (perl) did not exit after SIGTERM; sent SIGKILL.\n"
                                     "PID %2 (perl) stopped.\n")
                          .arg(free)
                          .arg(child.pid()));
    QCOMPARE(run.exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(child.endedBySignal(), 10000);
    QCOMPARE(child.termsReceived(), 1);
}

void TestCliStop::someStopSomeStay() {
    ListeningChild leaving(ListeningChild::OnTerm::Exit);
    ListeningChild staying(ListeningChild::OnTerm::Ignore);
    QVERIFY(leaving.isValid());
    QVERIFY(staying.isValid());
    StopStub stub;
    QVERIFY(stub.isValid());
    QVERIFY(
        stub.list({{leaving.pid(), leaving.port(), m_me}, {staying.pid(), staying.port(), m_me}}));

    const CliRun run = runCli({"stop", "--timeout", "0.5", "--lsof", stub.path(),
                               QString::number(staying.port()), QString::number(leaving.port())});
    QCOMPARE(run.out, QStringLiteral("PID %1 (perl) stopped.\n").arg(leaving.pid()));
    QCOMPARE(run.err, QStringLiteral("PID %1 (perl) is still running.\n"
                                     "--force sends SIGKILL to processes still running.\n")
                          .arg(staying.pid()));
    QCOMPARE(run.exitCode, 1);
    QTRY_VERIFY_WITH_TIMEOUT(leaving.endedBySignal(), 10000);
    QCOMPARE(staying.process().state(), QProcess::Running);
}

void TestCliStop::lsofVanishingIsNoSuccess() {
    // With lsof gone after the first scan nothing confirms that the process
    // exited: an empty list must not count as "all gone".
    ListeningChild child(ListeningChild::OnTerm::Exit);
    QVERIFY(child.isValid());
    StopStub stub;
    QVERIFY(stub.isValid());
    QVERIFY(stub.list({{child.pid(), child.port(), m_me}}));
    QVERIFY(stub.vanishAfterNextRun());

    const CliRun run = runCli({"stop", "--lsof", stub.path(), QString::number(child.port())});
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err, QStringLiteral("Could not find lsof at %1.\n"
                                     "PID %2 (perl): sent SIGTERM, but could not check whether it "
                                     "exited.\n")
                          .arg(stub.path())
                          .arg(child.pid()));
    QCOMPARE(run.exitCode, 1);
    QTRY_VERIFY_WITH_TIMEOUT(child.endedBySignal(), 10000); // the SIGTERM itself went out
}

void TestCliStop::nothingListening() {
    StopStub stub;
    QVERIFY(stub.isValid());
    const CliRun run = runCli({"stop", "--lsof", stub.path(), "8080", "53", "8080"});
    QCOMPARE(run.err, QString());
    QCOMPARE(run.out, QStringLiteral(
                          "Nothing is listening on port 8080\nNothing is listening on port 53\n"));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(stub.ran());
}

void TestCliStop::usageErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no port") << QStringList{"stop"};
    QTest::newRow("word") << QStringList{"stop", "http"};
    QTest::newRow("port 0") << QStringList{"stop", "0"};
    QTest::newRow("port 65536") << QStringList{"stop", "65536"};
    QTest::newRow("signed port") << QStringList{"stop", "+80"};
    QTest::newRow("non-ASCII digits") << QStringList{"stop", QStringLiteral("\u0668\u0660")};
    QTest::newRow("timeout without value") << QStringList{"stop", "80", "--timeout"};
    QTest::newRow("negative timeout") << QStringList{"stop", "--timeout", "-1", "80"};
    QTest::newRow("NaN timeout") << QStringList{"stop", "--timeout", "nan", "80"};
    QTest::newRow("huge timeout") << QStringList{"stop", "--timeout", "1e300", "80"};
    QTest::newRow("unknown option") << QStringList{"stop", "--json", "80"};
    QTest::newRow("option after --") << QStringList{"stop", "--", "--force"};
}

void TestCliStop::usageErrors() {
    QFETCH(QStringList, arguments);
    StopStub stub;
    QVERIFY(stub.isValid());
    // The stub goes first so that a later --lsof in the row still wins.
    arguments.insert(1, QStringLiteral("--lsof"));
    arguments.insert(2, stub.path());
    const CliRun run = runCli(arguments);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.startsWith(u"quayline-cli: "), qPrintable(run.err));
    QVERIFY(run.err.contains(u"quayline-cli stop [--force]"));
    QVERIFY(!stub.ran()); // nothing scanned, nothing signalled
}

void TestCliStop::missingLsof() {
    const CliRun run = runCli({"stop", "--lsof", "/nonexistent/lsof", "80"});
    QCOMPARE(run.out, QString());
    QCOMPARE(run.err, QStringLiteral("Could not find lsof at /nonexistent/lsof.\n"));
    QCOMPARE(run.exitCode, 1);
}

void TestCliStop::helpAndFilterNamedStop() {
    CliRun run = runCli({"stop", "--help"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(
        run.out.contains(u"quayline-cli stop [--force] [--timeout SECONDS] [--lsof PATH] PORT..."));

    // After --, "stop" is a filter for the listing again.
    StopStub stub;
    QVERIFY(stub.isValid());
    run = runCli({"--lsof", stub.path(), "--", "stop"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith(u"PORT"), qPrintable(run.out));
}

QTEST_GUILESS_MAIN(TestCliStop)
#include "tst_cli_stop.moc"
