#pragma once

#include <QPalette>
#include <QWidget>

#include "window/layout.h"

namespace thermo {

// Gives a control's widget its text colour, and a label also its background, from the layout and
// the colour Form1 last set (`text`), in the window's palette. System colours become palette
// roles rather than fixed colours, so that they follow a change of the user's colour scheme.
//
// In a light palette a label shows its colour as given. A dark palette turns the toolkit's
// default text light, which the colours chosen for a light window were never meant to stand
// beside, and can leave it on a ground just as light (the scale's end numbers): there each text
// is drawn in the nearest colour that still reads on its ground.
void styleText(QWidget& widget, const ControlSpec& laidOut, const Paint& text,
               const QPalette& window);

}  // namespace thermo
