// quayline-cli end to end: the built binary run with a stub lsof.
#include "StubLsof.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>
#include <memory>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out, err;
};

// Both runs of one scan print their share. The café row checks that names
// leave the program as UTF-8; the space in "Web Content" that the last column
// may hold spaces.
const QByteArray tcpOutput = "p101\ncsshd\nLroot\nf3\ntIPv4\nPTCP\nn*:22\nTST=LISTEN\n"
                             "f4\ntIPv6\nPTCP\nn*:22\nTST=LISTEN\n"
                             "p202\ncWeb Content\nLalice\nf7\ntIPv4\nPTCP\nn127.0.0.1:8080\n"
                             "TST=LISTEN\n"
                             "p303\ncfe\xcc\x82te\nLbob\nf5\ntIPv6\nn[::1]:1080\nTST=LISTEN\n";
const QByteArray udpOutput = "p404\ncavahi-daemon\nLavahi\nf12\ntIPv4\nPUDP\nn*:5353\n"
                             "p505\ncdnsmasq80\nLnobody\nf4\ntIPv4\nPUDP\nn127.0.0.1:53\n";

} // namespace

class TestCli : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void table();
    void json();
    void filter_data();
    void filter();
    void errors_data();
    void errors();
    void help();

private:
    Run run(const QStringList &arguments) const;

    std::unique_ptr<StubLsof> m_stub;
};

void TestCli::initTestCase() {
    QVERIFY2(QFileInfo(qEnvironmentVariable("QUAYLINE_CLI")).isExecutable(),
             "QUAYLINE_CLI must name the built quayline-cli");
    m_stub = std::make_unique<StubLsof>(StubLsof::printsOutput());
    QVERIFY(m_stub->isValid());
    QVERIFY(m_stub->writeFile(QStringLiteral("tcp.out"), tcpOutput));
    QVERIFY(m_stub->writeFile(QStringLiteral("udp.out"), udpOutput));
}

Run TestCli::run(const QStringList &arguments) const {
    QProcess process;
    process.start(qEnvironmentVariable("QUAYLINE_CLI"), arguments);
    Run result;
    if (!process.waitForFinished(60000)) {
        process.kill(); // the QProcess's own child
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestCli::table() {
    const Run r = run({QStringLiteral("--lsof"), m_stub->path()});
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);

    const QStringList lines = QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts);
    const QList<QStringList> expected{
        {"PORT", "PROTO", "ADDRESS", "PID", "USER", "IP", "STATE", "PROCESS"},
        {"22", "TCP", "*", "101", "root", "IPv4/IPv6", "LISTEN", "sshd"},
        {"53", "UDP", "127.0.0.1", "505", "nobody", "IPv4", "", "dnsmasq80"},
        {"1080", "TCP", "[::1]", "303", "bob", "IPv6", "LISTEN", QStringLiteral("fe\u0302te")},
        {"5353", "UDP", "*", "404", "avahi", "IPv4", "", "avahi-daemon"},
        {"8080", "TCP", "127.0.0.1", "202", "alice", "IPv4", "LISTEN", "Web Content"},
    };
    QCOMPARE(lines.size(), expected.size());

    // Each column starts where its header starts, and the text between two
    // column starts is that field plus padding.
    QList<qsizetype> starts;
    for (const QString &heading : expected.first())
        starts.append(lines.first().indexOf(heading));
    QVERIFY(std::is_sorted(starts.begin(), starts.end()));
    QCOMPARE(starts.first(), 0);
    for (qsizetype row = 0; row < lines.size(); ++row) {
        const QString &line = lines[row];
        for (qsizetype col = 0; col < starts.size(); ++col) {
            const qsizetype begin = starts[col];
            const qsizetype end = col + 1 < starts.size() ? starts[col + 1] : line.size();
            QVERIFY2(begin == 0 || line.at(begin - 1) == u' ',
                     qPrintable(QStringLiteral("column %1 not separated: ").arg(col) + line));
            const QString cell = line.mid(begin, end - begin);
            const QString field = expected[row][col];
            QCOMPARE(cell.left(field.size()), field);
            QVERIFY2(cell.mid(field.size()).trimmed().isEmpty(), qPrintable(line));
        }
    }
}

