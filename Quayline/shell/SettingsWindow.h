#pragma once

#include "Quayline/shell/ViewWindow.h"

// The one settings window. Opening it again raises it instead of making a second one.
class SettingsWindow : public ViewWindow {
    Q_OBJECT

public:
    explicit SettingsWindow(QQmlEngine *engine);

    // Shows the window, or raises it when it is already open, and gives it the
    // focus. The view's shown() runs each time the window comes on screen, so
    // that it reads the login item's state afresh.
    void open();
};
