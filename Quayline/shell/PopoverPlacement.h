#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where the panel goes: against the icon on the side away from the screen
// edge that holds the tray, kept wholly inside the screen's available area.
// Trays that tell nothing about their icon (StatusNotifier hosts) get the
// same treatment around the pointer, which is where the user just clicked.
struct PopoverPlacement {
    QRect iconGeometry;      // empty when the tray does not say
    QPoint cursor;           // global pointer position
    QRect screenGeometry;    // the whole screen that holds the icon or pointer
    QRect availableGeometry; // the same screen without panels and docks
    QSize size;              // the panel's size
    int gap = 4;             // between icon and panel

    // The panel's top-left corner, in global coordinates.
    QPoint topLeft() const;
};
