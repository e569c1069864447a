// quayline-cli: the built binary run with a stub lsof, and its writers and
// escaping called directly.
#include "ListeningChild.h"
#include "StubLsof.h"
#include "cli/EntryOutput.h"
#include "cli/OutputStream.h"
#include "model/DisplayText.h"
#include "process/SystemCalls.h"
#include "scanner/PortEvent.h"
#include "scanner/PortScanner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

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

std::unique_ptr<QProcess> run(const QStringList &arguments, const QString &stdoutFile = {}) {
    auto process = std::make_unique<QProcess>();
    if (!stdoutFile.isEmpty())
        process->setStandardOutputFile(stdoutFile);
    process->start(qEnvironmentVariable("QUAYLINE_CLI"), arguments);
    process->waitForFinished(60000);
    return process;
}

// What writeJson or writeTable wrote for entries.
template <typename Write> QByteArray written(Write write) {
    QTemporaryFile file;
    if (!file.open())
        return "(no temporary file)";
    {
        OutputStream out(file.handle(), 7); // a tiny buffer, so that writes straddle it
        write(out);
    }
    file.seek(0);
    return file.readAll();
}

PortEntry entry(qint32 pid, const QString &name, const QString &user = "alice") {
    return PortEntry(pid, name, user, "TCP", "IPv4", "127.0.0.1", 8000 + pid, "LISTEN");
}

struct EscapeCase {
    QString text, escaped;
};

struct UsageCase {
    QStringList arguments;
    QString problem; // the line after "quayline-cli: ", naming the argument at fault
    QByteArray usage;
};

} // namespace

Q_DECLARE_METATYPE(EscapeCase)
Q_DECLARE_METATYPE(UsageCase)

