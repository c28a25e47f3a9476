#pragma once

#include "window/layout.h"
#include "window/scale_geometry.h"

namespace thermo::win32 {

// The layout's twips as device pixels of a screen with `dpi` dots per inch (1440 twips to the
// inch). The rules are those of scale_geometry.h, which is this at 96 dpi: edges, never sizes,
// are rounded to the nearest pixel, halves upwards, so that edges shared in twips stay shared
// and the mercury bar's foot stays on one row whatever its height.
int twipsToDevice(double twips, int dpi);
PixelRect toDevice(const TwipsRect& rect, int dpi);

// The control's rectangle in client-area pixels (a frame's contents offset by the frame).
PixelRect clientDeviceRect(ControlId id, int dpi);

// The mercury bar for a height and top in twips; empty when the height is not positive or not a
// number (as barPixelRect).
PixelRect barDeviceRect(float heightTwips, float topTwips, int dpi);

TickMark tickDeviceMark(const ControlSpec& line, int dpi);

// A font size in points as a character height in pixels.
int pointsToDevice(double points, int dpi);

}  // namespace thermo::win32
