#include "Quayline/shell/TrayGlyph.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <cmath>

namespace TrayGlyph {

namespace {

QImage tinted(QSvgRenderer &renderer, int side, const QColor &colour) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // A margin for the rim.
    const qreal margin = std::max(1.0, side / 16.0);
    renderer.render(&painter, QRectF(margin, margin, side - 2 * margin, side - 2 * margin));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), colour);
    return image;
}

} // namespace

QList<QImage> images(const QString &svgPath) {
    QSvgRenderer renderer(svgPath);
    if (!renderer.isValid())
        return {};
    QList<QImage> result;
    for (const int side : {16, 22, 24, 32, 48, 64}) {
        const QImage shape = tinted(renderer, side, body);
        const QImage shadow = tinted(renderer, side, rim);
        QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        // The rim: the shape in the dark colour, spread by about a pixel at
        // 16 and proportionally more at larger sizes.
        const int spread = std::max(1, int(std::lround(side / 16.0)));
        for (int dy = -spread; dy <= spread; ++dy)
            for (int dx = -spread; dx <= spread; ++dx)
                if (dx * dx + dy * dy <= spread * spread + 1 && (dx || dy))
                    painter.drawImage(QPoint(dx, dy), shadow);
        painter.drawImage(QPoint(0, 0), shape);
        painter.end();
        result.append(image);
    }
    return result;
}

QIcon icon(const QList<QImage> &images) {
    QIcon icon;
    for (const QImage &image : images)
        icon.addPixmap(QPixmap::fromImage(image));
    return icon;
}

ThemeIcon installedThemeIcon() {
    const QString name = QStringLiteral("quayline-symbolic");
    const QString file = QStringLiteral("icons/hicolor/scalable/apps/%1.svg").arg(name);
    // Installed under another prefix than the desktop's data folders: tell
    // the host where.
    const QDir prefix(QCoreApplication::applicationDirPath() + QStringLiteral("/../share"));
    if (QFileInfo::exists(prefix.filePath(file)))
        return {name, QDir::cleanPath(prefix.filePath(QStringLiteral("icons")))};
    if (!QStandardPaths::locate(QStandardPaths::GenericDataLocation, file).isEmpty())
        return {name, {}};
    return {};
}

} // namespace TrayGlyph
