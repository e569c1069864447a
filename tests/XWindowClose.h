#pragma once

#include <QByteArray>

// Asks an X window to close the way a window manager's close button does
// (a WM_DELETE_WINDOW message). The test's X server runs no window manager,
// and xdotool only offers to destroy windows, which no program survives.
bool requestWindowClose(const QByteArray &display, unsigned long window);
