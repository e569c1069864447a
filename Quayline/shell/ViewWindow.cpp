#include "Quayline/shell/ViewWindow.h"

#include <QGuiApplication>
#include <QPalette>
#include <QQmlError>
#include <QQuickItem>

ViewWindow::ViewWindow(QQmlEngine *engine)
    : QQuickView(engine, nullptr) {
    setResizeMode(QQuickView::SizeViewToRootObject);
    followPalette();
}

QString ViewWindow::load(const QUrl &source, const QVariantMap &requiredProperties) {
    setInitialProperties(requiredProperties);
    setSource(source);
    QStringList problems;
    for (const QQmlError &error : errors())
        problems << error.toString();
    if (!rootObject() && problems.isEmpty())
        problems << QStringLiteral("%1: no view was created").arg(source.toString());
    if (!problems.isEmpty())
        return problems.join(u'\n');

    const QSize fixed(qRound(rootObject()->width()), qRound(rootObject()->height()));
    setMinimumSize(fixed);
    setMaximumSize(fixed);
    resize(fixed);
    return {};
}

void ViewWindow::notifyShown() {
    if (QQuickItem *root = rootObject())
        QMetaObject::invokeMethod(root, "shown");
}

bool ViewWindow::event(QEvent *event) {
    if (event->type() == QEvent::ApplicationPaletteChange)
        followPalette();
    return QQuickView::event(event);
}

void ViewWindow::followPalette() {
    setColor(QGuiApplication::palette().color(QPalette::Active, QPalette::Window));
}
