#include "Quayline/LoginItem.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

class tst_LoginItem : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_count = 0;

    // A fresh autostart folder (not created yet) inside the temporary directory.
    QString newFolder() { return m_dir.filePath(QStringLiteral("c%1/autostart").arg(++m_count)); }

    static void write(const QString &path, const QByteArray &content) {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    static QByteArray read(const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void status_data();
    void status();
    void registerRoundTrip_data();
    void registerRoundTrip();
    void registerReplacesAForeignOrDisabledEntry_data();
    void registerReplacesAForeignOrDisabledEntry();
    void unregister();
    void failuresCarryTheSystemMessage();
    void setLaunchAtLoginOnlyActsWhenNeeded();
    void defaultFolder_data();
    void defaultFolder();
};

void tst_LoginItem::status_data() {
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<int>("expected");
    const QByteArray ours = "[Desktop Entry]\nType=Application\nName=Quayline\n"
                            "Exec=/usr/bin/quayline\n";
    QTest::newRow("no entry") << QByteArray() << int(LoginItem::NotRegistered);
    QTest::newRow("ours") << ours << int(LoginItem::Enabled);
    QTest::newRow("ours with arguments")
        << QByteArray("[Desktop Entry]\nExec=/usr/bin/quayline %U\n") << int(LoginItem::Enabled);
    QTest::newRow("ours, quoted") << QByteArray("[Desktop Entry]\nExec=\"/usr/bin/quayline\"\n")
                                  << int(LoginItem::Enabled);
    QTest::newRow("Hidden=true") << ours + "Hidden=true\n" << int(LoginItem::RequiresApproval);
    QTest::newRow("Hidden=false") << ours + "Hidden=false\n" << int(LoginItem::Enabled);
    QTest::newRow("GNOME switch off") << ours + "X-GNOME-Autostart-enabled=false\n"
                                      << int(LoginItem::RequiresApproval);
    QTest::newRow("GNOME switch on") << ours + "X-GNOME-Autostart-enabled=true\n"
                                     << int(LoginItem::Enabled);
    QTest::newRow("another program")
        << QByteArray("[Desktop Entry]\nExec=/usr/bin/other\n") << int(LoginItem::NotRegistered);
    QTest::newRow("same name, other folder")
        << QByteArray("[Desktop Entry]\nExec=/opt/old/quayline\n") << int(LoginItem::NotRegistered);
    QTest::newRow("no Exec") << QByteArray("[Desktop Entry]\nName=Quayline\n")
                             << int(LoginItem::NotRegistered);
    QTest::newRow("keys of another group")
        << QByteArray("[Desktop Action x]\nExec=/usr/bin/quayline\n")
        << int(LoginItem::NotRegistered);
}

void tst_LoginItem::status() {
    QFETCH(QByteArray, content);
    QFETCH(int, expected);
    LoginItem item(newFolder(), QStringLiteral("/usr/bin/quayline"));
    if (!content.isEmpty())
        write(item.entryPath(), content);
    QCOMPARE(int(item.status()), expected);
}

void tst_LoginItem::registerRoundTrip_data() {
    QTest::addColumn<QString>("program");
    QTest::newRow("plain") << QStringLiteral("/usr/bin/quayline");
    QTest::newRow("space") << QStringLiteral("/opt/my apps/quayline");
    QTest::newRow("quote, dollar, backtick") << QStringLiteral("/opt/a\"b$c`d/quayline");
    QTest::newRow("backslash") << QStringLiteral("/opt/a\\b/quayline");
    QTest::newRow("percent") << QStringLiteral("/opt/100%/quayline");
    QTest::newRow("non-ASCII") << QStringLiteral("/home/jürgen/bin/quayline");
}

void tst_LoginItem::registerRoundTrip() {
    QFETCH(QString, program);
    LoginItem item(newFolder(), program);
    QCOMPARE(item.status(), LoginItem::NotRegistered);
    QCOMPARE(item.registerItem(), QString());
    QCOMPARE(item.status(), LoginItem::Enabled);
    // Another program's view of the same file does not take it for its own.
    QCOMPARE(LoginItem(item.autostartDir(), program + QStringLiteral("x")).status(),
             LoginItem::NotRegistered);
}

void tst_LoginItem::registerReplacesAForeignOrDisabledEntry_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("disabled") << QByteArray(
        "[Desktop Entry]\nExec=/usr/bin/quayline\nHidden=true\n");
    QTest::newRow("other program") << QByteArray("[Desktop Entry]\nExec=/opt/old/quayline\n");
}

