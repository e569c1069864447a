#pragma once

#include <QIcon>
#include <QImage>
#include <QList>
#include <QString>

// The tray glyph as images. Trays draw pixmaps as they are, on panels light
// or dark that the program cannot see, so the glyph is light with a dark
// rim: the rim carries it on a light panel, the body on a dark one.
namespace TrayGlyph {

inline const QColor body(0xf4, 0xf4, 0xf4);
inline const QColor rim(0x1c, 0x1c, 0x1c, 0xe0);

// The monochrome SVG at the sizes trays ask for; empty when it cannot be read.
QList<QImage> images(const QString &svgPath);
QIcon icon(const QList<QImage> &images);

// The name under which the installed, theme-coloured glyph is found, with the
// folder to look in when it is not in the standard ones; empty names when
// the program is not installed.
struct ThemeIcon {
    QString name;
    QString themePath;
};
ThemeIcon installedThemeIcon();

} // namespace TrayGlyph
