#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

// Where the About window goes, as plain arithmetic in Qt's screen coordinates
// (origin top left, y growing downwards).
namespace aboutgeometry {

constexpr int screenMargin = 20;
constexpr QSize sizeWithoutScreen{550, 600};

// The window's content size: 35 % of the main screen's available width and
// 70 % of its height, at most 550 by 600; 550 by 600 when there is no screen.
QSize preferredWindowSize(const std::optional<QRect> &mainScreenArea);

// The top left of the window's frame (`frameSize`, title bar included) so that
// it shares its centre with the anchor window's frame, kept 20 pixels inside
// the available area of the anchor's screen. A window that cannot fit keeps
// its left edge and its bottom edge inside. Without a screen it is not clamped.
QPoint windowOrigin(const QRect &anchorFrame, const QSize &frameSize, const std::optional<QRect> &screenArea);

} // namespace aboutgeometry