void tst_LoginItem::registerReplacesAForeignOrDisabledEntry() {
    QFETCH(QByteArray, content);
    LoginItem item(newFolder(), QStringLiteral("/usr/bin/quayline"));
    write(item.entryPath(), content);
    QCOMPARE(item.setLaunchAtLogin(true), QString());
    QCOMPARE(item.status(), LoginItem::Enabled);
}

void tst_LoginItem::unregister() {
    LoginItem item(newFolder(), QStringLiteral("/usr/bin/quayline"));
    QCOMPARE(item.unregisterItem(), QString()); // nothing to remove is no failure
    QCOMPARE(item.registerItem(), QString());
    QVERIFY(QFile::exists(item.entryPath()));
    QCOMPARE(item.unregisterItem(), QString());
    QVERIFY(!QFile::exists(item.entryPath()));
    QCOMPARE(item.status(), LoginItem::NotRegistered);
}

void tst_LoginItem::failuresCarryTheSystemMessage() {
    // A file where the folder should be: no user, root included, can write
    // below it.
    const QString folder = newFolder();
    write(folder, "not a folder");
    LoginItem blocked(folder, QStringLiteral("/usr/bin/quayline"));
    const QString message = blocked.registerItem();
    QVERIFY(!message.isEmpty());
    QSaveFile probe(blocked.entryPath());
    QVERIFY(!probe.open(QIODevice::WriteOnly));
    QCOMPARE(message, probe.errorString());
    QCOMPARE(blocked.setLaunchAtLogin(true), message);
    QCOMPARE(blocked.status(), LoginItem::NotRegistered);

    // An entry that cannot be deleted: a folder under the entry's name.
    LoginItem stuck(newFolder(), QStringLiteral("/usr/bin/quayline"));
    QVERIFY(QDir().mkpath(stuck.entryPath() + QStringLiteral("/inside")));
    QVERIFY(!stuck.unregisterItem().isEmpty());

    // No path for the program: nothing to register, and it says why.
    LoginItem nowhere(newFolder(), QString());
    QCOMPARE(nowhere.status(), LoginItem::NotFound);
    QVERIFY(!nowhere.registerItem().isEmpty());
    QVERIFY(!QFile::exists(nowhere.entryPath()));
}

void tst_LoginItem::setLaunchAtLoginOnlyActsWhenNeeded() {
    LoginItem item(newFolder(), QStringLiteral("/usr/bin/quayline"));
    // Enabled already: the user's own entry is left as it is.
    const QByteArray custom = "[Desktop Entry]\nExec=/usr/bin/quayline --quiet\nX-Mine=1\n";
    write(item.entryPath(), custom);
    QCOMPARE(item.setLaunchAtLogin(true), QString());
    QCOMPARE(read(item.entryPath()), custom);

    // Not ours: turning off does not delete another program's entry.
    const QByteArray foreign = "[Desktop Entry]\nExec=/usr/bin/other\n";
    write(item.entryPath(), foreign);
    QCOMPARE(item.setLaunchAtLogin(false), QString());
    QCOMPARE(read(item.entryPath()), foreign);

    // Disabled: turning off leaves the user's switch alone too.
    const QByteArray off = "[Desktop Entry]\nExec=/usr/bin/quayline\nHidden=true\n";
    write(item.entryPath(), off);
    QCOMPARE(item.setLaunchAtLogin(false), QString());
    QCOMPARE(read(item.entryPath()), off);
}

void tst_LoginItem::defaultFolder_data() {
    QTest::addColumn<QByteArray>("xdgConfigHome"); // null: unset
    QTest::addColumn<QString>("expected");
    const QString home = QDir::homePath() + QStringLiteral("/.config/autostart");
    QTest::newRow("set") << QByteArray("/srv/cfg") << QStringLiteral("/srv/cfg/autostart");
    QTest::newRow("unset") << QByteArray() << home;
    QTest::newRow("empty") << QByteArray("") << home;
    QTest::newRow("relative, ignored") << QByteArray("cfg") << home;
}

void tst_LoginItem::defaultFolder() {
    QFETCH(QByteArray, xdgConfigHome);
    QFETCH(QString, expected);
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    if (xdgConfigHome.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", xdgConfigHome);
    const QString folder = LoginItem::defaultAutostartDir();
    if (wasSet)
        qputenv("XDG_CONFIG_HOME", saved);
    else
        qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(folder, expected);
}

QTEST_GUILESS_MAIN(tst_LoginItem)

#include "tst_loginitem.moc"
