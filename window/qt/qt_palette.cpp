#include "window/qt/qt_palette.h"

namespace thermo {

QPalette::ColorRole paletteRoleForSystemColour(int index) {
    switch (index) {
        case systemColourIndex(kSysActiveCaption):
            return QPalette::Highlight;
        case systemColourIndex(kSysHighlightText):
            return QPalette::HighlightedText;
        default:
            return QPalette::WindowText;
    }
}

QColor toQColor(ColourValue value, const QPalette& palette) {
    if (isSystemColour(value)) {
        return palette.color(paletteRoleForSystemColour(systemColourIndex(value)));
    }
    return QColor(redOf(value), greenOf(value), blueOf(value));
}

}  // namespace thermo
