#pragma once

#include <QColor>
#include <QPalette>

#include "window/layout.h"

namespace thermo {

// The nearest role of the user's Qt palette for a system colour of the Windows scheme.
//   2, the active title bar: Qt has no title-bar role. Highlight is the scheme's accent colour,
//      which desktop themes also give the active title bar (the classic Windows scheme uses the
//      same navy for both), so the thermometer's glass keeps the accent colour it was drawn in.
//   14, the text of selected items: HighlightedText is exactly that.
//   5, a window's inside (the scene's shape fill): Base, the inside of Qt's views.
//   15, the face of buttons and dialogs (the window's ground): Window.
// The text colours 8 and 18, and numbers the window does not use, are WindowText, so that a
// wrong entry shows up rather than vanishes.
QPalette::ColorRole paletteRoleForSystemColour(int index);

// A colour value as a QColor, system colours taken from `palette`.
QColor toQColor(ColourValue value, const QPalette& palette);

// A QColor as a direct colour value (its alpha dropped).
ColourValue toColourValue(const QColor& colour);

// A dark palette as desktop dark themes give it, white text on charcoal, in which the text of
// selected items is as light as the normal text: for pictures and tests of the window in one.
QPalette darkPalette();

}  // namespace thermo
