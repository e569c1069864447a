#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <optional>

// Where the panel goes: against the icon on the side away from the screen
// edge that holds the tray, kept wholly inside the screen's available area.
// Trays that tell nothing about their icon get the same treatment around the
// point of the click: the one a StatusNotifier host reports, or else the
// pointer. Where the panel is taller than the room there is, it gets shorter,
// down to minimumHeight; below that it overlaps the icon rather than leave
// the screen. With neither an icon nor a click to go by, it goes into the
// corner of the available area nearest the tray, at its full height.
struct PopoverPlacement {
    QRect iconGeometry;      // empty when the tray does not say
    QPoint cursor;           // the click: reported by the host, or the pointer; null when unknown
    QRect screenGeometry;    // the whole screen that holds the icon or click
    QRect availableGeometry; // the same screen without panels and docks
    QSize size;              // the panel's natural size
    int gap = 4;             // between icon and panel
    int minimumHeight = 200; // the shortest panel that still shows a few rows

    // The panel's place and size: never larger than its natural size, and
    // inside the available area whenever that is at least as large.
    QRect geometry() const;

    // Whether a click position a tray host reported can be where its icon
    // is: it lies on a screen (screen is that screen, invalid when there is
    // none), and it is not in the origin box (below) while the tray is
    // elsewhere: the last trusted click lies outside that box, or no panel
    // holds the screen's top-left corner.
    static bool isTrustedClick(QPoint click, QRect screen, QRect available,
                               std::optional<QPoint> lastTrusted);
    // Whether a position lies in the small box at the screen's top-left
    // corner, as large as the largest tray icons, where some hosts report
    // positions inside their icon instead of on the screen.
    static bool inOriginBox(QPoint position, QRect screen);
    // Where a click that a tray host reported was, given the pointer at the
    // moment the report came, where the program can know it (X11: under
    // XWayland the pointer is wherever it last crossed an X11 window). A
    // reported position farther from the pointer than a tray icon is large
    // is not the icon's (mate-panel reports (0, 25) for a click at the top
    // right): the pointer is taken instead.
    static QPoint hostClick(QPoint reported, std::optional<QPoint> pointer);

private:
    QRect cornerGeometry() const;
};
