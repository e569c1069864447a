// A process's command line, from /proc to what the panel shows and copies:
// the quoting gives back the argv byte for byte in the shells people paste
// into, whatever their locale, and a command line read in part says so.
#include "SpawnedChild.h"
#include "model/DisplayText.h"
#include "scanner/ProcessReader.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// /bin/sh waiting for a line on its standard input, with extra arguments of
// the test's choosing, in a folder of its choosing.
struct WaitingShell : SpawnedChild {
    WaitingShell(const QList<QByteArray> &extra, const QByteArray &cwd)
        : SpawnedChild("/bin/sh", QList<QByteArray>{"/bin/sh", "-c", "read -r line", "sh"} + extra,
                       cwd) {}
};

QByteArray cmdline(const QList<QByteArray> &argv) {
    QByteArray raw;
    for (const QByteArray &a : argv)
        raw += a + '\0';
    return raw;
}

} // namespace

class tst_CommandLine : public QObject {
    Q_OBJECT

    // The shells that read $'…', each under a plain and a UTF-8 locale.
    QStringList m_shells;

    // What shell prints for `printf '%s\0' QUOTED`: the words it read back.
    static QByteArray readBack(const QString &shell, const QString &locale, const QString &quoted) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", locale);
        p.setProcessEnvironment(env);
        p.start(shell, {"-c", "printf '%s\\0' " + quoted});
        if (!p.waitForFinished(10000) || p.exitCode() != 0)
            return "failed: " + p.readAllStandardError();
        return p.readAllStandardOutput();
    }

    void checkReadBack(const QByteArray &raw, const QString &quoted) {
        for (const QString &shell : std::as_const(m_shells)) {
            for (const char *locale : {"C", "C.UTF-8"}) {
                const QByteArray back = readBack(shell, locale, quoted);
                QVERIFY2(back == raw, qPrintable(QString("%1 under %2 read %3 back as %4")
                                                     .arg(shell, locale, quoted,
                                                          QString::fromLatin1(back.toHex(' ')))));
            }
        }
    }

private slots:
    void initTestCase() {
        for (const char *name : {"bash", "zsh"}) {
            const QString path = QStandardPaths::findExecutable(name);
            if (!path.isEmpty())
                m_shells << path;
        }
        // bash at least: it is what Debian's terminals start.
        QVERIFY2(!m_shells.isEmpty(), "no bash (tools/install-deps.sh test installs zsh too)");
    }

    void quoting_data() {
        QTest::addColumn<QList<QByteArray>>("argv");
        QTest::addColumn<QString>("quoted");
        const auto row = [](const char *tag, QList<QByteArray> argv, const char *quoted) {
            QTest::newRow(tag) << argv << QString::fromUtf8(quoted);
        };
        row("plain words", {"python3", "-m", "http.server", "8000"}, "python3 -m http.server 8000");
        row("blank, quote, empty word", {"echo", "a b", "it's", ""}, "echo 'a b' 'it'\\''s' ''");
        row("non-ASCII letters", {"café", "名前"}, "'café' '名前'");
        row("leading equals sign", {"=x"}, "'=x'");
        // A decoder drops the BOM and turns bad bytes into U+FFFD: bytes, not text.
        row("leading BOM", {"\xef\xbb\xbfname"}, "$'\\xef\\xbb\\xbfname'");
        row("invalid UTF-8", {"caf\xe9", "\xc0\xaf", "\xed\xa0\x80"},
            "$'caf\\xe9' $'\\xc0\\xaf' $'\\xed\\xa0\\x80'");
        row("newline, backslash and quote", {"sh", "-c", "a\n\\'b"}, "sh -c $'a\\x0a\\\\\\'b'");
        row("escape before hex digits",
            {"\x01"
             "ab"},
            "$'\\x01ab'");
        // They would break or reorder the tooltip's lines.
        row("line separator", {"--name=demo\u2028Folder: /root/x"},
            "$'--name=demo\\xe2\\x80\\xa8Folder: /root/x'");
        row("bidi override beside letters", {"ü\u202eabc"}, "$'ü\\xe2\\x80\\xaeabc'");
    }
    void quoting() {
        QFETCH(QList<QByteArray>, argv);
        QFETCH(QString, quoted);
        const QByteArray raw = cmdline(argv);
        QCOMPARE(shellQuotedCommandLine(raw), quoted);
        // The kernel may leave out the last NUL (of a last argument not empty).
        if (!argv.last().isEmpty())
            QCOMPARE(shellQuotedCommandLine(raw.chopped(1)), quoted);
        checkReadBack(raw, quoted);
    }

    // The arguments as text (--json, the tooltip): every character kept, a
    // leading BOM too (a decoder drops it); bad bytes as U+FFFD.
    void argumentsAsText_data() {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("leading BOM") << QByteArray("\xef\xbb\xbfname\0\xef\xbb\xbf\0", 12)
                                     << QStringList{u"\uFEFFname"_qs, u"\uFEFF"_qs};
        QTest::newRow("invalid UTF-8, no last NUL")
            << QByteArray("caf\xe9\0\0x", 7) << QStringList{u"caf\uFFFD"_qs, QString(), u"x"_qs};
    }
    void argumentsAsText() {
        QFETCH(QByteArray, raw);
        QTEST(ProcessReader::splitCommandLine(raw), "arguments");
    }

    // One byte over what the reader keeps, or exactly that much.
    void longCommandLine_data() {
        QTest::addColumn<qsizetype>("over");
        QTest::newRow("cut") << qsizetype(1);
        QTest::newRow("exactly the cap") << qsizetype(0);
    }
    void longCommandLine() {
        QFETCH(qsizetype, over);
        constexpr qsizetype cap = ProcessReader::maxCommandLineBytes;
        const QByteArray head =
            QByteArray("/bin/sh") + '\0' + "-c" + '\0' + "read -r line" + '\0' + "sh" + '\0';
        // Arguments of at most 100,000 bytes: the kernel refuses one over 128 KiB.
        QList<QByteArray> extra;
        for (qsizetype left = cap + over - head.size(); left > 0; left -= 100'001)
            extra << QByteArray(std::min<qsizetype>(left, 100'001) - 1, 'a');
        QTemporaryDir dir;
        WaitingShell shell(extra, QFile::encodeName(dir.path()));
        QVERIFY(shell.pid > 0);
        QCOMPARE(shell.cmdline.size(), cap + over);
        QTRY_VERIFY(shell.execed());
        const ProcessInfo info = ProcessReader().read(shell.pid, u"sh");
        QCOMPARE(info.commandLineCut, over > 0);
        QCOMPARE(info.rawCommandLine, shell.cmdline.first(cap));
    }
};

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
