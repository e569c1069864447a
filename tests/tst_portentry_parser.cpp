// The record, the lsof field-output parser, the merge step and the filter rule:
// pure functions, checked against plain text inputs.
#include "EntryText.h"
#include "model/PortEntry.h"
#include "model/PortFilter.h"
#include "scanner/FieldOutputParser.h"

#include <QTest>
#include <algorithm>
#include <tuple>

namespace {

bool sortedByPortThenProtocol(const PortEntryList &list) {
    return std::is_sorted(list.begin(), list.end(), [](const PortEntry &a, const PortEntry &b) {
        if (a.port != b.port)
            return a.port < b.port;
        return a.networkProtocol < b.networkProtocol;
    });
}

// Field output is written with '\n' between fields, like lsof prints it.
QString lines(std::initializer_list<const char *> fields) {
    QStringList list;
    for (const char *f : fields)
        list.append(QString::fromUtf8(f));
    return list.join(u'\n');
}

} // namespace

class TestPortEntryParser : public QObject {
    Q_OBJECT

private slots:
    void identity_data();
    void identity();
    void equalityAndHash_data();
    void equalityAndHash();
    void parse_data();
    void parse();
    void splitEndpoint_data();
    void splitEndpoint();
    void merge_data();
    void merge();
    void filter_data();
    void filter();
    void filterKeepsOrder();
};

void TestPortEntryParser::identity_data() {
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("id");

    QTest::newRow("tcp") << "812|cupsd|root|TCP|IPv4|*|631|LISTEN"
                         << "812-TCP-631";
    QTest::newRow("unreadable pid is 0") << "0|x|u|UDP|IPv6|*|53|"
                                         << "0-UDP-53";
    QTest::newRow("negative numbers keep their sign") << "-7|x|u|TCP|IPv4|*|-1|"
                                                      << "-7-TCP--1";
    QTest::newRow("protocol unchanged") << "1|x|u|udp|IPv4|*|2|"
                                        << "1-udp-2";
    QTest::newRow("port beyond 16 bits") << "2147483647|x|u|TCP|IPv4|*|9876543210|"
                                         << "2147483647-TCP-9876543210";
}

void TestPortEntryParser::identity() {
    QFETCH(QString, fields);
    QFETCH(QString, id);
    const PortEntry e = entryFromText(fields);
    QCOMPARE(e.id(), id);
    QCOMPARE(portEntryId(e.pid, e.networkProtocol, e.port), id);
}

void TestPortEntryParser::equalityAndHash_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("sameId");

    const QString base = QStringLiteral("812|cupsd|root|TCP|IPv4|*|631|LISTEN");
    QTest::newRow("identical") << base << base << true;
    QTest::newRow("processName") << base << "812|cups|root|TCP|IPv4|*|631|LISTEN" << true;
    QTest::newRow("user") << base << "812|cupsd|lp|TCP|IPv4|*|631|LISTEN" << true;
    QTest::newRow("ipVersion") << base << "812|cupsd|root|TCP|IPv4/IPv6|*|631|LISTEN" << true;
    QTest::newRow("address") << base << "812|cupsd|root|TCP|IPv4|127.0.0.1|631|LISTEN" << true;
    QTest::newRow("state") << base << "812|cupsd|root|TCP|IPv4|*|631|" << true;
    QTest::newRow("pid") << base << "813|cupsd|root|TCP|IPv4|*|631|LISTEN" << false;
    QTest::newRow("protocol") << base << "812|cupsd|root|UDP|IPv4|*|631|LISTEN" << false;
    QTest::newRow("port") << base << "812|cupsd|root|TCP|IPv4|*|632|LISTEN" << false;
}

void TestPortEntryParser::equalityAndHash() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, sameId);
    const PortEntry x = entryFromText(a), y = entryFromText(b);
    const bool equal = a == b;
    QCOMPARE(x == y, equal);
    QCOMPARE(x != y, !equal);
    QCOMPARE(x.id() == y.id(), sameId);
    if (equal) {
        QCOMPARE(qHash(x), qHash(y));
        QCOMPARE(qHash(x, 42), qHash(y, 42));
    }
}

