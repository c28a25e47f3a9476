#pragma once

#include <algorithm>
#include <ostream>
#include <vector>

#include "window/layout.h"
#include "window/scale_geometry.h"
#include "window/scene.h"

namespace thermo {
inline void PrintTo(const ControlSpec& c, std::ostream* os) { *os << c.name; }
}  // namespace thermo

namespace thermo::testing {

// Twips to pixels for the layout's whole, non-negative twips: the nearest pixel, halves up, as
// the window's own conversion promises. Written here in integers, independently of it.
constexpr int expectedPixels(int twips) { return (2 * twips + kTwipsPerPixelAt96Dpi) / 30; }

// Whether the window shows the control at all, and whether it paints it itself rather than
// leaving it to a child widget.
constexpr bool drawn(const ControlSpec& c) { return c.kind != ControlKind::Timer; }
constexpr bool painted(const ControlSpec& c) {
    return c.kind == ControlKind::Shape || c.kind == ControlKind::Line;
}

// Every tick of the scale, in the layout table's order.
inline std::vector<ControlSpec> ticks() {
    std::vector<ControlSpec> out;
    for (const ControlSpec& c : layoutTable()) {
        if (c.kind == ControlKind::Line) out.push_back(c);
    }
    return out;
}

// The control's item in a scene; null when the scene leaves it out.
inline const DrawItem* findItem(const std::vector<DrawItem>& items, ControlId control) {
    const auto it = std::find_if(items.begin(), items.end(),
                                 [&](const DrawItem& item) { return item.control == control; });
    return it == items.end() ? nullptr : &*it;
}

}  // namespace thermo::testing
