#include "app/AboutWindowGeometry.h"

#include <algorithm>
#include <cmath>

namespace aboutgeometry {

QSize preferredWindowSize(const std::optional<QRect> &mainScreenArea)
{
    if (!mainScreenArea)
        return sizeWithoutScreen;
    const int width = int(std::floor(std::min(0.35 * mainScreenArea->width(), 550.0)));
    const int height = int(std::floor(std::min(0.7 * mainScreenArea->height(), 600.0)));
    return {width, height};
}

QPoint windowOrigin(const QRect &anchorFrame, const QSize &frameSize, const std::optional<QRect> &screenArea)
{
    // Centres in doubles: an odd width must not shift the window by a pixel each time.
    const QPointF centre = QRectF(anchorFrame).center();
    int x = int(std::lround(centre.x() - frameSize.width() / 2.0));
    int y = int(std::lround(centre.y() - frameSize.height() / 2.0));
    if (!screenArea)
        return {x, y};

    const QRect &area = *screenArea;
    const int left = area.x() + screenMargin;
    const int right = area.x() + area.width() - screenMargin - frameSize.width();
    const int top = area.y() + screenMargin;
    const int bottom = area.y() + area.height() - screenMargin - frameSize.height();
    // The bound applied last wins when the window is too big: the left edge,
    // and the bottom edge (the screen's lower margin).
    x = std::max(left, std::min(right, x));
    y = std::min(bottom, std::max(top, y));
    return {x, y};
}

} // namespace aboutgeometry
