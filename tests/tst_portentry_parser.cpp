// The record, the lsof field-output parser with the merge step, and the filter rule.
#include "EntryText.h"
#include "model/PortFilter.h"
#include "scanner/FieldOutputParser.h"

#include <QMetaProperty>
#include <QTest>
#include <limits>

Q_DECLARE_METATYPE(PortEntry::Key)

class TestPortEntryParser : public QObject {
    Q_OBJECT

private slots:
    void identity_data() {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<bool>("inId");
        for (const char *f : {"pid", "networkProtocol", "port"})
            QTest::addRow("%s changes the id", f) << QByteArray(f) << true;
        for (const char *f : {"processName", "user", "ipVersion", "address", "state"})
            QTest::addRow("%s keeps the id", f) << QByteArray(f) << false;
    }
    void identity() {
        QFETCH(QByteArray, field);
        QFETCH(bool, inId);
        const PortEntry a(412, "server", "admin", "TCP", "IPv4/IPv6", "*", 631, "LISTEN");
        PortEntry b = a;
        QCOMPARE(a.id(), QStringLiteral("412-TCP-631"));
        QVERIFY(a == b && !(a != b) && qHash(a, 7) == qHash(b, 7));
        const QMetaProperty p = PortEntry::staticMetaObject.property(
            PortEntry::staticMetaObject.indexOfProperty(field));
        QVERIFY(p.writeOnGadget(&b, p.readOnGadget(&a).toString() + u'1'));
        QVERIFY(a != b && !(a == b));
        QCOMPARE(a.id() != b.id(), inId);
    }

    // Row keys are equal exactly when their texts (the ids) are, and then hash
    // alike: the merge and the list model rely on that for unique ids.
    void key_data() {
        QTest::addColumn<PortEntry::Key>("a");
        QTest::addColumn<PortEntry::Key>("b");
        QTest::addColumn<bool>("equal");
        using K = PortEntry::Key;
        constexpr qint64 min = std::numeric_limits<qint64>::min();
        QTest::newRow("same parts") << K{412, u"TCP", 631} << K{412, u"TCP", 631} << true;
        QTest::newRow("pid differs") << K{412, u"TCP", 631} << K{-412, u"TCP", 631} << false;
        QTest::newRow("port's sign differs")
            << K{412, u"TCP", 631} << K{412, u"TCP", -631} << false;
        QTest::newRow("A- 12 and A -12 read 5-A--12") << K{5, u"A-", 12} << K{5, u"A", -12} << true;
        QTest::newRow("- 2 and empty -2 read 1---2") << K{1, u"-", 2} << K{1, u"", -2} << true;
        QTest::newRow("A- 12 and A -13") << K{5, u"A-", 12} << K{5, u"A", -13} << false;
        QTest::newRow("B- 12 and A -12") << K{5, u"B-", 12} << K{5, u"A", -12} << false;
        QTest::newRow("lowest port") << K{5, u"A", min} << K{5, u"A", min} << true;
        QTest::newRow("lowest port and A- highest")
            << K{5, u"A", min} << K{5, u"A-", std::numeric_limits<qint64>::max()} << false;
    }
    void key() {
        QFETCH(PortEntry::Key, a);
        QFETCH(PortEntry::Key, b);
        QFETCH(bool, equal);
        QCOMPARE(a.text() == b.text(), equal); // the row's premise
        QCOMPARE(a == b, equal);
        QCOMPARE(b == a, equal);
        QCOMPARE(a != b, !equal);
        if (equal)
            QCOMPARE(qHash(a, 7), qHash(b, 7));
        const PortEntry e(a.pid, "x", "u", a.networkProtocol.toString(), "IPv4", "*", a.port, "");
        QCOMPARE(e.key(), a);
        QCOMPARE(e.id(), a.text());
    }

