#include "Quayline/LoginItem.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
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
        QTest::newRow("Hidden=true") << ours + "Hidden=true\n" << LoginItem::Disabled;
        QTest::newRow("GNOME switch off") << ours + "X-GNOME-Autostart-enabled=false\n"
                                          << LoginItem::Disabled;
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
        QCOMPARE(item.change(true), QString());
        QCOMPARE(item.status(), LoginItem::Enabled);
        // TryExec names the program unquoted, with only the value escapes.
        QVERIFY(
            read(item.entryPath()).contains("\nTryExec=/opt/my apps/\"$`\\\\%\xc3\xbc/quayline\n"));
        // A valid entry, which a session skips once the program is gone.
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(QStringLiteral("desktop-file-validate"), {item.entryPath()});
        QVERIFY2(validate.waitForFinished(30000), "desktop-file-validate did not run");
        const QByteArray messages = validate.readAll();
        QVERIFY2(validate.exitCode() == 0 && messages.isEmpty(), messages.constData());
        // Switched off in the session settings: registering writes it afresh.
        QVERIFY(write(item.entryPath(), "Hidden=true\n", QIODevice::Append));
        QCOMPARE(item.status(), LoginItem::Disabled);
        QCOMPARE(item.change(true), QString());
        QCOMPARE(item.status(), LoginItem::Enabled);
        QCOMPARE(item.change(false), QString());
        QVERIFY(!QFile::exists(item.entryPath()));
    }

    // A change that fails names what failed, where, and the system's reason.
    // (A plain file or a folder in the way fails for root too.)
    void failureSaysWhere_data() {
        QTest::addColumn<QString>(
            "inTheWay"); // below the new folder: a plain file, or with a '/' a folder
        QTest::addColumn<QString>("autostart");
        QTest::addColumn<QString>("message");
        QTest::newRow("a file where the config folder should be")
            << "config"
            << "config/autostart"
            << "Could not create the folder %1/config: Not a directory.";
        QTest::newRow("a folder where the entry should be")
            << "config/autostart/quayline.desktop/"
            << "config/autostart"
            << "Could not write %1/config/autostart/quayline.desktop: ";
    }
    void failureSaysWhere() {
        QFETCH(QString, inTheWay);
        QFETCH(QString, autostart);
        QFETCH(QString, message);
        const QString root = newFolder();
        const QString blocker = root + u'/' + inTheWay;
        QVERIFY(QDir().mkpath(inTheWay.endsWith(u'/') ? blocker : QFileInfo(blocker).path()));
        QVERIFY(inTheWay.endsWith(u'/') || write(blocker, "in the way"));
        LoginItem item(root + u'/' + autostart, QStringLiteral("/usr/bin/quayline"));
        QSignalSpy switched(&item, &LoginItem::launchAtLoginChanged);
        item.setLaunchAtLogin(true);
        QVERIFY2(item.error().startsWith(message.arg(root)), qPrintable(item.error()));
        QVERIFY2(item.error().endsWith(u'.') && !item.error().contains(u": ."),
                 qPrintable(item.error()));
        // The switch went on under the user's hand and goes back off.
        QVERIFY(!item.launchAtLogin());
        QCOMPARE(switched.size(), 2);
    }

    // Each time the settings are shown: an entry removed or added elsewhere
    // moves the switch, and a stale message goes; no request is made.
    void followsTheEntry() {
        LoginItem item(newFolder(), QStringLiteral("/usr/bin/quayline"));
        item.setLaunchAtLogin(true);
        QVERIFY(item.launchAtLogin() && item.error().isEmpty());
        QVERIFY(QFile::remove(item.entryPath()));
        // A failed change leaves a message: the entry's place is taken by a folder.
        QVERIFY(QDir().mkpath(item.entryPath()));
        item.setLaunchAtLogin(true);
        QVERIFY(!item.error().isEmpty() && !item.launchAtLogin());
        item.followRegistration();
        QVERIFY(!item.error().isEmpty()); // nothing changed outside: the message stays
        QVERIFY(QDir().rmdir(item.entryPath()));
        QCOMPARE(item.registerItem(), QString()); // registered elsewhere
        QSignalSpy switched(&item, &LoginItem::launchAtLoginChanged);
        item.followRegistration();
        QVERIFY(item.launchAtLogin() && item.error().isEmpty());
        QCOMPARE(switched.size(), 1);
        QCOMPARE(item.status(), LoginItem::Enabled);
    }
};

QTEST_GUILESS_MAIN(tst_LoginItem)
#include "tst_loginitem.moc"