void TestCli::json() {
    const Run r = run({QStringLiteral("--json"), QStringLiteral("--lsof"), m_stub->path()});
    QCOMPARE(r.err, QByteArray());
    QCOMPARE(r.exitCode, 0);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QVERIFY(doc.isArray());
    const QJsonArray array = doc.array();

    const auto object = [](const char *id, int pid, const QString &name, const char *user,
                           const char *protocol, const char *ip, const char *address, int port,
                           const char *state) {
        return QJsonObject{{"id", id},
                           {"pid", pid},
                           {"processName", name},
                           {"user", user},
                           {"networkProtocol", protocol},
                           {"ipVersion", ip},
                           {"address", address},
                           {"port", port},
                           {"state", state}};
    };
    const QJsonArray expected{
        object("101-TCP-22", 101, "sshd", "root", "TCP", "IPv4/IPv6", "*", 22, "LISTEN"),
        object("505-UDP-53", 505, "dnsmasq80", "nobody", "UDP", "IPv4", "127.0.0.1", 53, ""),
        object("303-TCP-1080", 303, QStringLiteral("fe\u0302te"), "bob", "TCP", "IPv6", "[::1]",
               1080, "LISTEN"),
        object("404-UDP-5353", 404, "avahi-daemon", "avahi", "UDP", "IPv4", "*", 5353, ""),
        object("202-TCP-8080", 202, "Web Content", "alice", "TCP", "IPv4", "127.0.0.1", 8080,
               "LISTEN"),
    };
    QCOMPARE(array.size(), expected.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonObject o = array.at(i).toObject();
        QCOMPARE(o.keys(), expected.at(i).toObject().keys()); // exactly these keys
        for (auto it = o.begin(); it != o.end(); ++it) {
            const bool number = it.key() == u"pid" || it.key() == u"port";
            QVERIFY2(number ? it.value().isDouble() : it.value().isString(), qPrintable(it.key()));
        }
        QCOMPARE(o, expected.at(i).toObject());
    }
}

void TestCli::filter_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("ids");

    QTest::newRow("port and name containing 80")
        << "80" << QStringList{"505-UDP-53", "303-TCP-1080", "202-TCP-8080"};
    QTest::newRow("trimmed and case-insensitive") << "  SSH\t" << QStringList{"101-TCP-22"};
    QTest::newRow("inner space") << "web content" << QStringList{"202-TCP-8080"};
    QTest::newRow("canonically equivalent name")
        << QStringLiteral("F\u00CAte") << QStringList{"303-TCP-1080"};
    QTest::newRow("protocol is not matched") << "udp" << QStringList{};
    QTest::newRow("blank keeps all")
        << " "
        << QStringList{"101-TCP-22", "505-UDP-53", "303-TCP-1080", "404-UDP-5353", "202-TCP-8080"};
}

void TestCli::filter() {
    QFETCH(QString, filter);
    QFETCH(QStringList, ids);
    const Run r = run({QStringLiteral("--lsof"), m_stub->path(), QStringLiteral("--json"), filter});
    QCOMPARE(r.exitCode, 0);
    QStringList actual;
    const QJsonArray array = QJsonDocument::fromJson(r.out).array();
    for (const QJsonValue &v : array)
        actual.append(v.toObject().value(QStringLiteral("id")).toString());
    QCOMPARE(actual, ids);
}

void TestCli::errors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("errorContains");

    QTest::newRow("lsof missing") << QStringList{"--lsof", "/nonexistent/lsof"} << 1
                                  << QByteArray("Could not find lsof at /nonexistent/lsof.\n");
    QTest::newRow("lsof missing, JSON")
        << QStringList{"--json", "--lsof", "/nonexistent/lsof"} << 1
        << QByteArray("Could not find lsof at /nonexistent/lsof.\n");
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 2 << QByteArray("Usage: quayline-cli");
    QTest::newRow("--lsof without value")
        << QStringList{"--lsof"} << 2 << QByteArray("Usage: quayline-cli");
    QTest::newRow("two filters") << QStringList{"ssh", "cups"} << 2
                                 << QByteArray("Usage: quayline-cli");
}

void TestCli::errors() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, errorContains);
    // The stub comes first so that a usage error that still scanned would show.
    QFile::remove(m_stub->filePath(QStringLiteral("tcp.args")));
    QFile::remove(m_stub->filePath(QStringLiteral("udp.args")));
    const Run r = run(QStringList{"--lsof", m_stub->path()} + arguments);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.out, QByteArray());
    if (exitCode == 1)
        QCOMPARE(r.err, errorContains);
    else
        QVERIFY2(r.err.contains(errorContains), r.err.constData());
    QVERIFY(!m_stub->exists(QStringLiteral("tcp.args")));
    QVERIFY(!m_stub->exists(QStringLiteral("udp.args")));
}

void TestCli::help() {
    const Run r = run({QStringLiteral("--help")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QByteArray());
    QVERIFY(r.out.startsWith("Usage: quayline-cli [--json] [--lsof PATH] [FILTER]\n"));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
