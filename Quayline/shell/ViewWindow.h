#pragma once

#include <QQuickView>
#include <QVariantMap>

// A window that shows one of the QML views at its fixed size. The views are
// made for one size only, so the window cannot be resized; its background
// follows the desktop's palette so that the views read well in light and
// dark themes.
class ViewWindow : public QQuickView {
    Q_OBJECT

public:
    explicit ViewWindow(QQmlEngine *engine);

    // Creates the view with its required properties. Returns the QML errors
    // (empty on success); a view that does not load leaves the program useless,
    // so callers report them and end.
    QString load(const QUrl &source, const QVariantMap &requiredProperties);

    // Tells the view that it came on screen (its function shown()).
    void notifyShown();

protected:
    bool event(QEvent *event) override;

private:
    void followPalette();
};
