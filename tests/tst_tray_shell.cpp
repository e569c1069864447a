// The tray program's logic outside the views: where the panel goes, when there
// is no display to start on, and the one-instance guard.
#include "Quayline/shell/DisplayCheck.h"
#include "Quayline/shell/PopoverPlacement.h"
#include "Quayline/shell/SingleInstance.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

class TrayShellTest : public QObject {
    Q_OBJECT

private slots:
    void placement_data() {
        QTest::addColumn<QRect>("icon"); // empty: the tray does not say, the pointer counts
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("expected");
        const QRect hd(0, 0, 1920, 1080);
        QTest::newRow("top panel, icon at the right edge: below, pulled in")
            << QRect(1880, 2, 24, 24) << QPoint() << hd << QRect(0, 28, 1920, 1052)
            << QPoint(1540, 30);
        QTest::newRow("bottom taskbar: above it") << QRect(1800, 1050, 24, 24) << QPoint() << hd
                                                  << QRect(0, 0, 1920, 1040) << QPoint(1540, 580);
        QTest::newRow("left panel reserving no room: beside the icon")
            << QRect(12, 500, 24, 24) << QPoint() << hd << hd << QPoint(40, 282);
        QTest::newRow("top-right corner, no room reserved: below, not beside")
            << QRect(1257, 1, 22, 22) << QPoint() << QRect(0, 0, 1280, 800)
            << QRect(0, 0, 1280, 800) << QPoint(900, 27);
        QTest::newRow("no icon geometry: under the pointer, clear of the top panel")
            << QRect() << QPoint(1000, 5) << hd << QRect(0, 28, 1920, 1052) << QPoint(810, 28);
    }

    void placement() {
        QFETCH(QRect, icon);
        QFETCH(QPoint, pointer);
        QFETCH(QRect, screen);
        QFETCH(QRect, available);
        PopoverPlacement placement{icon, pointer, screen, available, QSize(380, 460)};
        QTEST(placement.topLeft(), "expected");
    }

    void missingDisplay_data() {
        QTest::addColumn<QByteArrayList>("env"); // QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY
        QTest::addColumn<QString>("reason");     // empty: starts
        QTest::newRow("nothing") << QByteArrayList{"", "", ""} << "neither DISPLAY nor";
        QTest::newRow("X11") << QByteArrayList{"", ":0", ""} << "";
        QTest::newRow("Wayland") << QByteArrayList{"", "", "wayland-0"} << "";
        QTest::newRow("xcb, only Wayland")
            << QByteArrayList{"xcb:nograb", "", "wayland-0"} << "xcb:nograb but DISPLAY is not set";
        QTest::newRow("fallback list reaches X11") << QByteArrayList{"wayland;xcb", ":0", ""} << "";
        QTest::newRow("offscreen needs no server") << QByteArrayList{"offscreen", "", ""} << "";
    }

    void missingDisplay() {
        QFETCH(QByteArrayList, env);
        QFETCH(QString, reason);
        const QString found = DisplayCheck::missingDisplayReason([&](const char *name) {
            return env.value(
                QByteArrayList{"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}.indexOf(name));
        });
        QVERIFY2(reason.isEmpty() ? found.isEmpty() : found.contains(reason), qPrintable(found));
    }

    // A second start asks the first to show its panel and ends.
    void secondInstanceAsksTheFirst() {
        QTemporaryDir dir;
        const QString path = dir.filePath("q.socket");
        SingleInstance first(path);
        QCOMPARE(first.claim(), SingleInstance::Role::Primary);
        QSignalSpy activations(&first, &SingleInstance::activationRequested);
        // Both live in this thread, so the first cannot answer while the
        // second waits; the second must not take silence for absence.
        SingleInstance second(path);
        QCOMPARE(second.claim(200ms), SingleInstance::Role::AlreadyRunning);
        QVERIFY(activations.wait(5000));
    }
};

QTEST_GUILESS_MAIN(TrayShellTest)
#include "tst_tray_shell.moc"