void TestPortEntryParser::parse_data() {
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("defaultProtocol");
    QTest::addColumn<QStringList>("expected");

    // What lsof prints for one server listening on the wildcard address of both
    // IP versions (no trailing line feed: the last set is flushed at the end).
    const QString workedExample =
        lines({"p412", "cserver", "Ladmin", "f23", "tIPv4", "PTCP", "n*:631", "TST=LISTEN", "TQR=0",
               "TQS=0", "f24", "tIPv6", "PTCP", "n*:631", "TST=LISTEN"});
    QTest::newRow("worked example") << workedExample << "TCP"
                                    << QStringList{"412|server|admin|TCP|IPv4|*|631|LISTEN",
                                                   "412|server|admin|TCP|IPv6|*|631|LISTEN"};

    // Sets that yield nothing.
    QTest::newRow("empty output") << ""
                                  << "TCP" << QStringList{};
    QTest::newRow("only line feeds") << "\n\n\n"
                                     << "TCP" << QStringList{};
    QTest::newRow("process set without file set")
        << lines({"p1", "csshd", "Lroot", ""}) << "TCP" << QStringList{};
    QTest::newRow("f as the last line")
        << lines({"p1", "csshd", "f3", ""}) << "TCP" << QStringList{};
    QTest::newRow("file set without name")
        << lines({"p1", "csshd", "f3", "tIPv4", "PTCP", "TST=LISTEN", "f4", "tIPv6", "n*:22"})
        << "TCP" << QStringList{"1|sshd||TCP|IPv6|*|22|"};
    QTest::newRow("name without numeric port")
        << lines({"p1", "cx", "f1", "n*:*", "f2", "nlocalhost", "f3", "n*:8o", "f4", "n*:"})
        << "UDP" << QStringList{};
    QTest::newRow("name outside any file set")
        << lines({"p1", "cx", "n*:80", "p2", "n*:81"}) << "TCP" << QStringList{};

    // What carries over from set to set and what does not.
    QTest::newRow("second file set starts empty")
        << lines({"p1", "cx", "f1", "PUDP", "tIPv6", "n[::1]:1", "TST=LISTEN", "f2", "n*:2"})
        << "TCP" << QStringList{"1|x||UDP|IPv6|[::1]|1|LISTEN", "1|x||TCP||*|2|"};
    QTest::newRow("command and user inherited by the next process set")
        << lines({"p1", "cone", "Lroot", "f1", "n*:1", "p2", "f2", "n*:2", "p3", "cthree", "f3",
                  "n*:3"})
        << "UDP"
        << QStringList{"1|one|root|UDP||*|1|", "2|one|root|UDP||*|2|", "3|three|root|UDP||*|3|"};
    QTest::newRow("p ends the pending file set")
        << lines({"p1", "cone", "Lroot", "f1", "tIPv4", "n*:1", "p2", "cdos", "Lbob", "n*:2"})
        << "TCP" << QStringList{"1|one|root|TCP|IPv4|*|1|"};
    QTest::newRow("field letters are case-sensitive, others skipped")
        << lines({"p1", "Cbad", "lbad", "f1", "F9", "NIPv9", "n*:7", "x", "?ST=LISTEN", "tST=X"})
        << "TCP" << QStringList{"1|||TCP|ST=X|*|7|"};

    // Unreadable pids become 0 and their sets still count.
    const auto pidRow = [](const char *name, const char *p, const char *pid) {
        QTest::newRow(name) << lines({p, "cx", "f1", "n*:9"}) << "TCP"
                            << QStringList{QString::fromLatin1(pid) + "|x||TCP||*|9|"};
    };
    pidRow("pid overflow", "p2147483648", "0");
    pidRow("pid far beyond 64 bits", "p99999999999999999999999", "0");
    pidRow("pid with a letter", "p12a", "0");
    pidRow("pid empty", "p", "0");
    pidRow("pid sign alone", "p-", "0");
    pidRow("pid with a space", "p 12", "0");
    pidRow("pid with two signs", "p+-1", "0");
    pidRow("pid in full-width digits", "p\xef\xbc\x91\xef\xbc\x92", "0");
    pidRow("pid largest", "p2147483647", "2147483647");
    pidRow("pid smallest", "p-2147483648", "-2147483648");
    pidRow("pid with plus sign", "p+12", "12");

    // Protocol, state and connected sockets.
    QTest::newRow("missing P takes defaultProtocol")
        << lines({"p5", "cdns", "f1", "tIPv4", "n127.0.0.1:53"}) << "UDP"
        << QStringList{"5|dns||UDP|IPv4|127.0.0.1|53|"};
    QTest::newRow("empty P takes defaultProtocol")
        << lines({"p5", "cdns", "f1", "P", "tIPv4", "n127.0.0.1:53"}) << "UDP"
        << QStringList{"5|dns||UDP|IPv4|127.0.0.1|53|"};
    QTest::newRow("state from ST= among queue items")
        << lines({"p5", "f1", "n*:80", "TQR=0", "TST=LISTEN", "TQS=0"}) << "TCP"
        << QStringList{"5|||TCP||*|80|LISTEN"};
    QTest::newRow("queue items only give no state")
        << lines({"p5", "f1", "PUDP", "n*:68", "TQR=0", "TQS=0"}) << "UDP"
        << QStringList{"5|||UDP||*|68|"};
    QTest::newRow("ST= alone gives empty state")
        << lines({"p5", "f1", "n*:80", "TST="}) << "TCP" << QStringList{"5|||TCP||*|80|"};
    QTest::newRow("st= in lower case is not a state")
        << lines({"p5", "f1", "n*:80", "Tst=LISTEN", "TSTATE=x"}) << "TCP"
        << QStringList{"5|||TCP||*|80|"};
    QTest::newRow("connected socket keeps the local end")
        << lines({"p5", "f1", "PUDP", "tIPv4", "n10.0.0.2:53->10.0.0.1:53"}) << "UDP"
        << QStringList{"5|||UDP|IPv4|10.0.0.2|53|"};
    QTest::newRow("values kept as printed")
        << lines({"p5", "cWeb Content", "L1001", "f1", "Ptcp", "tIPv6", "n[fe80::1%eth0]:5353"})
        << "UDP" << QStringList{"5|Web Content|1001|tcp|IPv6|[fe80::1%eth0]|5353|"};
}

