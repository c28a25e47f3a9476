#include "window/scale_geometry.h"

#include <algorithm>
#include <cmath>

namespace thermo {

namespace {
constexpr double kTwipsPerInch = 1440.0;
constexpr double kPointsPerInch = 72.0;
// Far beyond any screen, and inside int up to 30 000 dpi.
constexpr double kTwipsLimit = 1.0e8;
}  // namespace

int twipsToDevice(double twips, int dpi) {
    if (std::isnan(twips)) return 0;
    const double limited = std::clamp(twips, -kTwipsLimit, kTwipsLimit);
    return static_cast<int>(std::floor(limited * dpi / kTwipsPerInch + 0.5));
}

PixelRect toDevice(const TwipsRect& rect, int dpi) {
    const int left = twipsToDevice(rect.left, dpi);
    const int top = twipsToDevice(rect.top, dpi);
    return {left, top, twipsToDevice(rect.right(), dpi) - left,
            twipsToDevice(rect.bottom(), dpi) - top};
}

PixelRect clientDeviceRect(ControlId id, int dpi) {
    const ControlSpec& laidOut = controlSpec(id);
    PixelRect r = toDevice(laidOut.rect, dpi);
    if (laidOut.container) {
        const PixelRect outer = clientDeviceRect(*laidOut.container, dpi);
        r.left += outer.left;
        r.top += outer.top;
    }
    return r;
}

bool barShown(float heightTwips, float topTwips) {
    return heightTwips > 0.0F &&
           std::isfinite(static_cast<double>(topTwips) + static_cast<double>(heightTwips));
}

PixelRect barDeviceRect(float heightTwips, float topTwips, int dpi) {
    const TwipsRect laidOut = controlSpec(ControlId::Shape4).rect;
    const int left = twipsToDevice(laidOut.left, dpi);
    const int right = twipsToDevice(laidOut.right(), dpi);
    // Widen before adding: a float sum would round the foot differently from the twips given.
    const double top = topTwips;
    const double bottom = top + static_cast<double>(heightTwips);
    if (!barShown(heightTwips, topTwips)) return {left, twipsToDevice(top, dpi), 0, 0};
    const int topRow = twipsToDevice(top, dpi);
    return {left, topRow, right - left, std::max(0, twipsToDevice(bottom, dpi) - topRow)};
}

TickMark tickDeviceMark(const ControlSpec& line, int dpi) {
    return {line.id, line.tickCelsius, twipsToDevice(line.line.y1, dpi),
            twipsToDevice(line.line.x1, dpi), twipsToDevice(line.line.x2, dpi)};
}

int pointsToDevice(double points, int dpi) {
    return static_cast<int>(std::lround(points * dpi / kPointsPerInch));
}

OutlineBand outlineBand(const PixelRect& r, int width) {
    const int out = (width - 1) / 2;
    const int in = width - out;
    return {{r.left - out, r.top - out, r.width + 2 * out, r.height + 2 * out},
            {r.left + in, r.top + in, r.width - 2 * in, r.height - 2 * in}};
}

}  // namespace thermo
