#include "window/qt/qt_palette.h"

#include "window/contrast.h"
#include "window/scene.h"

namespace thermo {

QPalette::ColorRole paletteRoleForSystemColour(int index) {
    switch (index) {
        case systemColourIndex(kSysActiveCaption):
            return QPalette::Highlight;
        case systemColourIndex(kSysHighlightText):
            return QPalette::HighlightedText;
        case systemColourIndex(kSysWindow):
            return QPalette::Base;
        case systemColourIndex(kSysButtonFace):
            return QPalette::Window;
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

ColourValue toColourValue(const QColor& colour) {
    return directColour(colour.red(), colour.green(), colour.blue());
}

QPalette darkPalette() {
    const QColor charcoal(0x31, 0x36, 0x3B);
    const QColor light(0xFC, 0xFC, 0xFC);
    QPalette p(charcoal);
    p.setColor(QPalette::Window, charcoal);
    p.setColor(QPalette::WindowText, light);
    p.setColor(QPalette::Base, QColor(0x23, 0x26, 0x29));
    p.setColor(QPalette::AlternateBase, QColor(0x2A, 0x2E, 0x32));
    p.setColor(QPalette::Text, light);
    p.setColor(QPalette::Button, charcoal);
    p.setColor(QPalette::ButtonText, light);
    p.setColor(QPalette::Highlight, QColor(0x3D, 0xAE, 0xE9));
    p.setColor(QPalette::HighlightedText, light);
    p.setColor(QPalette::ToolTipBase, charcoal);
    p.setColor(QPalette::ToolTipText, light);
    return p;
}

}  // namespace thermo
