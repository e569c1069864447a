#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where the panel goes: against the icon on the side away from the screen
// edge that holds the tray, kept wholly inside the screen's available area.
// Trays that tell nothing about their icon get the same treatment around the
// point of the click: the one a StatusNotifier host reports, or else the
// pointer. Where the panel is taller than the room there is, it gets shorter,
// down to minimumHeight; below that it overlaps the icon rather than leave
// the screen.
struct PopoverPlacement {
    QRect iconGeometry;      // empty when the tray does not say
    QPoint cursor;           // the click: reported by the host, or the pointer
    QRect screenGeometry;    // the whole screen that holds the icon or click
    QRect availableGeometry; // the same screen without panels and docks
    QSize size;              // the panel's natural size
    int gap = 4;             // between icon and panel
    int minimumHeight = 200; // the shortest panel that still shows a few rows

    // The panel's place and size: never larger than its natural size, and
    // inside the available area whenever that is at least as large.
    QRect geometry() const;
};
