#pragma once

#include <vector>

#include "window/scene.h"

class QPainter;
class QPalette;

namespace thermo {

// Renders the scene's shapes and lines in logical pixels at 96 dpi, system colours taken from
// `palette`. Its texts are the window's QLabels, which screen readers need as widgets; they lie
// in front of every painted item they overlap (see Stacking in the layout tests), so painting
// them apart keeps the scene's order.
void paintScene(QPainter& painter, const std::vector<DrawItem>& items, const QPalette& palette);

}  // namespace thermo
