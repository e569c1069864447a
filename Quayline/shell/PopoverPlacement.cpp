#include "Quayline/shell/PopoverPlacement.h"

#include <algorithm>
#include <cstdlib>

namespace {

// As large as the largest tray icons.
constexpr int largestIcon = 64;

// Keeps [start, start + length) inside [low, high); when it cannot fit, its
// start edge is shown.
int clampSpan(int start, int length, int low, int high) {
    return std::max(low, std::min(start, high - length));
}

} // namespace

QRect PopoverPlacement::cornerGeometry() const {
    const QRect screen = screenGeometry.isValid() ? screenGeometry : availableGeometry;
    const QRect area = availableGeometry.isValid() ? availableGeometry : screen;
    const int height = std::max(std::min(size.height(), area.height()), 0);
    // The tray is on the panel that reserves room at an edge: top and bottom
    // panels, the common ones, keep it at their right end, side panels at
    // their bottom end; a top panel wins over a bottom one. With none
    // reserved (a panel that overlaps windows) the top right, GNOME's place.
    const bool top = area.top() > screen.top();
    const bool bottom = area.bottom() < screen.bottom();
    const bool left = area.left() > screen.left();
    const bool right = area.right() < screen.right();
    const bool sidePanel = !top && !bottom && (left || right);
    const bool atLeft = sidePanel && left;
    const bool atBottom = (bottom && !top) || sidePanel;
    const int x = atLeft ? area.left() : area.left() + area.width() - size.width();
    const int y = atBottom ? area.top() + area.height() - height : area.top();
    return {std::max(x, area.left()), y, size.width(), height};
}

bool PopoverPlacement::isTrustedClick(QPoint click, QRect screen, QRect available,
                                      std::optional<QPoint> lastTrusted) {
    if (!screen.isValid() || !screen.contains(click))
        return false;
    if (!inOriginBox(click, screen))
        return true;
    if (lastTrusted)
        return inOriginBox(*lastTrusted, screen);
    const QRect area = available.isValid() ? available : screen;
    return area.top() > screen.top() || area.left() > screen.left();
}

bool PopoverPlacement::inOriginBox(QPoint position, QRect screen) {
    return QRect(screen.topLeft(), QSize(largestIcon, largestIcon)).contains(position);
}

QPoint PopoverPlacement::hostClick(QPoint reported, std::optional<QPoint> pointer) {
    if (!pointer)
        return reported;
    // Hosts that report the icon's corner, or its middle, stay within an
    // icon's size of the pointer that clicked it.
    const QPoint apart = reported - *pointer;
    return std::max(std::abs(apart.x()), std::abs(apart.y())) > largestIcon ? *pointer : reported;
}

QRect PopoverPlacement::geometry() const {
    if (iconGeometry.isEmpty() && cursor.isNull())
        return cornerGeometry();
    const QRect anchor = iconGeometry.isEmpty() ? QRect(cursor, QSize(1, 1)) : iconGeometry;
    const QRect screen = screenGeometry.isValid() ? screenGeometry : availableGeometry;
    const QRect area = availableGeometry.isValid() ? availableGeometry : screen;
    // QRect::center() rounds down twice; a 24-pixel icon at 948 has its middle at 960.
    const QPoint centre(anchor.left() + anchor.width() / 2, anchor.top() + anchor.height() / 2);

    // Which side of the anchor the panel goes to. A panel that reserves its
    // room tells by lying outside the available area; otherwise the nearest
    // screen edge decides, with the top and bottom edges winning near a
    // corner, since horizontal panels are the common ones.
    enum class Side { Below, Above, RightOf, LeftOf } side;
    if (anchor.bottom() < area.top()) {
        side = Side::Below;
    } else if (anchor.top() > area.bottom()) {
        side = Side::Above;
    } else if (anchor.right() < area.left()) {
        side = Side::RightOf;
    } else if (anchor.left() > area.right()) {
        side = Side::LeftOf;
    } else {
        const int toTop = centre.y() - screen.top();
        const int toBottom = screen.bottom() - centre.y();
        const int toLeft = centre.x() - screen.left();
        const int toRight = screen.right() - centre.x();
        if (2 * std::min(toLeft, toRight) < std::min(toTop, toBottom))
            side = toLeft <= toRight ? Side::RightOf : Side::LeftOf;
        else
            side = toTop <= toBottom ? Side::Below : Side::Above;
    }

    // The height: what the area holds, and on a side above or below the
    // anchor what that side holds, unless that would leave too little.
    int height = std::min(size.height(), area.height());
    const int areaEnd = area.top() + area.height();
    if (side == Side::Below || side == Side::Above) {
        const int room = side == Side::Below
                             ? areaEnd - std::max(area.top(), anchor.bottom() + 1 + gap)
                             : std::min(areaEnd, anchor.top() - gap) - area.top();
        if (room < height && room >= std::min(minimumHeight, height))
            height = room;
    }
    height = std::max(height, 0);

    int x = centre.x() - size.width() / 2;
    int y = centre.y() - height / 2;
    switch (side) {
    case Side::Below:
        y = anchor.bottom() + 1 + gap;
        break;
    case Side::Above:
        y = anchor.top() - gap - height;
        break;
    case Side::RightOf:
        x = anchor.right() + 1 + gap;
        break;
    case Side::LeftOf:
        x = anchor.left() - gap - size.width();
        break;
    }

    return {clampSpan(x, size.width(), area.left(), area.left() + area.width()),
            clampSpan(y, height, area.top(), areaEnd), size.width(), height};
}
