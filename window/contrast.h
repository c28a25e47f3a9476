#pragma once

#include "window/layout.h"

namespace thermo {

// Contrast of text against what it is drawn on, as the web's accessibility guidelines (WCAG 2)
// measure it. Colours are direct colours, 0x00BBGGRR.

// The least contrast at which normal-sized text stays readable for people with low vision.
inline constexpr double kMinimumTextContrast = 4.5;

constexpr ColourValue directColour(int red, int green, int blue) {
    return static_cast<ColourValue>(red) | (static_cast<ColourValue>(green) << 8) |
           (static_cast<ColourValue>(blue) << 16);
}

// (lighter + 0.05) / (darker + 0.05): 1 for two equal colours, 21 for black on white.
double contrastRatio(ColourValue a, ColourValue b);

// A scheme is dark when its window background is darker than its text.
bool isDarkScheme(ColourValue windowBackground, ColourValue windowText);

// The colour to draw `text` in on `ground`: `text` itself where it already reaches `minimum`,
// else the least mix of it with white or black (whichever stands further from the ground) that
// does, so the text keeps as much of its own colour as it can. Every ground has such a mix: it
// contrasts at least 4.58:1 with white or with black.
ColourValue readableOn(ColourValue text, ColourValue ground, double minimum = kMinimumTextContrast);

}  // namespace thermo
