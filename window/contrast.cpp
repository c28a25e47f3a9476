#include "window/contrast.h"

#include <algorithm>
#include <cmath>

namespace thermo {
namespace {

constexpr ColourValue kWhite = directColour(255, 255, 255);
constexpr ColourValue kBlack = directColour(0, 0, 0);
constexpr int kMixSteps = 255;

double linearChannel(int value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

int mixChannel(int from, int to, int step) {
    return static_cast<int>(
        std::lround(from + (to - from) * static_cast<double>(step) / kMixSteps));
}

ColourValue mix(ColourValue from, ColourValue to, int step) {
    return directColour(mixChannel(redOf(from), redOf(to), step),
                        mixChannel(greenOf(from), greenOf(to), step),
                        mixChannel(blueOf(from), blueOf(to), step));
}

// 0 for black to 1 for white, weighted for how bright the eye sees each primary.
double relativeLuminance(ColourValue colour) {
    return 0.2126 * linearChannel(redOf(colour)) + 0.7152 * linearChannel(greenOf(colour)) +
           0.0722 * linearChannel(blueOf(colour));
}

}  // namespace

double contrastRatio(ColourValue a, ColourValue b) {
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool isDarkScheme(ColourValue windowBackground, ColourValue windowText) {
    return relativeLuminance(windowBackground) < relativeLuminance(windowText);
}

ColourValue readableOn(ColourValue text, ColourValue ground, double minimum) {
    const ColourValue towards =
        contrastRatio(kWhite, ground) >= contrastRatio(kBlack, ground) ? kWhite : kBlack;
    // Each step moves every channel further towards the extreme; the first that reads is the
    // least change. (A text on the ground's side of it first loses contrast, then gains.)
    for (int step = 0; step < kMixSteps; ++step) {
        const ColourValue mixed = mix(text, towards, step);
        if (contrastRatio(mixed, ground) >= minimum) return mixed;
    }
    return towards;
}

}  // namespace thermo