class TestCli : public QObject {
    Q_OBJECT
    StubLsof stub{"cat \"$dir/$run.out\"\n"};

private slots:
    void initTestCase() {
        // lsof here is a stand-in whose made-up listing the real socket table
        // would contradict (tst_kernelrows and tst_cli_kernel cover the table).
        qputenv("QUAYLINE_SOCKET_TABLE", "off");
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

    // What the scan learns of a real process reaches --json and --wide (the
    // reading itself is tst_identity's, the keys' layout jsonLayout's).
    void identityOfRealProcess() {
        ListeningChild child(ListeningChild::OnTerm::Exit);
        StubLsof lsof("[ \"$run\" = udp ] || cat \"$dir/listing\"\n");
        QVERIFY(child.port > 0 &&
                lsof.write("listing",
                           StubLsof::listing(child.pid, "perl", currentLoginName(), child.port)));
        const auto json = run({"--json", "--lsof", lsof.path()});
        const QJsonObject o =
            QJsonDocument::fromJson(json->readAllStandardOutput()).array().at(0).toObject();
        QCOMPARE(o["pid"].toInt(), child.pid);
        const QStringList argv = o["commandLine"].toVariant().toStringList();
        QCOMPARE(argv.mid(0, 3), QStringList({"/usr/bin/perl", "-MIO::Socket::INET", "-e"}));

        const auto wide = run({"--wide", "--lsof", lsof.path()});
        const QStringList lines = QString::fromUtf8(wide->readAllStandardOutput()).split(u'\n');
        const qsizetype command = lines.value(0).indexOf("COMMAND");
        QVERIFY(command > 0);
        QCOMPARE(lines.value(1).sliced(command), escapeControlCharacters(argv.join(u' ')));
    }

    // The array is never held whole, yet reads as Qt's own layout of it, byte
    // for byte, including the strings Qt escapes and the process's keys.
    void jsonLayout_data() {
        QTest::addColumn<PortEntryList>("entries");
        QTest::newRow("no entries") << PortEntryList{};
        PortEntry known = entry(7, "node");
        known.process.commandLine = {"/usr/bin/node", "server.js", "--port=8007"};
        known.process.cwd = "/srv/app";
        known.process.cwdDeleted = true;
        known.process.unit = "app.service";
        known.process.container = "0123456789ab";
        known.process.startedAt = QDateTime(QDate(2026, 12, 6), QTime(18, 1, 2), Qt::UTC);
        known.process.startTicks = 1;
        QTest::newRow("identity keys, unknown and known") << PortEntryList{entry(1, "sshd"), known};
        PortEntry odd =
            entry(2, "quote\" back\\slash\ttab\x01\x7f f\u00eate \U0001F600", "\u202e\x1b[2J");
        odd.process.commandLine = {"", "a b", "\n"};
        QTest::newRow("strings Qt escapes or encodes") << PortEntryList{odd, entry(3, "x")};
        // A socket of another user: no pid (null, never 0), the uid, and the
        // container engine's keys where it told them.
        PortEntry kernel = entry(0, "");
        kernel.fromKernel = true;
        kernel.uid = 0;
        kernel.containerName = "web-1";
        kernel.image = "demo:latest";
        kernel.composeProject = "shop";
        PortEntry noPid = entry(0, "udpd");
        QTest::newRow("unknown pids, uid, container keys") << PortEntryList{kernel, noPid};
    }
    void jsonLayout() {
        QFETCH(PortEntryList, entries);
        QJsonArray array;
        for (const PortEntry &e : entries) {
            const ProcessInfo &p = e.process;
            QJsonObject o{
                {"id", e.id()},
                {"pid", e.pid > 0 ? QJsonValue(e.pid) : QJsonValue()},
                {"uid", e.uid >= 0 ? QJsonValue(e.uid) : QJsonValue()},
                {"processName", e.processName},
                {"user", e.user},
                {"networkProtocol", e.networkProtocol},
                {"ipVersion", e.ipVersion},
                {"address", e.address},
                {"port", e.port},
                {"state", e.state},
                {"commandLine", QJsonArray::fromStringList(p.commandLine)},
                {"cwd", p.cwd},
                {"cwdDeleted", p.cwdDeleted},
                {"firstSeen", QJsonValue()},
                {"unit", p.unit},
                {"container", p.container},
                {"startedAt", p.startedAt.isValid() ? p.startedAt.toString(Qt::ISODate) : ""}};
            for (const auto &[key, value] :
                 {std::pair{"containerName", e.containerName}, std::pair{"image", e.image},
                  std::pair{"composeProject", e.composeProject}}) {
                if (!value.isEmpty())
                    o[key] = value;
            }
            array.append(o);
            // The watch's line: the same keys and its own two, on one line.
            const PortEvent event{
                PortEvent::Kind::Closed, e,
                QDateTime(QDate(2026, 12, 7), QTime(21, 54, 5, 814), Qt::OffsetFromUTC, -9000)};
            o["event"] = "closed";
            o["time"] = "2026-12-07T21:54:05.814-02:30";
            QCOMPARE(written([&](OutputStream &out) { writeEventJson(out, event); }),
                     QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
        }
        QCOMPARE(written([&](OutputStream &out) { writeJson(out, entries); }),
                 QJsonDocument(array).toJson(QJsonDocument::Indented));
    }

    void escaping_data() {
        QTest::addColumn<EscapeCase>("c");
        QTest::newRow("plain, non-ASCII kept") << EscapeCase{"fête 名前 \\x1b", "fête 名前 \\x1b"};
        QTest::newRow("ESC sequences")
            << EscapeCase{"a\x1b]0;owned\x07\x1b[2Jb", "a\\x1b]0;owned\\x07\\x1b[2Jb"};
        QTest::newRow("CR, LF, NUL, DEL")
            << EscapeCase{QString("r\rn\n") + QChar(0) + "\x7f", "r\\x0dn\\x0a\\x00\\x7f"};
        QTest::newRow("C1 controls")
            << EscapeCase{"\u0080\u009b2J\u009f\u00a0", "\\x80\\x9b2J\\x9f\u00a0"};
        QTest::newRow("bidi controls")
            << EscapeCase{"\u061c\u200e\u200f\u202a\u202e dhss\u2066\u2069\u200d",
                          "\\u061c\\u200e\\u200f\\u202a\\u202e dhss\\u2066\\u2069\u200d"};
        // A Qt Quick Text breaks the line at the separators; a decoder drops a leading BOM.
        QTest::newRow("line and paragraph separators, BOM")
            << EscapeCase{QChar(0xfeff) + QString("demo\u2028Folder: /root/x\u2029"),
                          "\\ufeffdemo\\u2028Folder: /root/x\\u2029"};
    }
    void escaping() {
        QFETCH(EscapeCase, c);
        QCOMPARE(escapeControlCharacters(c.text), c.escaped);
        // The table escapes every cell and measures the escaped text.
        PortEntry e = entry(1, c.text, c.text);
        e.process.commandLine = {c.text, "-x"};
        const QStringList lines = QString::fromUtf8(written([&](OutputStream &out) {
                                      writeTable(out, {e}, true);
                                  })).split(u'\n');
        QCOMPARE(lines.size(), 3); // heading, the row, and the empty rest after the last '\n'
        // Under its heading while the cells fit a column's widest padding (40).
        const qsizetype command = lines[0].indexOf("COMMAND");
        if (c.escaped.size() <= 40)
            QCOMPARE(lines[1].sliced(command), c.escaped + " -x");
        QVERIFY2(lines[1].endsWith("  " + c.escaped + " -x"), qPrintable(lines[1]));
        QVERIFY2(lines[1].contains("  " + c.escaped + "  "), qPrintable(lines[1]));
    }

    // A long name runs past its column in its own row: the other rows stay as
    // wide as their own cells make the table.
    void longNameDoesNotWidenTheTable() {
        const QString name(300, u'n');
        const QStringList lines = QString::fromUtf8(written([&](OutputStream &out) {
                                      writeTable(out, {entry(1, "a", name), entry(2, "b")}, false);
                                  })).split(u'\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[1].contains("  " + name + "  "));
        QVERIFY2(lines[2].size() < 120, qPrintable(lines[2]));
    }

    // A stub comes first, so that a refused run that still scanned would show.
    // A row without a problem asks for help: the usage on standard output.
    void usage_data() {
        QTest::addColumn<UsageCase>("c");
        const QByteArray list = "\n\nUsage: quayline-cli [--json]";
        const QByteArray stop = "\n\nUsage: quayline-cli stop [--force]";
        const auto row = [](const char *name, QStringList arguments, QString problem,
                            QByteArray usage) {
            QTest::newRow(name) << UsageCase{arguments, problem, usage};
        };
        row("--help", {"--help"}, {}, "Usage: quayline-cli [--json] [--wide] [--lsof PATH]");
        row("-h after a filter", {"ssh", "-h"}, {}, list.sliced(2));
        row("stop --help", {"stop", "--help"}, {}, stop.sliced(2));
        row("unknown option", {"--bogus"}, "unknown option --bogus", list);
        row("single-dash word", {"-json"}, "unknown option -json", list);
        row("value for a flag", {"--json=1"}, "Unexpected value after '--json'.", list);
        row("--lsof without value", {"--lsof"}, "--lsof needs a value", list);
        row("two filters", {"ssh", "cups"}, "only one filter may be given: cups", list);
        row("two filters after --", {"--", "ssh", "cups"}, "only one filter may be given: cups",
            list);
        row("watch: listing option", {"watch", "--wide"}, "unknown option --wide",
            "\n\nUsage: quayline-cli watch [--json]");
        row("stop: no port", {"stop"}, "stop needs at least one PORT", stop);
        row("stop: port 65536", {"stop", "80", "65536"}, "not a port number from 1 to 65535: 65536",
            stop);
        row("stop: port 0", {"stop", "0"}, "not a port number from 1 to 65535: 0", stop);
        row("stop: signed port", {"stop", "+80"}, "not a port number from 1 to 65535: +80", stop);
        row("stop: NaN timeout", {"stop", "--timeout", "nan", "80"},
            "--timeout needs a number of seconds from 0 to 86400: nan", stop);
        row("stop: listing option", {"stop", "--json", "80"}, "unknown option --json", stop);
        row("stop: negative watch", {"stop", "--watch=-2", "80"},
            "--watch needs a number of seconds from 0 to 86400: -2", stop);
        row("stop: service and container", {"stop", "--service", "--container", "80"},
            "--service and --container exclude each other", stop);
        row("stop: --force with --service", {"stop", "--service", "--force", "80"},
            "--force applies to stopping processes, not to --service", stop);
        row("stop: --watch with --container", {"stop", "--container", "--watch", "1", "80"},
            "--watch applies to stopping processes, not to --container", stop);
        const QByteArray free = "\n\nUsage: quayline-cli free [--count N]";
        row("free --help", {"free", "--help"}, {}, free.sliced(2));
        row("free: port 0", {"free", "0"}, "not a port number from 1 to 65535: 0", free);
        row("free: two ports", {"free", "80", "81"}, "only one PORT may be given: 81", free);
        row("free: count 0", {"free", "--count", "0"}, "--count needs a number from 1 to 65535: 0",
            free);
        row("free: two protocols", {"free", "--udp", "--both"},
            "--tcp, --udp and --both exclude each other", free);
        row("free: --lsof", {"free", "--lsof", "/x"}, "free runs no lsof: --lsof has no use here",
            free);
    }
    void usage() {
        QFETCH(UsageCase, c);
        const StubLsof fresh("cat /dev/null\n");
        QStringList arguments = c.arguments;
        const bool subcommand = arguments.value(0) == "stop" || arguments.value(0) == "watch";
        if (arguments.value(0) != "free")
            arguments.insert(subcommand ? 1 : 0, "--lsof=" + fresh.path());
        const auto p = run(arguments);
        const QByteArray out = p->readAllStandardOutput(), err = p->readAllStandardError();
        if (c.problem.isEmpty()) {
            QCOMPARE(p->exitCode(), 0);
            QCOMPARE(err, QByteArray());
            QVERIFY2(out.startsWith(c.usage), out);
        } else {
            QCOMPARE(p->exitCode(), 2);
            QVERIFY2(err.startsWith(("quayline-cli: " + c.problem).toUtf8() + c.usage), err);
            QCOMPARE(out, QByteArray());
        }
        QVERIFY(fresh.read("tcp.args").isEmpty() && fresh.read("udp.args").isEmpty());
    }

    // free: a port held by a process of the test's passed over with its
    // holder, the ports found, and running out at 65535; the warning always.
    void freePorts_data() {
        QTest::addColumn<bool>("json");
        QTest::addColumn<bool>("toTheEnd"); // from 65535 on, two wanted
        QTest::newRow("held port passed over") << false << false;
        QTest::newRow("held port passed over, JSON") << true << false;
        QTest::newRow("ran out at 65535, JSON") << true << true;
    }
    void freePorts() {
        QFETCH(bool, json);
        QFETCH(bool, toTheEnd);
        ListeningChild child(ListeningChild::OnTerm::Exit);
        QVERIFY(child.port > 0);
        const QString start = toTheEnd ? "65535" : QString::number(child.port);
        QStringList arguments{"free", "--count", "2", start};
        if (json)
            arguments.insert(1, "--json");
        const auto p = run(arguments);
        const QByteArray out = p->readAllStandardOutput(), err = p->readAllStandardError();
        QCOMPARE(p->exitCode(), toTheEnd ? 1 : 0);
        QCOMPARE(err.count("another program can take it a moment later"), 1);
        if (toTheEnd)
            QVERIFY2(err.contains(" of 2 free ports from 65535; stopped at 65535."), err);
        else
            QVERIFY2(err.contains(QStringLiteral("port %1 is not free: held by PID %2 (perl)")
                                      .arg(child.port)
                                      .arg(child.pid)
                                      .toUtf8()) != json,
                     err);
        if (!json) {
            const QList<QByteArray> lines = out.trimmed().split('\n');
            QCOMPARE(lines.size(), 2);
            QVERIFY(lines[0].toInt() > child.port && lines[1].toInt() > lines[0].toInt());
            return;
        }
        const QJsonObject o = QJsonDocument::fromJson(out).object();
        QCOMPARE(o["requested"].toInt(), 2);
        const QJsonArray ports = o["ports"].toArray();
        QCOMPARE(o["found"].toInt(), toTheEnd ? int(ports.at(0)["free"].toBool()) : 2);
        if (toTheEnd)
            return;
        QCOMPARE(ports.at(0).toObject(),
                 (QJsonObject{{"port", child.port},
                              {"free", false},
                              {"reason", "held"},
                              {"text", QStringLiteral("held by PID %1 (perl)").arg(child.pid)},
                              {"protocol", "TCP"},
                              {"pid", child.pid},
                              {"processName", "perl"}}));
        QCOMPARE(ports.last().toObject()["free"], true);
        QCOMPARE(ports.last().toObject()["reason"], "free");
    }

    // Whatever made the scan fail (its texts are tst_scanner's): that text on
    // standard error, status 1, no table.
    void failedScans_data() {
        QTest::addColumn<QByteArray>("stub"); // the stub lsof's body
        QTest::newRow("lsof killed by a signal") << QByteArray("kill -9 $$\n");
        QTest::newRow("stdout not writable") << QByteArray("cat \"$dir/tcp.out\"\n");
    }
    void failedScans() {
        QFETCH(QByteArray, stub);
        StubLsof failing(stub);
        QVERIFY(failing.write("tcp.out", tcpOutput));
        const bool toFullDevice = QTest::currentDataTag() == QByteArray("stdout not writable");
        LsofRuns runs;
        const ScanResult probe = PortScanner(runs, failing.path()).scan().result();
        QVERIFY(toFullDevice || probe.errorText);
        for (const QStringList &mode : {QStringList{}, QStringList{"--json"}}) {
            const auto p = run(QStringList{"--lsof", failing.path()} + mode,
                               toFullDevice ? "/dev/full" : QString());
            QCOMPARE(p->exitCode(), 1);
            QCOMPARE(p->readAllStandardOutput(), QByteArray());
            const QString expected = toFullDevice
                                         ? "quayline-cli: could not write the output: " +
                                               QString::fromLocal8Bit(std::strerror(ENOSPC))
                                         : *probe.errorText;
            QCOMPARE(QString::fromUtf8(p->readAllStandardError()), expected + '\n');
        }
    }

    // lsof runs in its own process group, out of reach of the terminal's
    // Ctrl+C: ending the command must end the lsof runs it started.
    // A watch ends so as it is meant to: with status 0.
    void terminatingSignalEndsLsof_data() {
        QTest::addColumn<QStringList>("subcommand");
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << QStringList{} << SIGINT;
        QTest::newRow("SIGTERM") << QStringList{} << SIGTERM;
        QTest::newRow("watch, SIGINT") << QStringList{"watch"} << SIGINT;
    }
    void terminatingSignalEndsLsof() {
        QFETCH(QStringList, subcommand);
        QFETCH(int, signal);
        const StubLsof hanging("echo $$ >>\"$dir/pids\"\nsleep 30\n");
        QProcess cli;
        cli.start(qEnvironmentVariable("QUAYLINE_CLI"),
                  subcommand + QStringList{"--lsof", hanging.path()});
        QVERIFY(cli.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(hanging.numbers("pids").size(), 2, 20000);
        ::kill(pid_t(cli.processId()), signal); // the command this test started
        QVERIFY(cli.waitForFinished(20000));
        if (subcommand.isEmpty()) {
            QCOMPARE(cli.exitStatus(), QProcess::CrashExit);
        } else {
            QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
            QCOMPARE(cli.exitCode(), 0);
            QCOMPARE(cli.readAllStandardError(), QByteArray());
        }
        for (const qint64 pid : hanging.numbers("pids"))
            QTRY_VERIFY2_WITH_TIMEOUT(!QFile::exists(QString("/proc/%1").arg(pid)),
                                      "an lsof run outlived the command", 20000);
    }

    // A listener of the test's own, opened and closed while the watch runs
    // with the real lsof and socket table: one line each, in order, for its
    // port; a signal or a reader that went away ends the watch with 0.
    void watch_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("signal"); // 0: the output is closed instead
        QTest::newRow("table, Ctrl+C") << QStringList{} << SIGINT;
        QTest::newRow("JSON, SIGTERM") << QStringList{"--json"} << SIGTERM;
        QTest::newRow("output closed") << QStringList{} << 0;
    }
    void watch() {
        QFETCH(QStringList, options);
        QFETCH(int, signal);
        // Bound before the watch starts, so that its port can be the filter,
        // but listening only once the watch's first scan stands.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        QVERIFY(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
                ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0);
        const auto closeSocket = qScopeGuard([&] { ::close(fd); });
        const qint64 port = ntohs(address.sin_port);

        QProcess cli;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("QUAYLINE_SOCKET_TABLE");
        cli.setProcessEnvironment(environment);
        // For a reader that goes away: a pipe whose only reader is this test.
        QTemporaryDir dir;
        const QByteArray fifo = QFile::encodeName(dir.filePath("out"));
        int reader = -1;
        if (signal == 0) {
            QVERIFY(::mkfifo(fifo.constData(), 0600) == 0);
            reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            QVERIFY(reader >= 0);
            cli.setStandardOutputFile(dir.filePath("out"));
        }
        cli.start(qEnvironmentVariable("QUAYLINE_CLI"),
                  QStringList{"watch"} + options + QStringList{QString::number(port)});
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += cli.readAllStandardError()).contains("watching"), 60000);
        if (signal == 0)
            ::close(reader);
        QCOMPARE(::listen(fd, 5), 0);
        if (signal == 0) {
            QVERIFY(cli.waitForFinished(60000));
            QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
            QCOMPARE(cli.exitCode(), 0);
            QCOMPARE(err + cli.readAllStandardError(), "quayline-cli: watching; Ctrl+C ends.\n");
            return;
        }

        // The lines about this port: "opened" or "closed", then the pid.
        QStringList seen;
        const auto read = [&] {
            while (cli.canReadLine()) {
                const QByteArray line = cli.readLine();
                if (options.isEmpty()) {
                    const QStringList cells =
                        QString::fromUtf8(line).split(' ', Qt::SkipEmptyParts);
                    if (cells.value(2).toLongLong() == port)
                        seen.append(cells.value(1) + ' ' + cells.value(5));
                    continue;
                }
                QJsonParseError error;
                const QJsonObject o = QJsonDocument::fromJson(line, &error).object();
                if (error.error != QJsonParseError::NoError)
                    seen.append("not JSON: " + line);
                else if (o["port"].toInteger() == port)
                    seen.append(o["event"].toString() + ' ' +
                                QString::number(o["pid"].toInteger()));
                // Local time with its offset.
                if (!QRegularExpression("^\\d{4}-.*T.*(Z|[+-]\\d\\d:\\d\\d)$")
                         .match(o["time"].toString())
                         .hasMatch())
                    seen.append("time: " + o["time"].toString());
            }
            return seen.size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(read(), 1, 60000);
        ::shutdown(fd, SHUT_RDWR);
        QTRY_COMPARE_WITH_TIMEOUT(read(), 2, 60000);
        ::kill(pid_t(cli.processId()), signal); // the command this test started
        QVERIFY(cli.waitForFinished(20000));
        QCOMPARE(cli.exitStatus(), QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), 0);
        read();
        const QString self = QString::number(QCoreApplication::applicationPid());
        QCOMPARE(seen, QStringList({"opened " + self, "closed " + self}));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
