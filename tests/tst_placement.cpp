// Where the panel goes and how tall it is, the tray glyph's legibility, and
// what the program makes of the display variables.
#include "Quayline/shell/DisplayCheck.h"
#include "Quayline/shell/PlatformChoice.h"
#include "Quayline/shell/PopoverPlacement.h"
#include "Quayline/shell/StatusNotifierTypes.h"
#include "Quayline/shell/TrayGlyph.h"
#include "Quayline/shell/WlrootsBar.h"

#include <QPainter>
#include <QTest>
#include <cmath>

namespace {

// WCAG contrast ratio of an opaque colour against another.
double contrast(QColor a, QColor b) {
    auto luminance = [](QColor c) {
        auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

class PlacementTest : public QObject {
    Q_OBJECT

private slots:
    void geometry_data() {
        QTest::addColumn<QRect>("icon"); // empty: the click point counts
        QTest::addColumn<QPoint>("click");
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("expected");
        const QRect hd(0, 0, 1920, 1080);
        const QRect topPanel(0, 28, 1920, 1052), bottomPanel(0, 0, 1920, 1040);
        // The scale-2 case: 1280x800 pixels are 640x400 logical ones, and a
        // 24-pixel top panel is 12 of them.
        const QRect small(0, 0, 640, 400);

        QTest::newRow("bottom-left corner click: above the taskbar")
            << QRect() << QPoint(5, 1075) << hd << bottomPanel << QRect(0, 580, 380, 460);
        QTest::newRow("left panel with its room reserved: right of it")
            << QRect() << QPoint(20, 500) << hd << QRect(48, 0, 1872, 1080)
            << QRect(48, 270, 380, 460);
        QTest::newRow("right edge, nothing reserved: left of the click")
            << QRect() << QPoint(1910, 500) << hd << hd << QRect(1526, 270, 380, 460);
        QTest::newRow("second screen to the right: inside that screen")
            << QRect() << QPoint(3190, 10) << QRect(1920, 0, 1280, 800)
            << QRect(1920, 24, 1280, 776) << QRect(2820, 24, 380, 460);
        QTest::newRow("screen left of the primary, negative coordinates")
            << QRect() << QPoint(-1270, 1010) << QRect(-1280, 0, 1280, 1024)
            << QRect(-1280, 0, 1280, 1000) << QRect(-1280, 540, 380, 460);
        QTest::newRow("X11 icon at the right edge under a top panel: below, pulled in")
            << QRect(1880, 2, 24, 24) << QPoint() << hd << topPanel << QRect(1540, 30, 380, 460);
        // A panel that reserves no room: clamping to the area would hide a wrong side.
        QTest::newRow("X11 icon on a bottom panel reserving no room: above it")
            << QRect(1800, 1050, 24, 24) << QPoint() << hd << hd << QRect(1540, 586, 380, 460);
        QTest::newRow("X11 icon on a left panel reserving no room: beside it")
            << QRect(12, 500, 24, 24) << QPoint() << hd << hd << QRect(40, 282, 380, 460);
        QTest::newRow("X11 icon in the top-right corner, no room reserved: below, not beside")
            << QRect(1257, 1, 22, 22) << QPoint() << QRect(0, 0, 1280, 800)
            << QRect(0, 0, 1280, 800) << QRect(900, 27, 380, 460);
        QTest::newRow("small screen, top panel: shorter, below the panel")
            << QRect() << QPoint(630, 6) << small << QRect(0, 12, 640, 388)
            << QRect(260, 12, 380, 388);
        QTest::newRow("small screen, bottom panel: shorter, above it")
            << QRect() << QPoint(600, 390) << small << QRect(0, 0, 640, 380)
            << QRect(260, 0, 380, 380);
        QTest::newRow("small screen, top panel reserving nothing: below the click")
            << QRect() << QPoint(630, 6) << small << small << QRect(260, 11, 380, 389);
        QTest::newRow("too little room either side: the whole height, over the click")
            << QRect() << QPoint(300, 150) << QRect(0, 0, 640, 300) << QRect(0, 0, 640, 300)
            << QRect(110, 0, 380, 300);
        // Nothing to go by (GNOME's menu, a host's own menu): the tray's corner, full height.
        const QRect gnome(0, 0, 1280, 800);
        QTest::newRow("no click, bottom taskbar: bottom right above it")
            << QRect() << QPoint() << hd << bottomPanel << QRect(1540, 580, 380, 460);
        QTest::newRow("no click, top bar and bottom dock: the top bar's corner")
            << QRect() << QPoint() << gnome << QRect(0, 32, 1280, 720) << QRect(900, 32, 380, 460);
        QTest::newRow("no click, left panel: bottom left beside it")
            << QRect() << QPoint() << hd << QRect(48, 0, 1872, 1080) << QRect(48, 620, 380, 460);
        QTest::newRow("no click, nothing reserved: top right")
            << QRect() << QPoint() << gnome << gnome << QRect(900, 0, 380, 460);
        QTest::newRow("no click, small screen: as tall as the area, not shrunk further")
            << QRect() << QPoint() << small << QRect(0, 12, 640, 388) << QRect(260, 12, 380, 388);
    }

    void geometry() {
        QFETCH(QRect, icon);
        QFETCH(QPoint, click);
        QFETCH(QRect, available);
        QFETCH(QRect, expected);
        PopoverPlacement placement{icon, click, QRect(), available, QSize(380, 460)};
        QFETCH(QRect, screen);
        placement.screenGeometry = screen;
        const QRect found = placement.geometry();
        QCOMPARE(found, expected);
        QVERIFY(available.contains(found));
    }

    // Which reported click positions are kept as the icon's place. Some hosts
    // send the position inside the icon (8, 14), which would open the panel
    // in the screen's top-left corner far from a tray elsewhere; mate-panel
    // one that is neither the icon's nor the pointer's. On X11 the pointer at
    // the moment of the report is known (null: not known, as under XWayland).
    void trustedClick_data() {
        QTest::addColumn<QPoint>("click");
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("last"); // null: none yet
        QTest::addColumn<QPoint>("kept"); // null: none
        const QRect topBar(0, 32, 1280, 768), free(0, 0, 1280, 800);
        const QRect mate(0, 25, 1280, 750); // a top and a bottom panel
        const QPoint none;
        QTest::newRow("on the top bar at the right")
            << QPoint(1200, 12) << none << topBar << none << QPoint(1200, 12);
        QTest::newRow("inside the icon, nothing reserved at the corner")
            << QPoint(8, 14) << none << free << none << none;
        QTest::newRow("inside the icon, tray seen elsewhere before")
            << QPoint(8, 14) << none << topBar << QPoint(1200, 12) << none;
        QTest::newRow("corner of a top bar that holds the tray at its left")
            << QPoint(8, 14) << none << topBar << none << QPoint(8, 14);
        QTest::newRow("corner again, the tray was there before")
            << QPoint(10, 12) << none << free << QPoint(8, 14) << QPoint(10, 12);
        QTest::newRow("just outside the box")
            << QPoint(64, 14) << none << free << none << QPoint(64, 14);
        QTest::newRow("off every screen") << QPoint(-5, 900) << none << free << none << none;
        QTest::newRow("MATE reports (0, 25) for a click at the top right")
            << QPoint(0, 25) << QPoint(1141, 11) << mate << none << QPoint(1141, 11);
        QTest::newRow("MATE again after a click elsewhere on its panel")
            << QPoint(0, 25) << QPoint(1141, 11) << mate << QPoint(600, 12) << QPoint(1141, 11);
        QTest::newRow("X11 host reporting the pointer (LXQt, Plasma)")
            << QPoint(1200, 12) << QPoint(1200, 12) << topBar << none << QPoint(1200, 12);
        QTest::newRow("X11 host reporting the icon's corner, pointer moved on a bit")
            << QPoint(1176, 0) << QPoint(1230, 40) << topBar << none << QPoint(1176, 0);
        QTest::newRow("X11 host in the top-left corner, pointer there too")
            << QPoint(8, 14) << QPoint(12, 10) << topBar << none << QPoint(8, 14);
    }

    void trustedClick() {
        QFETCH(QPoint, click);
        QFETCH(QPoint, pointer);
        QFETCH(QRect, available);
        QFETCH(QPoint, last);
        const QRect screen(0, 0, 1280, 800);
        const QPoint position = PopoverPlacement::hostClick(
            click, pointer.isNull() ? std::nullopt : std::optional<QPoint>(pointer));
        const bool trusted = PopoverPlacement::isTrustedClick(
            position, screen.contains(position) ? screen : QRect(), available,
            last.isNull() ? std::nullopt : std::optional<QPoint>(last));
        QTEST(trusted ? position : QPoint(), "kept");
    }

    // What the program makes of the display variables: the Qt platform it
    // asks for (empty: Qt's own choice) and why it cannot start (part of the
    // message; empty: it starts).
    void platform_data() {
        QTest::addColumn<QByteArrayList>("env"); // QT_QPA_PLATFORM, DISPLAY, WAYLAND_DISPLAY
        QTest::addColumn<QByteArray>("chosen");
        QTest::addColumn<QString>("missing");
        const auto row = [](const char *tag, QByteArrayList env, QByteArray chosen = {},
                            QString missing = {}) {
            QTest::newRow(tag) << env << chosen << missing;
        };
        row("nothing", {"", "", ""}, {}, "neither DISPLAY nor");
        row("X11 session", {"", ":0", ""});
        row("Wayland with XWayland", {"", ":0", "wayland-0"}, "xcb;wayland");
        row("Wayland only", {"", "", "wayland-0"});
        row("the user chose wayland", {"wayland", ":0", "wayland-0"});
        row("xcb, only Wayland", {"xcb:nograb", "", "wayland-0"}, {},
            "xcb:nograb but DISPLAY is not set");
        row("fallback list reaches X11", {"wayland;xcb", ":0", ""});
        row("offscreen needs no server", {"offscreen", "", ""});
    }

    void platform() {
        QFETCH(QByteArrayList, env);
        QFETCH(QString, missing);
        const auto getenv = [&](const char *name) {
            return env.value(
                QByteArrayList{"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}.indexOf(name));
        };
        QTEST(PlatformChoice::preferredPlatform(getenv), "chosen");
        const QString found = DisplayCheck::missingDisplayReason(getenv);
        QVERIFY2(missing.isEmpty() ? found.isEmpty() : found.contains(missing), qPrintable(found));
    }

    // On the wlroots compositors the bar is known only by the area it leaves
    // free (sway's workspace rectangle), and waybar reports a position inside
    // the icon: the panel still opens against the bar, at the tray's end.
    void wlrootsPanel_data() {
        QTest::addColumn<QRect>("usable");    // empty: no compositor told
        QTest::addColumn<QPoint>("reported"); // null: nothing reported yet
        QTest::addColumn<QRect>("expected");
        const QRect topBar(0, 26, 1280, 774), bottomBar(0, 0, 1280, 774);
        QTest::newRow("top bar, a position inside the icon")
            << topBar << QPoint(8, 14) << QRect(900, 26, 380, 460);
        QTest::newRow("top bar, a position on the screen in the bar")
            << topBar << QPoint(1000, 12) << QRect(810, 26, 380, 460);
        QTest::newRow("top bar, a position below the bar cannot be the icon's")
            << topBar << QPoint(640, 400) << QRect(900, 26, 380, 460);
        QTest::newRow("bottom bar, a position inside the icon")
            << bottomBar << QPoint(8, 14) << QRect(900, 314, 380, 460);
        QTest::newRow("bar at the left edge")
            << QRect(30, 0, 1250, 800) << QPoint(8, 14) << QRect(30, 340, 380, 460);
        QTest::newRow("bar at the right edge")
            << QRect(0, 0, 1250, 800) << QPoint() << QRect(870, 340, 380, 460);
        QTest::newRow("no bar known, a position inside the icon")
            << QRect() << QPoint(8, 14) << QRect(900, 5, 380, 460);
        QTest::newRow("no bar known, a screen position")
            << QRect() << QPoint(1000, 790) << QRect(810, 326, 380, 460);
    }

    void wlrootsPanel() {
        QFETCH(QRect, usable);
        QFETCH(QPoint, reported);
        PopoverPlacement placement;
        placement.screenGeometry = QRect(0, 0, 1280, 800);
        placement.availableGeometry = usable.isValid() ? usable : placement.screenGeometry;
        placement.size = QSize(380, 460);
        placement.cursor =
            WlrootsBar::trayAnchor(placement.screenGeometry, usable,
                                   reported.isNull() ? std::nullopt : std::optional(reported));
        QTEST(placement.geometry(), "expected");
    }

    void wlrootsSession_data() {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QByteArrayList>("env"); // WAYLAND_DISPLAY, SWAYSOCK, XDG_CURRENT_DESKTOP
        QTest::addColumn<bool>("wlroots");
        QTest::newRow("sway, XWayland")
            << "xcb" << QByteArrayList{"wayland-1", "/run/s.sock", ""} << true;
        QTest::newRow("sway, native Wayland")
            << "wayland" << QByteArrayList{"wayland-1", "/run/s.sock", ""} << true;
        QTest::newRow("another wlroots compositor, native Wayland")
            << "wayland" << QByteArrayList{"wayland-1", "", "labwc"} << false;
        QTest::newRow("labwc among others")
            << "xcb" << QByteArrayList{"wayland-1", "", "foo:labwc"} << true;
        QTest::newRow("GNOME, XWayland")
            << "xcb" << QByteArrayList{"wayland-0", "", "GNOME"} << false;
        QTest::newRow("X11 session, a stale SWAYSOCK")
            << "xcb" << QByteArrayList{"", "/run/s.sock", "XFCE"} << false;
    }

    void wlrootsSession() {
        QFETCH(QString, platform);
        QFETCH(QByteArrayList, env);
        const QByteArrayList names{"WAYLAND_DISPLAY", "SWAYSOCK", "XDG_CURRENT_DESKTOP"};
        QTEST(WlrootsBar::isWlrootsSession(
                  [&](const char *name) { return env.value(names.indexOf(name)); }, platform),
              "wlroots");
    }

    // The glyph must stand out on light and dark panels alike: at every size
    // a good share of its pixels contrast strongly with either background.
    // Greys, not white and black: what reads on them reads on those too.
    void glyphReadsOnAnyPanel_data() {
        QTest::addColumn<QColor>("panel");
        QTest::newRow("light grey panel") << QColor(0xdd, 0xdd, 0xdd);
        QTest::newRow("dark grey panel") << QColor(0x30, 0x30, 0x30);
    }

    void glyphReadsOnAnyPanel() {
        QFETCH(QColor, panel);
        const QList<QImage> images = TrayGlyph::images(":/Quayline/icons/powerplug.svg");
        QCOMPARE(images.size(), 6);
        for (const QImage &image : images) {
            QImage shown(image.size(), QImage::Format_RGB32);
            shown.fill(panel);
            QPainter(&shown).drawImage(0, 0, image);
            int legible = 0;
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x)
                    legible += contrast(shown.pixelColor(x, y), panel) >= 4.5;
            QVERIFY2(
                legible >= image.width() * image.height() / 10,
                qPrintable(
                    QStringLiteral("%1 px: %2 legible pixels").arg(image.width()).arg(legible)));
        }
    }

    // The icon data goes out as ARGB32 in network byte order whatever the
    // machine's own order is.
    void pixmapByteOrder() {
        QImage image(2, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, 0x80102030);
        image.setPixel(1, 0, 0xff000000);
        const SniPixmap pixmap = SniPixmap::fromImage(image);
        QCOMPARE(pixmap.pixels, QByteArray("\x80\x10\x20\x30\xff\x00\x00\x00", 8));
        QCOMPARE(pixmap.toImage(), image);
    }
};

QTEST_MAIN(PlacementTest)
#include "tst_placement.moc"
