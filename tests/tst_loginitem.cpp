#include "Quayline/LoginItem.h"

#include <QDir>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

class tst_LoginItem : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_count = 0;

    // A new autostart folder, not made yet.
    QString newFolder() { return m_dir.filePath(QString::number(++m_count)); }

    static bool write(const QString &path, const QByteArray &content,
                      QIODevice::OpenMode mode = QIODevice::WriteOnly) {
        QFile file(path);
        return file.open(mode) && file.write(content) == content.size();
    }

    static QByteArray read(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void status_data() {
        QTest::addColumn<QByteArray>("content"); // empty: no entry
        QTest::addColumn<LoginItem::Status>("expected");
        const QByteArray ours = "[Desktop Entry]\nExec=/usr/bin/quayline %U\n";
        QTest::newRow("missing") << QByteArray() << LoginItem::NotRegistered;
        QTest::newRow("enabled") << ours << LoginItem::Enabled;
        QTest::newRow("Hidden=true") << ours + "Hidden=true\n" << LoginItem::RequiresApproval;
        QTest::newRow("GNOME switch off") << ours + "X-GNOME-Autostart-enabled=false\n"
                                          << LoginItem::RequiresApproval;
        QTest::newRow("another program")
            << QByteArray("[Desktop Entry]\nExec=/opt/old/quayline\n") << LoginItem::NotRegistered;
        QTest::newRow("in another group")
            << QByteArray("[Desktop Action x]\nExec=/usr/bin/quayline\n")
            << LoginItem::NotRegistered;
    }

    void status() {
        QFETCH(QByteArray, content);
        LoginItem item(newFolder(), QStringLiteral("/usr/bin/quayline"));
        if (!content.isEmpty())
            QVERIFY(QDir().mkpath(item.autostartDir()) && write(item.entryPath(), content));
        QTEST(item.status(), "expected");
    }

    void roundTrip() {
        // Every character that the Exec key quotes or escapes.
        const QString program = QStringLiteral("/opt/my apps/\"$`\\%ü/quayline");
        LoginItem item(newFolder(), program);
        QCOMPARE(item.setLaunchAtLogin(true), QString());
        QCOMPARE(item.status(), LoginItem::Enabled);
        // TryExec names the program unquoted, with only the value escapes.
        QVERIFY(
            read(item.entryPath()).contains("\nTryExec=/opt/my apps/\"$`\\\\%\xc3\xbc/quayline\n"));
        // Switched off in the session settings: registering writes it afresh.
        QVERIFY(write(item.entryPath(), "Hidden=true\n", QIODevice::Append));
        QCOMPARE(item.status(), LoginItem::RequiresApproval);
        QCOMPARE(item.setLaunchAtLogin(true), QString());
        QCOMPARE(item.status(), LoginItem::Enabled);
        QCOMPARE(item.setLaunchAtLogin(false), QString());
        QVERIFY(!QFile::exists(item.entryPath()));

        // A file where the folder should be fails, even for root, with the system's message.
        LoginItem blocked(newFolder(), program);
        QVERIFY(write(blocked.autostartDir(), "not a folder"));
        QSaveFile probe(blocked.entryPath());
        QVERIFY(!probe.open(QIODevice::WriteOnly));
        QCOMPARE(blocked.setLaunchAtLogin(true), probe.errorString());
        QCOMPARE(blocked.status(), LoginItem::NotRegistered);
    }

    // What a session reads: a valid entry that it skips once the program is
    // gone (the package removed) instead of failing to start it.
    void entryForInstalledProgram() {
        LoginItem item(newFolder(), QStringLiteral("/usr/bin/quayline"));
        QCOMPARE(item.setLaunchAtLogin(true), QString());
        const QByteArray entry = read(item.entryPath());
        QVERIFY(entry.contains("\nExec=/usr/bin/quayline\n"));
        QVERIFY(entry.contains("\nTryExec=/usr/bin/quayline\n"));
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(QStringLiteral("desktop-file-validate"), {item.entryPath()});
        QVERIFY2(validate.waitForFinished(30000), "desktop-file-validate did not run");
        const QByteArray messages = validate.readAll();
        QVERIFY2(validate.exitCode() == 0 && messages.isEmpty(), messages.constData());
    }
};

QTEST_GUILESS_MAIN(tst_LoginItem)
#include "tst_loginitem.moc"
