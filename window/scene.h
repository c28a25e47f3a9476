#pragma once

#include <array>
#include <string>
#include <vector>

#include "window/layout.h"
#include "window/scale_geometry.h"

namespace thermo {

// What the window draws, as one list computed from the layout table and the window's state; the
// front ends only render it (Qt with QPainter, Win32 with GDI) at their dpi. Their native
// controls (the push buttons, the frame) are not part of it.

// What the window shows that changes at run time; as laid out until Form1 changes it.
struct WindowPicture {
    WindowPicture();
    std::array<std::string, kControlCount> captions;
    std::array<Paint, kControlCount> textColours;
    BarTwips bar;
};

enum class Primitive { Rectangle, RoundedRectangle, Ellipse, Line, Text };

// Twips in client-area coordinates; fractions stay until the edges are rounded to pixels.
struct SceneRect {
    double left = 0.0;
    double top = 0.0;
    double right = 0.0;
    double bottom = 0.0;
    friend bool operator==(const SceneRect&, const SceneRect&) = default;
};

// One drawn item. Colours are never the toolkit's default here: a default becomes the system
// colour a Windows window uses for it (kSysWindow and so on below), which the Qt front end
// maps to its palette as it does every system colour.
struct DrawItem {
    ControlId control{};
    Primitive primitive{};
    // A line runs along the top edge, from left to right (the end pixel excluded).
    SceneRect box;
    Paint fill = Paint::none();     // a shape's inside, a text's background
    Paint outline = Paint::none();  // a shape's outline, a line's colour
    int outlineWidthPixels = 0;     // pixels at 96 dpi; a front end scales them to its dpi
    double cornerRadiusTwips = 0.0;
    // Texts: wrapped at spaces onto further lines, cut off at the box.
    std::string text;
    FontSpec font;  // an empty family: the window's default font
    TextAlignment alignment = TextAlignment::Left;
    Paint textColour = Paint::none();
};

// The system colours the scene gives where the layout leaves the toolkit's default.
inline constexpr ColourValue kSysWindow = kSystemColourFlag | 5;       // a shape's fill
inline constexpr ColourValue kSysWindowText = kSystemColourFlag | 8;   // outlines and lines
inline constexpr ColourValue kSysButtonFace = kSystemColourFlag | 15;  // the window's ground
inline constexpr ColourValue kSysButtonText = kSystemColourFlag | 18;  // a label's text

// Back to front: an item covers those before it.
std::vector<DrawItem> scene(const WindowPicture& picture);

// A box by its edges, each rounded to the nearest pixel.
PixelRect toDevice(const SceneRect& box, int dpi);

// What a label's text stands on where it has no background of its own: the fill of the painted
// shape behind it that holds it whole, or none (the window's ground).
Paint groundBehind(ControlId label);

}  // namespace thermo