    // Each row is field output as lsof prints it, parsed with UDP as the default
    // protocol and merged.
    void parseAndMerge_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("file sets without a name or port give nothing and leave nothing behind")
            << "p1\ncsshd\nf3\ntIPv4\nPTCP\nTST=LISTEN\nf4\ntIPv6\nn*:22\nf5\nn*:*\n"
               "f6\nnlocalhost\nf7\nn*:http\np2\nn*:81"
            << QStringList{"1|sshd||UDP|IPv6|*|22|"};
        QTest::newRow("command and user inherited across process sets")
            << "p1\ncone\nLroot\nf1\nn*:1\np2\nf2\nn*:2\np3\ncthree\nf3\nn*:3"
            << QStringList{"1|one|root|UDP||*|1|", "2|one|root|UDP||*|2|",
                           "3|three|root|UDP||*|3|"};
        QTest::newRow("unreadable pids (overflow, letters, empty) are 0; the limit is read")
            << "p2147483648\ncx\nf1\nn*:1\np12a\nf2\nn*:2\np\nf3\nn*:3\np-2147483648\nf4\nn*:4"
            << QStringList{"0|x||UDP||*|1|", "0|x||UDP||*|2|", "0|x||UDP||*|3|",
                           "-2147483648|x||UDP||*|4|"};
        QTest::newRow("connected sockets (->) by their local end; addresses as printed")
            << "p5\nf1\ntIPv4\nn10.0.0.2:53->10.0.0.1:53\nf2\nnlocal->10.0.0.1:67\n"
               "f3\ntIPv6\nn[fe80::1%eth0]:5353\nf4\nnfe80::1:22"
            << QStringList{"5|||UDP||fe80::1|22|", "5|||UDP|IPv4|10.0.0.2|53|",
                           "5|||UDP|IPv6|[fe80::1%eth0]|5353|"};
        QTest::newRow("state only from ST= lines")
            << "p5\nf1\nn*:1\nTQR=0\nTST=LISTEN\nTQS=0\nf2\nn*:2\nTst=LISTEN\nTSTATE=x\nTQS=0\n"
               "f3\nn*:3\nTST="
            << QStringList{"5|||UDP||*|1|LISTEN", "5|||UDP||*|2|", "5|||UDP||*|3|"};
        QTest::newRow("defaultProtocol when P is missing or empty")
            << "p5\nf1\nn*:1\nf2\nP\nn*:2\nf3\nPTCP\nn*:3"
            << QStringList{"5|||UDP||*|1|", "5|||UDP||*|2|", "5|||TCP||*|3|"};
        QTest::newRow("merge order: port as a number, then protocol, ties as first seen")
            << "p2\nf1\nPTCP\nn*:8080\np1\nf1\nPUDP\nn*:8080\nf2\nPTCP\nn*:53\nf3\nPTCP\n"
               "n*:8080\nf4\nPUDP\nn*:53\nf5\nn*:443"
            << QStringList{"1|||TCP||*|53|",   "1|||UDP||*|53|",   "1|||UDP||*|443|",
                           "2|||TCP||*|8080|", "1|||TCP||*|8080|", "1|||UDP||*|8080|"};
        QTest::newRow("merge folding: IPv4/IPv6, a * wins, else the first address, name, state")
            << "p1\ncd\nLu\nf1\ntIPv4\nn127.0.0.1:1\nTST=LISTEN\nf2\ntIPv6\nn*:1\n"
               "f3\ntIPv6\nn[::1]:2\nf4\ntIPv4\nn127.0.0.1:2\nTST=LISTEN\nf5\ntIPv6\nn[::2]:2\n"
               "f6\ntIPv4\nn*:3\nTST=LISTEN\nf7\ntIPv4\nn10.0.0.1:3\nTST=CLOSE_WAIT\n"
               "p1\ncother\nLbob\nf8\ntIPv4\nn127.0.0.1:3"
            << QStringList{"1|d|u|UDP|IPv4/IPv6|*|1|LISTEN", "1|d|u|UDP|IPv4/IPv6|[::1]|2|LISTEN",
                           "1|d|u|UDP|IPv4|*|3|LISTEN"};
        // Protocol "A-" with port 12 and "A" with -12 both give the id "5-A--12":
        // one row, so that ids stay unique.
        QTest::newRow("ids equal as text fold (protocol with a dash)")
            << "p5\nf1\nPA-\ntIPv4\nn*:12\nf2\nPA\ntIPv6\nn*:-12"
            << QStringList{"5|||A-|IPv4/IPv6|*|12|"};
    }
    void parseAndMerge() {
        QFETCH(QString, output);
        QFETCH(QStringList, expected);
        QCOMPARE(entriesText(mergeEntries(parseFieldOutput(output, QStringLiteral("UDP")))),
                 expected.join(u'\n'));
    }

    // A row of another user's socket (fromKernel) is also found by its unit.
    void filter_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<bool>("fromKernel");
        const auto row = [](const char *tag, QString name, int port, QString query, bool matches,
                            QString unit = {}, bool fromKernel = false) {
            QTest::newRow(tag) << name << port << query << matches << unit << fromKernel;
        };
        row("blank query matches all", "x", 1, " \t\u3000", true);
        row("80 in port 8080", "java", 8080, "80", true);
        row("80 in a name", "dnsmasq80", 53, "80", true);
        row("80 not in port 8", "socks", 8, "80", false);
        row("trimmed, case-insensitive", "sshd", 22, "\t SSH ", true);
        row("inner space kept", "Web Content", 1, "web content", true);
        row("tcp does not match the protocol", "sshd", 22, "tcp", false);
        row("non-ASCII case", "ΑΘΗΝΑ", 1, "αθην", true);
        row("decomposed query, precomposed name", "Café", 1, "cafe\u0301", true);
        row("precomposed query, decomposed name", "CAFE\u0301", 1, "café", true);
        row("another user's port by its unit", "", 5432, "Postgres", true, "postgresql.service",
            true);
    }
    void filter() {
        QFETCH(QString, name);
        QFETCH(int, port);
        QFETCH(QString, query);
        QFETCH(bool, matches);
        QFETCH(QString, unit);
        QFETCH(bool, fromKernel);
        PortEntry e(1, name, "root", "TCP", "IPv4", "*", port, "LISTEN");
        e.process.unit = unit;
        e.fromKernel = fromKernel;
        QCOMPARE(PortFilter(query).matches(e), matches);
    }
};

QTEST_GUILESS_MAIN(TestPortEntryParser)
#include "tst_portentry_parser.moc"
