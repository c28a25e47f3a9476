#pragma once

#include <array>

#include "window/layout.h"

namespace thermo {

// Geometry of the window in logical pixels (96 dpi; a high-DPI screen scales these by its
// device-pixel ratio). Every conversion from twips goes through these functions so that the
// window, the screenshot tool and the tests agree to the pixel.

struct PixelRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    constexpr int right() const { return left + width; }   // one past the last column
    constexpr int bottom() const { return top + height; }  // one past the last row
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Twips to the nearest pixel, halves upwards (15 twips per pixel). Applied to edges, never to
// sizes, so that controls that share an edge in twips share it in pixels, and the bar's foot
// stays on one row whatever its height. Values beyond any screen are limited first so that the
// conversion to int is always defined.
int twipsToPixels(double twips);

// A rectangle given in twips, by its rounded edges.
PixelRect toPixels(const TwipsRect& rect);

// The control's rectangle relative to its container (the client area or the frame).
PixelRect controlRect(ControlId id);
// The control's rectangle in client-area coordinates.
PixelRect clientRect(ControlId id);

inline constexpr int kClientWidthPixels = kClientWidthTwips / kTwipsPerPixelAt96Dpi;
inline constexpr int kClientHeightPixels = kClientHeightTwips / kTwipsPerPixelAt96Dpi;

// The mercury bar for a given height and top in twips: its columns from the layout, its rows
// from the top edge to top + height. Empty when the height is not positive or not a number.
PixelRect barPixelRect(float heightTwips, float topTwips);

// One scale tick: a horizontal run of pixels on one row, the end column excluded as a line's
// last point is.
struct TickMark {
    ControlId line{};
    float celsius = 0.0F;
    int row = 0;
    int startColumn = 0;
    int endColumn = 0;
};
TickMark tickMark(const ControlSpec& line);

inline constexpr int kTickCount = 16;
std::array<TickMark, kTickCount> scaleTicks();

}  // namespace thermo
