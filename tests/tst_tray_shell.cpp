// The tray program's own logic outside the views: where the panel goes, when
// there is no display to start on, and the one-instance guard.
#include "Quayline/shell/DisplayCheck.h"
#include "Quayline/shell/PopoverPlacement.h"
#include "Quayline/shell/SingleInstance.h"

#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A socket file that nobody listens on, as an instance that crashed leaves it.
bool makeStaleSocket(const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address.sun_path)
        return false;
    std::copy(name.begin(), name.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound =
        fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound && QFile::exists(path);
}

} // namespace

class TrayShellTest : public QObject {
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void placementStaysInsideTheAvailableArea();

    void missingDisplay_data();
    void missingDisplay();

    void displayKey_data();
    void displayKey();

    void secondInstanceAsksTheFirst();
    void staleSocketIsTakenOver();
    void socketIsRemovedOnExit();
    void unusableSocketPathStillRuns();
    void otherRequestsAreIgnored();
};

void TrayShellTest::placement_data() {
    QTest::addColumn<QRect>("icon");
    QTest::addColumn<QPoint>("cursor");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("expected");

    const QRect fullHd(0, 0, 1920, 1080);
    QTest::newRow("top panel, icon at the right: below it, pulled in from the edge")
        << QRect(1880, 2, 24, 24) << QPoint() << fullHd << QRect(0, 28, 1920, 1052)
        << QPoint(1920 - 380, 26 + 4);
    QTest::newRow("top panel, icon in the middle: centred under it")
        << QRect(948, 2, 24, 24) << QPoint() << fullHd << QRect(0, 28, 1920, 1052)
        << QPoint(960 - 190, 30);
    QTest::newRow("bottom taskbar: above it, clear of the taskbar")
        << QRect(1800, 1050, 24, 24) << QPoint() << fullHd << QRect(0, 0, 1920, 1040)
        << QPoint(1540, 1040 - 460);
    QTest::newRow("thin bottom taskbar: the gap above the icon")
        << QRect(1800, 1060, 16, 16) << QPoint() << fullHd << QRect(0, 0, 1920, 1058)
        << QPoint(1540, 1060 - 4 - 460);
    QTest::newRow("vertical panel on the left: beside the icon, outside the panel")
        << QRect(12, 500, 24, 24) << QPoint() << fullHd << QRect(48, 0, 1872, 1080)
        << QPoint(48, 512 - 230);
    QTest::newRow("vertical panel on the right")
        << QRect(1884, 500, 24, 24) << QPoint() << fullHd << QRect(0, 0, 1872, 1080)
        << QPoint(1872 - 380, 282);
    QTest::newRow("top-right corner, panel reserves no room: below, not beside")
        << QRect(1257, 1, 22, 22) << QPoint() << QRect(0, 0, 1280, 800) << QRect(0, 0, 1280, 800)
        << QPoint(1280 - 380, 23 + 4);
    QTest::newRow("left panel that reserves no room: beside the icon")
        << QRect(12, 500, 24, 24) << QPoint() << fullHd << fullHd << QPoint(36 + 4, 282);
    QTest::newRow("no icon geometry: under the pointer, below the top panel")
        << QRect() << QPoint(1000, 5) << fullHd << QRect(0, 28, 1920, 1052)
        << QPoint(1000 - 190, 28);
    QTest::newRow("no icon geometry, pointer at a bottom corner")
        << QRect() << QPoint(1919, 1079) << fullHd << QRect(0, 0, 1920, 1040)
        << QPoint(1540, 1040 - 460);
    QTest::newRow("second screen to the right of the first")
        << QRect(3150, 1000, 20, 20) << QPoint() << QRect(1920, 0, 1280, 1024)
        << QRect(1920, 0, 1280, 1024) << QPoint(1920 + 1280 - 380, 1000 - 4 - 460);
    QTest::newRow("screen smaller than the panel: its top-left corner shows")
        << QRect(280, 0, 20, 20) << QPoint() << QRect(0, 0, 300, 400) << QRect(0, 0, 300, 400)
        << QPoint(0, 0);
}

void TrayShellTest::placement() {
    QFETCH(QRect, icon);
    QFETCH(QPoint, cursor);
    QFETCH(QRect, screen);
    QFETCH(QRect, available);
    QFETCH(QPoint, expected);

    PopoverPlacement placement{icon, cursor, screen, available, QSize(380, 460)};
    QCOMPARE(placement.topLeft(), expected);
}

void TrayShellTest::placementStaysInsideTheAvailableArea() {
    // Every pointer position on a screen with a panel on each side.
    const QRect screen(-1280, 0, 1280, 800); // left of the primary screen
    const QRect available(-1280 + 40, 30, 1280 - 80, 800 - 60);
    for (int x = screen.left(); x <= screen.right(); x += 37) {
        for (int y = screen.top(); y <= screen.bottom(); y += 29) {
            PopoverPlacement placement{QRect(), QPoint(x, y), screen, available, QSize(380, 460)};
            const QRect panel(placement.topLeft(), placement.size);
            QVERIFY2(available.contains(panel),
                     qPrintable(QStringLiteral("pointer %1,%2").arg(x).arg(y)));
        }
    }
}

