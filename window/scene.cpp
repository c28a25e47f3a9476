#include "window/scene.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

namespace thermo {

namespace {

std::size_t indexOf(ControlId id) { return static_cast<std::size_t>(id); }

Paint resolved(const Paint& paint, ColourValue toolkitDefault) {
    return paint.kind == Paint::Kind::Default ? Paint::of(toolkitDefault) : paint;
}

SceneRect boxOf(const TwipsRect& r) {
    return {double(r.left), double(r.top), double(r.right()), double(r.bottom())};
}

bool holds(const TwipsRect& outer, const TwipsRect& inner) {
    return outer.left <= inner.left && inner.right() <= outer.right() && outer.top <= inner.top &&
           inner.bottom() <= outer.bottom();
}

// The bar as Form1 last set it; none where the pixel geometry has none either.
std::optional<SceneRect> barBox(const BarTwips& bar) {
    if (!barShown(bar.height, bar.top)) return std::nullopt;
    const TwipsRect laidOut = controlSpec(ControlId::Shape4).rect;
    // Widen before adding: a float sum would round the foot differently from the twips given.
    const double top = bar.top;
    const double bottom = top + static_cast<double>(bar.height);
    return SceneRect{double(laidOut.left), top, double(laidOut.right()), bottom};
}

// A circle as wide as the box's shorter side, centred in it.
SceneRect circleIn(const TwipsRect& r) {
    const double side = std::min(r.width, r.height);
    const double left = r.left + (r.width - side) / 2.0;
    const double top = r.top + (r.height - side) / 2.0;
    return {left, top, left + side, top + side};
}

DrawItem itemOf(ControlId control, Primitive primitive, const SceneRect& box) {
    DrawItem item;
    item.control = control;
    item.primitive = primitive;
    item.box = box;
    return item;
}

std::optional<DrawItem> shapeItem(const ControlSpec& laidOut, const WindowPicture& picture) {
    DrawItem item = itemOf(laidOut.id, Primitive::Rectangle, boxOf(laidOut.rect));
    item.fill = resolved(laidOut.fill, kSysWindow);
    if (laidOut.outlineWidthPixels > 0) {
        item.outline = resolved(laidOut.outline, kSysWindowText);
        if (item.outline.kind != Paint::Kind::None)
            item.outlineWidthPixels = laidOut.outlineWidthPixels;
    }
    switch (laidOut.form) {
        case ShapeForm::Rectangle:
            break;
        case ShapeForm::Circle:
            item.primitive = Primitive::Ellipse;
            item.box = circleIn(laidOut.rect);
            break;
        case ShapeForm::RoundedRectangle:
            item.primitive = Primitive::RoundedRectangle;
            item.cornerRadiusTwips = kPanelCornerRadiusPixels * kTwipsPerPixelAt96Dpi;
            break;
    }
    if (laidOut.id == ControlId::Shape4) {
        const auto bar = barBox(picture.bar);
        if (!bar) return std::nullopt;
        item.box = *bar;
    }
    return item;
}

DrawItem lineItem(const ControlSpec& laidOut) {
    const TwipsLine& l = laidOut.line;
    DrawItem item = itemOf(laidOut.id, Primitive::Line,
                           {double(l.x1), double(l.y1), double(l.x2), double(l.y1)});
    item.outline = Paint::of(kSysWindowText);
    item.outlineWidthPixels = 1;
    return item;
}

DrawItem textItem(const ControlSpec& laidOut, const WindowPicture& picture) {
    DrawItem item = itemOf(laidOut.id, Primitive::Text, boxOf(laidOut.rect));
    item.fill = resolved(laidOut.background, kSysButtonFace);
    item.text = picture.captions[indexOf(laidOut.id)];
    item.font = laidOut.font;
    item.alignment = laidOut.alignment;
    item.textColour = resolved(picture.textColours[indexOf(laidOut.id)], kSysButtonText);
    return item;
}

}  // namespace

WindowPicture::WindowPicture() {
    for (const ControlSpec& laidOut : layoutTable()) {
        captions[indexOf(laidOut.id)] = std::string(laidOut.caption);
        textColours[indexOf(laidOut.id)] = laidOut.textColour;
    }
}

std::vector<DrawItem> scene(const WindowPicture& picture) {
    std::vector<DrawItem> items;
    const auto& table = layoutTable();
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
        // Labels inside the frame would need its offset; the table has none.
        if (it->container) continue;
        switch (it->kind) {
            case ControlKind::Shape:
                if (auto item = shapeItem(*it, picture)) items.push_back(std::move(*item));
                break;
            case ControlKind::Line:
                items.push_back(lineItem(*it));
                break;
            case ControlKind::Label:
                items.push_back(textItem(*it, picture));
                break;
            case ControlKind::Timer:
            case ControlKind::Frame:
            case ControlKind::PushButton:
                break;  // not drawn, or native controls
        }
    }
    return items;
}

PixelRect toDevice(const SceneRect& box, int dpi) {
    const int left = twipsToDevice(box.left, dpi);
    const int top = twipsToDevice(box.top, dpi);
    return {left, top, twipsToDevice(box.right, dpi) - left, twipsToDevice(box.bottom, dpi) - top};
}

Paint groundBehind(ControlId label) {
    const ControlSpec& laidOut = controlSpec(label);
    if (laidOut.container) return Paint::none();
    const auto& table = layoutTable();
    for (auto behind = table.begin() + stackingNumber(label); behind != table.end(); ++behind) {
        if (behind->kind == ControlKind::Shape && behind->fill.kind != Paint::Kind::None &&
            holds(behind->rect, laidOut.rect)) {
            return resolved(behind->fill, kSysWindow);
        }
    }
    return Paint::none();
}

}  // namespace thermo
