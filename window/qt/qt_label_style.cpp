#include "window/qt/qt_label_style.h"

#include "window/contrast.h"
#include "window/qt/qt_palette.h"
#include "window/scene.h"

namespace thermo {

namespace {

void applyTextColour(QWidget& widget, const Paint& paint) {
    if (paint.kind != Paint::Kind::Colour) return;  // the toolkit's default text colour
    if (isSystemColour(paint.colour)) {
        widget.setForegroundRole(paletteRoleForSystemColour(systemColourIndex(paint.colour)));
        return;
    }
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, toQColor(paint.colour, palette));
    widget.setPalette(palette);
    widget.setForegroundRole(QPalette::WindowText);
}

void applyBackground(QWidget& widget, const Paint& paint) {
    widget.setAutoFillBackground(paint.kind != Paint::Kind::None);
    if (paint.kind != Paint::Kind::Colour) return;
    if (isSystemColour(paint.colour)) {
        widget.setBackgroundRole(paletteRoleForSystemColour(systemColourIndex(paint.colour)));
    } else {
        QPalette palette = widget.palette();
        palette.setColor(QPalette::Window, toQColor(paint.colour, palette));
        widget.setPalette(palette);
    }
}

bool isDark(const QPalette& palette) {
    return isDarkScheme(toColourValue(palette.color(QPalette::Window)),
                        toColourValue(palette.color(QPalette::WindowText)));
}

QColor textColourOf(const Paint& paint, const QPalette& palette) {
    return paint.kind == Paint::Kind::Colour ? toQColor(paint.colour, palette)
                                             : palette.color(QPalette::WindowText);
}

// What a label's text is drawn on: its own background, or where it has none, the fill of the
// shape behind it, or else the window's.
QColor groundOf(const ControlSpec& label, const QPalette& window) {
    Paint ground = label.background;
    if (ground.kind == Paint::Kind::None) ground = groundBehind(label.id);
    return ground.kind == Paint::Kind::Colour ? toQColor(ground.colour, window)
                                              : window.color(QPalette::Window);
}

}  // namespace

void styleText(QWidget& widget, const ControlSpec& laidOut, const Paint& text,
               const QPalette& window) {
    if (laidOut.kind != ControlKind::Label) {
        applyTextColour(widget, text);
        return;
    }
    widget.setPalette(QPalette());  // the window's own again, then the label's colours on it
    applyBackground(widget, laidOut.background);
    if (!isDark(window)) {
        applyTextColour(widget, text);
        return;
    }
    const ColourValue readable = readableOn(toColourValue(textColourOf(text, window)),
                                            toColourValue(groundOf(laidOut, window)));
    applyTextColour(widget, Paint::of(readable));
}

}  // namespace thermo