void TestPortEntryParser::parse() {
    QFETCH(QString, output);
    QFETCH(QString, defaultProtocol);
    QFETCH(QStringList, expected);
    QCOMPARE(entriesText(parseFieldOutput(output, defaultProtocol)), expected.join(u'\n'));
}

void TestPortEntryParser::splitEndpoint_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("address");
    QTest::addColumn<qint64>("port");

    QTest::newRow("wildcard") << "*:631" << true << "*" << qint64(631);
    QTest::newRow("IPv4") << "127.0.0.1:631" << true << "127.0.0.1" << qint64(631);
    QTest::newRow("IPv6 keeps brackets") << "[::1]:631" << true << "[::1]" << qint64(631);
    QTest::newRow("IPv6 without brackets: last colon")
        << "fe80::1:22" << true << "fe80::1" << qint64(22);
    QTest::newRow("connected: local end")
        << "10.0.0.2:68->10.0.0.1:67" << true << "10.0.0.2" << qint64(68);
    QTest::newRow("connected: first arrow") << "a:1->b:2->c:3" << true << "a" << qint64(1);
    QTest::newRow("empty address") << ":80" << true << "" << qint64(80);
    QTest::newRow("no range check") << "*:70000" << true << "*" << qint64(70000);
    QTest::newRow("signed port") << "*:-1" << true << "*" << qint64(-1);
    QTest::newRow("largest 64-bit port")
        << "*:9223372036854775807" << true << "*" << qint64(9223372036854775807);

    QTest::newRow("*:*") << "*:*" << false << "" << qint64(0);
    QTest::newRow("no colon") << "localhost" << false << "" << qint64(0);
    QTest::newRow("empty") << "" << false << "" << qint64(0);
    QTest::newRow("empty port") << "127.0.0.1:" << false << "" << qint64(0);
    QTest::newRow("port only on the remote end")
        << "local->10.0.0.1:67" << false << "" << qint64(0);
    QTest::newRow("service name") << "*:http" << false << "" << qint64(0);
    QTest::newRow("port with space") << "*: 80" << false << "" << qint64(0);
    QTest::newRow("port with trailing text") << "*:80 (LISTEN)" << false << "" << qint64(0);
    QTest::newRow("port overflow") << "*:9223372036854775808" << false << "" << qint64(0);
    QTest::newRow("full-width digits")
        << QStringLiteral("*:\uFF18\uFF10") << false << "" << qint64(0);
}