void TrayShellTest::missingDisplay_data() {
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("x11");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<QString>("reason"); // empty: starts; otherwise a part of the message

    QTest::newRow("nothing set") << QByteArray() << QByteArray() << QByteArray()
                                 << QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY");
    QTest::newRow("blank platform counts as unset")
        << QByteArray("  ") << QByteArray() << QByteArray() << QStringLiteral("neither");
    QTest::newRow("X11") << QByteArray() << QByteArray(":0") << QByteArray() << QString();
    QTest::newRow("Wayland") << QByteArray() << QByteArray() << QByteArray("wayland-0")
                             << QString();
    QTest::newRow("xcb asked, only Wayland there")
        << QByteArray("xcb") << QByteArray() << QByteArray("wayland-0")
        << QStringLiteral("QT_QPA_PLATFORM is xcb but DISPLAY is not set");
    QTest::newRow("xcb with options")
        << QByteArray("xcb:nograb") << QByteArray(":1") << QByteArray() << QString();
    QTest::newRow("xcb with options, no display")
        << QByteArray("xcb:nograb") << QByteArray() << QByteArray() << QStringLiteral("DISPLAY");
    QTest::newRow("wayland asked, only X11 there")
        << QByteArray("wayland") << QByteArray(":0") << QByteArray()
        << QStringLiteral("WAYLAND_DISPLAY is not set");
    QTest::newRow("fallback list reaches X11")
        << QByteArray("wayland;xcb") << QByteArray(":0") << QByteArray() << QString();
    QTest::newRow("offscreen needs no server")
        << QByteArray("offscreen") << QByteArray() << QByteArray() << QString();
}

void TrayShellTest::missingDisplay() {
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, x11);
    QFETCH(QByteArray, wayland);
    QFETCH(QString, reason);

    const QString found = DisplayCheck::missingDisplayReason([&](const char *name) {
        const QByteArray n(name);
        if (n == "QT_QPA_PLATFORM")
            return platform;
        if (n == "DISPLAY")
            return x11;
        if (n == "WAYLAND_DISPLAY")
            return wayland;
        return QByteArray();
    });
    if (reason.isEmpty())
        QCOMPARE(found, QString());
    else
        QVERIFY2(found.contains(reason), qPrintable(found));
}

void TrayShellTest::displayKey_data() {
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("x11");
    QTest::addColumn<QByteArray>("wayland");
    QTest::addColumn<QString>("key");

    QTest::newRow("local X server")
        << QByteArray("xcb") << QByteArray(":0") << QByteArray() << QStringLiteral("_0");
    QTest::newRow("screen number is the same server")
        << QByteArray("xcb") << QByteArray(":0.1") << QByteArray() << QStringLiteral("_0");
    QTest::newRow("remote X server") << QByteArray("xcb") << QByteArray("localhost:10.0")
                                     << QByteArray() << QStringLiteral("localhost_10");
    QTest::newRow("Wayland ignores DISPLAY")
        << QByteArray("wayland") << QByteArray(":0") << QByteArray("wayland-1")
        << QStringLiteral("wayland-1");
    QTest::newRow("Wayland default socket")
        << QByteArray("wayland") << QByteArray() << QByteArray() << QStringLiteral("wayland-0");
    QTest::newRow("no path separators get through") << QByteArray("xcb") << QByteArray("../../x:3")
                                                    << QByteArray() << QStringLiteral("______x_3");
}

void TrayShellTest::displayKey() {
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, x11);
    QFETCH(QByteArray, wayland);
    QFETCH(QString, key);
    QCOMPARE(SingleInstance::displayKey(platform, x11, wayland), key);
}

void TrayShellTest::secondInstanceAsksTheFirst() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("q.socket"));

    SingleInstance first(path);
    QCOMPARE(first.claim(), SingleInstance::Role::Primary);
    QVERIFY(first.isListening());
    QSignalSpy activations(&first, &SingleInstance::activationRequested);

    // Both live in this thread, so the first cannot answer while the second
    // waits; the second must not take silence for absence.
    SingleInstance second(path);
    QCOMPARE(second.claim(200ms), SingleInstance::Role::AlreadyRunning);
    QVERIFY(!second.isListening());
    QVERIFY(activations.wait(5000));
    QCOMPARE(activations.count(), 1);
}

void TrayShellTest::staleSocketIsTakenOver() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("q.socket"));
    QVERIFY(makeStaleSocket(path));

    SingleInstance instance(path);
    QCOMPARE(instance.claim(500ms), SingleInstance::Role::Primary);
    QVERIFY(instance.isListening());

    QLocalSocket client;
    client.connectToServer(path);
    QVERIFY(client.waitForConnected(2000));
}

void TrayShellTest::socketIsRemovedOnExit() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("q.socket"));
    {
        SingleInstance first(path);
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QVERIFY(QFile::exists(path));
    }
    QVERIFY(!QFile::exists(path));
    SingleInstance next(path);
    QCOMPARE(next.claim(), SingleInstance::Role::Primary);
}

void TrayShellTest::unusableSocketPathStillRuns() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SingleInstance instance(dir.filePath(QStringLiteral("missing/folder/q.socket")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot listen")));
    QCOMPARE(instance.claim(200ms), SingleInstance::Role::Primary);
    QVERIFY(!instance.isListening());
}

void TrayShellTest::otherRequestsAreIgnored() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("q.socket"));
    SingleInstance instance(path);
    QCOMPARE(instance.claim(), SingleInstance::Role::Primary);
    QSignalSpy activations(&instance, &SingleInstance::activationRequested);

    QLocalSocket client;
    client.connectToServer(path);
    QVERIFY(client.waitForConnected(2000));
    client.write("quit\n");
    QVERIFY(client.waitForBytesWritten(2000));
    // The server drops the connection after reading the line.
    QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 5000);
    QCOMPARE(activations.count(), 0);
}

QTEST_GUILESS_MAIN(TrayShellTest)
#include "tst_tray_shell.moc"
