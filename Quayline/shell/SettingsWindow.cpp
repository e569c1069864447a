#include "Quayline/shell/SettingsWindow.h"

SettingsWindow::SettingsWindow(QQmlEngine *engine)
    : ViewWindow(engine) {
    setTitle(tr("Quayline Settings"));
    setFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
             Qt::WindowCloseButtonHint);
}

void SettingsWindow::open() {
    const bool appearing = !isVisible();
    if (appearing)
        show();
    raise();
    requestActivate();
    if (appearing)
        notifyShown();
}
