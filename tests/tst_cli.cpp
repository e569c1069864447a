// quayline-cli end to end: the built binary run with a stub lsof.
#include "StubLsof.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <memory>

namespace {

// "fête" (decomposed) checks that names leave as UTF-8; "Web Content" that the last
// column may hold spaces.
const QByteArray tcpOutput = "p101\ncsshd\nLroot\nf3\ntIPv4\nPTCP\nn*:22\nTST=LISTEN\n"
                             "f4\ntIPv6\nPTCP\nn*:22\nTST=LISTEN\np202\ncWeb Content\nLalice\n"
                             "f7\ntIPv4\nPTCP\nn127.0.0.1:8080\nTST=LISTEN\n"
                             "p303\ncfe\xcc\x82te\nLbob\nf5\ntIPv6\nn[::1]:1080\nTST=LISTEN\n";
const QByteArray udpOutput = "p505\ncdnsmasq80\nLnobody\nf4\ntIPv4\nPUDP\nn127.0.0.1:53\n";
// The table expected for them, in the scan's order.
const QList<QStringList> table{
    {"PORT", "PROTO", "ADDRESS", "PID", "USER", "IP", "STATE", "PROCESS"},
    {"22", "TCP", "*", "101", "root", "IPv4/IPv6", "LISTEN", "sshd"},
    {"53", "UDP", "127.0.0.1", "505", "nobody", "IPv4", "", "dnsmasq80"},
    {"1080", "TCP", "[::1]", "303", "bob", "IPv6", "LISTEN", "fe\u0302te"},
    {"8080", "TCP", "127.0.0.1", "202", "alice", "IPv4", "LISTEN", "Web Content"}};

std::unique_ptr<QProcess> run(const QStringList &arguments) {
    auto process = std::make_unique<QProcess>();
    process->start(qEnvironmentVariable("QUAYLINE_CLI"), arguments);
    process->waitForFinished(60000);
    return process;
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
    StubLsof stub{"cat \"$dir/$run.out\"\n"};

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(qEnvironmentVariable("QUAYLINE_CLI")), "QUAYLINE_CLI: quayline-cli");
        QVERIFY(stub.write("tcp.out", tcpOutput) && stub.write("udp.out", udpOutput));
    }

    void tableWithFilter() {
        const auto p = run({"--lsof", stub.path(), "80"}); // ports and names containing 80
        QCOMPARE(p->readAllStandardError(), QByteArray());
        QCOMPARE(p->exitCode(), 0);
        // Cut at the headings' starts, leaving out the character before each; a field
        // that reaches the next column therefore shows up cut short.
        const QStringList lines =
            QString::fromUtf8(p->readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QList<qsizetype> at;
        for (const QString &heading : table[0])
            at.append(lines.value(0).indexOf(heading));
        QList<QStringList> cells;
        for (const QString &line : lines) {
            QStringList &row = cells.emplaceBack();
            for (qsizetype c = 0; c < at.size(); ++c)
                row.append(line.mid(at[c], at.value(c + 1, line.size() + 1) - at[c] - 1).trimmed());
        }
        QCOMPARE(cells, QList<QStringList>({table[0], table[2], table[3], table[4]}));
    }

    void json() {
        const auto p = run({"--json", "--lsof", stub.path()});
        QCOMPARE(p->readAllStandardError(), QByteArray());
        QCOMPARE(p->exitCode(), 0);
        // Exactly these keys; pid and port as numbers.
        const QStringList keys{"port", "networkProtocol", "address", "pid",
                               "user", "ipVersion",       "state",   "processName"};
        QJsonArray expected;
        for (const QStringList &f : table.sliced(1)) {
            QJsonObject o{{"id", f[3] + u'-' + f[1] + u'-' + f[0]}};
            for (qsizetype c = 0; c < keys.size(); ++c)
                o[keys[c]] = c == 0 || c == 3 ? QJsonValue(f[c].toInt()) : QJsonValue(f[c]);
            for (const char *key : {"container", "cwd", "startedAt", "unit"})
                o[key] = "";
            o["commandLine"] = QJsonArray();
            expected.append(o);
        }
        QCOMPARE(QJsonDocument::fromJson(p->readAllStandardOutput()).toJson(QJsonDocument::Compact),
                 QJsonDocument(expected).toJson(QJsonDocument::Compact));
    }

    // A stub comes first, so that a refused run that still scanned would show.
    void exits_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("text"); // on stdout for status 0, else on stderr
        QTest::newRow("lsof missing: error text, status 1")
            << QStringList{"--lsof", "/nonexistent/lsof"} << 1
            << QByteArray("Could not find lsof at /nonexistent/lsof.\n");
        QTest::newRow("--help") << QStringList{"--help"} << 0
                                << QByteArray("Usage: quayline-cli [--json] [--wide] [--lsof PATH]");
        const QByteArray usage = "\n\nUsage: quayline-cli [--json]";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << usage;
        QTest::newRow("--lsof without value") << QStringList{"--lsof"} << 2 << usage;
        QTest::newRow("two filters") << QStringList{"ssh", "cups"} << 2 << usage;
    }
    void exits() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, text);
        const StubLsof fresh("cat /dev/null\n");
        const auto p = run(QStringList{"--lsof", fresh.path()} + arguments);
        const QByteArray out = p->readAllStandardOutput(), err = p->readAllStandardError();
        QCOMPARE(p->exitCode(), exitCode);
        QCOMPARE((exitCode ? out : err), QByteArray());
        QVERIFY2((exitCode ? err : out).contains(text), exitCode ? err : out);
        QVERIFY(fresh.read("tcp.args").isEmpty() && fresh.read("udp.args").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
