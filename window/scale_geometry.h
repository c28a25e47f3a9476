#pragma once

#include "window/layout.h"

namespace thermo {

// Geometry of the window in device pixels of a screen with `dpi` dots per inch (1440 twips to
// the inch). The Qt window works in logical pixels at 96 dpi (a high-DPI screen scales those by
// its device-pixel ratio); the Win32 window in the pixels of its monitor's dpi. Every conversion
// from twips goes through these functions so that both windows, the screenshot tool and the
// tests agree to the pixel.

inline constexpr int kLayoutDpi = 96;

struct PixelRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    constexpr int right() const { return left + width; }   // one past the last column
    constexpr int bottom() const { return top + height; }  // one past the last row
    friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// Twips to the nearest pixel, halves upwards. Applied to edges, never to sizes, so that controls
// that share an edge in twips share it in pixels, and the bar's foot stays on one row whatever
// its height. Values beyond any screen are limited first so that the conversion to int is always
// defined.
int twipsToDevice(double twips, int dpi);

// A rectangle given in twips, by its rounded edges.
PixelRect toDevice(const TwipsRect& rect, int dpi);

// The control's rectangle in client-area coordinates (a frame's contents offset by the frame).
PixelRect clientDeviceRect(ControlId id, int dpi);

// Whether a bar of this height and top can be shown at all: not for a height that is not
// positive or a foot beyond any number. The scene and the pixel geometry share this one rule.
bool barShown(float heightTwips, float topTwips);

// The mercury bar for a given height and top in twips: its columns from the layout, its rows
// from the top edge to top + height. Empty when the bar is not shown.
PixelRect barDeviceRect(float heightTwips, float topTwips, int dpi);

// One scale tick: a horizontal run of pixels on one row, the end column excluded as a line's
// last point is.
struct TickMark {
    ControlId line{};
    float celsius = 0.0F;
    int row = 0;
    int startColumn = 0;
    int endColumn = 0;
};
TickMark tickDeviceMark(const ControlSpec& line, int dpi);

// A font size in points as a character height in pixels.
int pointsToDevice(double points, int dpi);

// The same at 96 dpi, in the Qt window's logical pixels (15 twips to the pixel).
inline int twipsToPixels(double twips) { return twipsToDevice(twips, kLayoutDpi); }
inline PixelRect toPixels(const TwipsRect& rect) { return toDevice(rect, kLayoutDpi); }
inline PixelRect clientRect(ControlId id) { return clientDeviceRect(id, kLayoutDpi); }
// The control's rectangle relative to its container (the client area or the frame).
inline PixelRect controlRect(ControlId id) { return toPixels(controlSpec(id).rect); }
inline PixelRect barPixelRect(float heightTwips, float topTwips) {
    return barDeviceRect(heightTwips, topTwips, kLayoutDpi);
}
inline TickMark tickMark(const ControlSpec& line) { return tickDeviceMark(line, kLayoutDpi); }

// The default font is the user's, but no larger than the fixed layout holds: the scale numbers
// stand in 17-pixel-high labels ("130" in 25 pixels) and the status line must take
// "DEVICE NOT DETECTED" on two lines in 33 pixels (pixels at 96 dpi).
inline constexpr int kLargestDefaultFontPixels = 12;
// The corners of the thermometer's panel (Shape1), pixels at 96 dpi.
inline constexpr int kPanelCornerRadiusPixels = 12;

inline constexpr int kClientWidthPixels = kClientWidthTwips / kTwipsPerPixelAt96Dpi;
inline constexpr int kClientHeightPixels = kClientHeightTwips / kTwipsPerPixelAt96Dpi;

// The mercury bar's height and top in twips as Form1 last set them; as laid out until then.
struct BarTwips {
    float height = static_cast<float>(controlSpec(ControlId::Shape4).rect.height);
    float top = static_cast<float>(controlSpec(ControlId::Shape4).rect.top);
    PixelRect device(int dpi) const { return barDeviceRect(height, top, dpi); }
    friend bool operator==(const BarTwips&, const BarTwips&) = default;
};

// A rectangle's outline of `width` pixels, centred on the rectangle's border pixels: width 3
// covers one pixel outside the rectangle, the border pixel and one inside. The outline is the
// band between the two rectangles.
struct OutlineBand {
    PixelRect outer;
    PixelRect inner;
};
OutlineBand outlineBand(const PixelRect& r, int width);

}  // namespace thermo