void TestPortEntryParser::splitEndpoint() {
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QFETCH(QString, address);
    QFETCH(qint64, port);
    const std::optional<Endpoint> endpoint = ::splitEndpoint(name);
    QCOMPARE(endpoint.has_value(), valid);
    if (valid) {
        QCOMPARE(endpoint->address, address);
        QCOMPARE(endpoint->port, port);
    }
}

void TestPortEntryParser::merge_data() {
    QTest::addColumn<QStringList>("input");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty") << QStringList{} << QStringList{};
    QTest::newRow("worked example") << QStringList{"412|server|admin|TCP|IPv4|*|631|LISTEN",
                                                   "412|server|admin|TCP|IPv6|*|631|LISTEN"}
                                    << QStringList{"412|server|admin|TCP|IPv4/IPv6|*|631|LISTEN"};

    // Address folding.
    QTest::newRow("twins keep the first address")
        << QStringList{"812|d|u|TCP|IPv4|127.0.0.1|631|LISTEN", "812|d|u|TCP|IPv6|[::1]|631|LISTEN"}
        << QStringList{"812|d|u|TCP|IPv4/IPv6|127.0.0.1|631|LISTEN"};
    QTest::newRow("later wildcard wins")
        << QStringList{"812|d|u|TCP|IPv4|127.0.0.1|631|LISTEN", "812|d|u|TCP|IPv6|*|631|LISTEN"}
        << QStringList{"812|d|u|TCP|IPv4/IPv6|*|631|LISTEN"};
    QTest::newRow("earlier wildcard stays")
        << QStringList{"812|d|u|TCP|IPv4|*|631|LISTEN", "812|d|u|TCP|IPv6|[::1]|631|LISTEN"}
        << QStringList{"812|d|u|TCP|IPv4/IPv6|*|631|LISTEN"};

    // ipVersion folding.
    QTest::newRow("IPv6 then IPv4")
        << QStringList{"1|d|u|UDP|IPv6|[::1]|53|", "1|d|u|UDP|IPv4|127.0.0.1|53|"}
        << QStringList{"1|d|u|UDP|IPv4/IPv6|[::1]|53|"};
    QTest::newRow("same version twice")
        << QStringList{"1|d|u|UDP|IPv4|10.0.0.1|53|", "1|d|u|UDP|IPv4|127.0.0.1|53|"}
        << QStringList{"1|d|u|UDP|IPv4|10.0.0.1|53|"};
    QTest::newRow("third record keeps IPv4/IPv6")
        << QStringList{"1|d|u|UDP|IPv4|a|53|", "1|d|u|UDP|IPv6|b|53|", "1|d|u|UDP|IPv4|c|53|",
                       "1|d|u|UDP|IPv6|d|53|"}
        << QStringList{"1|d|u|UDP|IPv4/IPv6|a|53|"};

    // State folding: only an empty state is filled in.
    QTest::newRow("empty state filled from later record")
        << QStringList{"1|d|u|TCP|IPv4|a|80|", "1|d|u|TCP|IPv6|b|80|LISTEN"}
        << QStringList{"1|d|u|TCP|IPv4/IPv6|a|80|LISTEN"};
    QTest::newRow("state kept over later empty state")
        << QStringList{"1|d|u|TCP|IPv4|a|80|LISTEN", "1|d|u|TCP|IPv6|b|80|"}
        << QStringList{"1|d|u|TCP|IPv4/IPv6|a|80|LISTEN"};
    QTest::newRow("first state wins")
        << QStringList{"1|d|u|TCP|IPv4|a|80|LISTEN", "1|d|u|TCP|IPv4|a|80|CLOSE_WAIT"}
        << QStringList{"1|d|u|TCP|IPv4|a|80|LISTEN"};
    QTest::newRow("name and user from the first record")
        << QStringList{"1|first|alice|TCP|IPv4|a|80|", "1|second|bob|TCP|IPv4|a|80|"}
        << QStringList{"1|first|alice|TCP|IPv4|a|80|"};

    // What is never folded.
    QTest::newRow("TCP and UDP stay apart")
        << QStringList{"1|d|u|TCP|IPv4|*|53|LISTEN", "1|d|u|UDP|IPv4|*|53|"}
        << QStringList{"1|d|u|TCP|IPv4|*|53|LISTEN", "1|d|u|UDP|IPv4|*|53|"};
    QTest::newRow("two processes on one port stay two")
        << QStringList{"2|b|u|TCP|IPv4|*|80|LISTEN", "1|a|u|TCP|IPv6|*|80|LISTEN"}
        << QStringList{"1|a|u|TCP|IPv6|*|80|LISTEN", "2|b|u|TCP|IPv4|*|80|LISTEN"};

    // The key is the id text, so records whose ids coincide fold even when
    // their fields differ ("A-" with 12 and "A" with -12 both give 5-A--12).
    QTest::newRow("equal id text folds")
        << QStringList{"5|a|u|A-|IPv4|*|12|", "5|b|u|A|IPv6|*|-12|"}
        << QStringList{"5|a|u|A-|IPv4/IPv6|*|12|"};

    // Ordering.
    QTest::newRow("port then protocol") << QStringList{"1|d|u|UDP||*|8080|", "1|d|u|TCP||*|53|",
                                                       "1|d|u|TCP||*|8080|", "1|d|u|UDP||*|53|"}
                                        << QStringList{"1|d|u|TCP||*|53|", "1|d|u|UDP||*|53|",
                                                       "1|d|u|TCP||*|8080|", "1|d|u|UDP||*|8080|"};
    QTest::newRow("ports compare as numbers")
        << QStringList{"1|d|u|TCP||*|1000|", "1|d|u|TCP||*|999|", "1|d|u|TCP||*|-1|",
                       "1|d|u|TCP||*|80|", "1|d|u|TCP||*|70000|"}
        << QStringList{"1|d|u|TCP||*|-1|", "1|d|u|TCP||*|80|", "1|d|u|TCP||*|999|",
                       "1|d|u|TCP||*|1000|", "1|d|u|TCP||*|70000|"};
    QTest::newRow("protocols in ordinal order")
        << QStringList{"1|d|u|tcp||*|7|", "1|d|u|UDP||*|7|", "1|d|u|TCP||*|7|"}
        << QStringList{"1|d|u|TCP||*|7|", "1|d|u|UDP||*|7|", "1|d|u|tcp||*|7|"};
}

