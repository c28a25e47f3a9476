#include "window/scale_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace thermo {

namespace {
// Far beyond any screen, well inside int.
constexpr double kTwipsLimit = 1.0e8;
}  // namespace

int twipsToPixels(double twips) {
    if (std::isnan(twips)) return 0;
    const double limited = std::clamp(twips, -kTwipsLimit, kTwipsLimit);
    return static_cast<int>(std::floor(limited / kTwipsPerPixelAt96Dpi + 0.5));
}

PixelRect toPixels(const TwipsRect& rect) {
    const int left = twipsToPixels(rect.left);
    const int top = twipsToPixels(rect.top);
    return {left, top, twipsToPixels(rect.right()) - left, twipsToPixels(rect.bottom()) - top};
}

PixelRect controlRect(ControlId id) { return toPixels(controlSpec(id).rect); }

PixelRect clientRect(ControlId id) {
    PixelRect r = controlRect(id);
    if (const auto container = controlSpec(id).container) {
        const PixelRect outer = clientRect(*container);
        r.left += outer.left;
        r.top += outer.top;
    }
    return r;
}

PixelRect barPixelRect(float heightTwips, float topTwips) {
    const TwipsRect laidOut = controlSpec(ControlId::Shape4).rect;
    const int left = twipsToPixels(laidOut.left);
    const int right = twipsToPixels(laidOut.right());
    // Widen before adding: a float sum would round the foot differently from the twips given.
    const double top = topTwips;
    const double bottom = top + static_cast<double>(heightTwips);
    if (!(heightTwips > 0.0F) || !std::isfinite(bottom)) return {left, twipsToPixels(top), 0, 0};
    const int topRow = twipsToPixels(top);
    return {left, topRow, right - left, std::max(0, twipsToPixels(bottom) - topRow)};
}

TickMark tickMark(const ControlSpec& line) {
    return {line.id, line.tickCelsius, twipsToPixels(line.line.y1), twipsToPixels(line.line.x1),
            twipsToPixels(line.line.x2)};
}

std::array<TickMark, kTickCount> scaleTicks() {
    std::array<TickMark, kTickCount> ticks{};
    std::size_t n = 0;
    for (const ControlSpec& c : layoutTable()) {
        if (c.kind != ControlKind::Line || n == ticks.size()) continue;
        ticks[n++] = tickMark(c);
    }
    return ticks;
}

}  // namespace thermo