void TestPortEntryParser::merge() {
    QFETCH(QStringList, input);
    QFETCH(QStringList, expected);
    const PortEntryList merged = mergeEntries(entriesFromText(input));

    // Records with equal port and protocol may come in any order, so the content
    // is compared in a canonical order and the ordering rule checked on its own.
    QVERIFY(sortedByPortThenProtocol(merged));
    PortEntryList canonical = merged;
    std::sort(canonical.begin(), canonical.end(), [](const PortEntry &a, const PortEntry &b) {
        return std::tuple(a.port, a.networkProtocol, a.pid) <
               std::tuple(b.port, b.networkProtocol, b.pid);
    });
    QCOMPARE(entriesText(canonical), expected.join(u'\n'));

    QStringList ids;
    for (const PortEntry &e : merged)
        ids.append(e.id());
    ids.removeDuplicates();
    QCOMPARE(ids.size(), merged.size());
}

void TestPortEntryParser::filter_data() {
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("processName");
    QTest::addColumn<qint64>("port");
    QTest::addColumn<bool>("matches");

    // Blank queries keep everything.
    QTest::newRow("empty query") << ""
                                 << "sshd" << qint64(22) << true;
    QTest::newRow("spaces and tabs only") << " \t "
                                          << "sshd" << qint64(22) << true;
    QTest::newRow("Unicode spaces only")
        << QStringLiteral("\u00A0\u3000\u2003") << "sshd" << qint64(22) << true;

    // The port's decimal text.
    QTest::newRow("80 in port 80") << "80"
                                   << "nginx" << qint64(80) << true;
    QTest::newRow("80 in port 8080") << "80"
                                     << "java" << qint64(8080) << true;
    QTest::newRow("80 in port 1080") << "80"
                                     << "socks" << qint64(1080) << true;
    QTest::newRow("80 not in port 8") << "80"
                                      << "x" << qint64(8) << false;
    QTest::newRow("80 in the name") << "80"
                                    << "dnsmasq80" << qint64(53) << true;
    QTest::newRow("no leading zeros") << "080"
                                      << "x" << qint64(80) << false;
    QTest::newRow("no digit grouping") << "1,080"
                                       << "x" << qint64(1080) << false;

    // Only the name and the port take part.
    QTest::newRow("tcp is not the protocol") << "tcp"
                                             << "sshd" << qint64(22) << false;
    QTest::newRow("ipv4 is not the version") << "ipv4"
                                             << "sshd" << qint64(22) << false;
    QTest::newRow("root is not the user") << "root"
                                          << "sshd" << qint64(22) << false;
    QTest::newRow("pid is not matched") << "812"
                                        << "cupsd" << qint64(631) << false;
    QTest::newRow("listen is not the state") << "listen"
                                             << "cupsd" << qint64(631) << false;

    // Trimming and case.
    QTest::newRow("query upper case") << "SSH"
                                      << "sshd" << qint64(22) << true;
    QTest::newRow("name upper case") << "ssh"
                                     << "SSHD" << qint64(22) << true;
    QTest::newRow("spaces and tabs trimmed") << "\t ssh  "
                                             << "sshd" << qint64(22) << true;
    QTest::newRow("Unicode spaces trimmed")
        << QStringLiteral("\u2003ssh\u00A0\u3000") << "sshd" << qint64(22) << true;
    QTest::newRow("spaces around a port trimmed") << " 22 "
                                                  << "x" << qint64(22) << true;
    QTest::newRow("trailing line feed kept") << "ssh\n"
                                             << "sshd" << qint64(22) << false;
    QTest::newRow("leading line feed kept") << "\n80"
                                            << "x" << qint64(80) << false;
    QTest::newRow("inner space literal") << "web content"
                                         << "Web Content" << qint64(1) << true;
    QTest::newRow("inner space required") << "webcontent"
                                          << "Web Content" << qint64(1) << false;
    QTest::newRow("inner spaces not collapsed") << "web  content"
                                                << "Web Content" << qint64(1) << false;

    // Unicode: full lower-case mapping, canonical equivalence, nothing more.
    QTest::newRow("full lower case of dotted capital I")
        << QStringLiteral("i\u0307stanbul") << QStringLiteral("\u0130STANBUL") << qint64(1) << true;
    QTest::newRow("dotted capital I in the query")
        << QStringLiteral("\u0130") << QStringLiteral("i\u0307") << qint64(1) << true;
    QTest::newRow("Greek") << QStringLiteral("\u03B1\u03B8\u03B7\u03BD")
                           << QStringLiteral("\u0391\u0398\u0397\u039D\u0391") << qint64(1) << true;
    QTest::newRow("Kelvin sign in the query")
        << QStringLiteral("\u212Ade") << "kded" << qint64(1) << true;
    QTest::newRow("Kelvin sign in the name")
        << "kde" << QStringLiteral("\u212ADED") << qint64(1) << true;
    QTest::newRow("precomposed name, decomposed query")
        << QStringLiteral("cafe\u0301") << QStringLiteral("Caf\u00E9") << qint64(1) << true;
    QTest::newRow("decomposed name, precomposed query")
        << QStringLiteral("caf\u00E9") << QStringLiteral("CAFE\u0301") << qint64(1) << true;
    QTest::newRow("accent not folded away")
        << QStringLiteral("caf\u00E9") << "cafe" << qint64(1) << false;
}

void TestPortEntryParser::filter() {
    QFETCH(QString, query);
    QFETCH(QString, processName);
    QFETCH(qint64, port);
    QFETCH(bool, matches);
    const PortEntry e(812, processName, QStringLiteral("root"), QStringLiteral("TCP"),
                      QStringLiteral("IPv4"), QStringLiteral("127.0.0.1"), port,
                      QStringLiteral("LISTEN"));
    QCOMPARE(PortFilter(query).matches(e), matches);
    QCOMPARE(filterEntries({e}, query).size(), matches ? 1 : 0);
}

void TestPortEntryParser::filterKeepsOrder() {
    const PortEntryList list = entriesFromText({"1|b80|u|TCP|IPv4|*|22|", "2|a|u|UDP|IPv4|*|8080|",
                                                "3|c|u|TCP|IPv4|*|9|", "4|d|u|TCP|IPv4|*|80|"});
    QCOMPARE(entriesText(filterEntries(list, QStringLiteral("80"))),
             entriesText(entriesFromText(
                 {"1|b80|u|TCP|IPv4|*|22|", "2|a|u|UDP|IPv4|*|8080|", "4|d|u|TCP|IPv4|*|80|"})));
    QCOMPARE(entriesText(filterEntries(list, QStringLiteral(" "))), entriesText(list));
}

QTEST_GUILESS_MAIN(TestPortEntryParser)
#include "tst_portentry_parser.moc"
