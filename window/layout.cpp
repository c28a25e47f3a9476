#include "window/layout.h"

#include <algorithm>

#include "measure/conversion.h"

namespace thermo {
namespace {

using enum ControlId;

constexpr ColourValue kDarkRed = 0x0000C0;
constexpr ColourValue kBlue = 0xFF0000;
constexpr ColourValue kRed = 0x0000FF;

constexpr FontSpec kReadoutFont{"Arial", 18.0F};
constexpr FontSpec kFahrenheitFont{"Arial", 14.25F};

// Ticks start at the bar's right edge; long ones mark 0, 50 and 100 °C.
constexpr int kTickStartX = 1200;
constexpr int kShortTickEndX = 1320;
constexpr int kLongTickEndX = 1380;

// What every kind of control has: its id, name and kind.
constexpr ControlSpec control(ControlId id, std::string_view name, ControlKind kind) {
    ControlSpec c;
    c.id = id;
    c.name = name;
    c.kind = kind;
    return c;
}

constexpr ControlSpec timer(ControlId id, std::string_view name, int intervalMs) {
    ControlSpec c = control(id, name, ControlKind::Timer);
    c.intervalMs = intervalMs;
    c.enabled = true;
    return c;
}

constexpr ControlSpec frame(ControlId id, std::string_view name, TwipsRect rect,
                            std::string_view caption) {
    ControlSpec c = control(id, name, ControlKind::Frame);
    c.rect = rect;
    c.caption = caption;
    return c;
}

constexpr ControlSpec button(ControlId id, std::string_view name, std::optional<ControlId> in,
                             TwipsRect rect, std::string_view caption, int tabIndex) {
    ControlSpec c = control(id, name, ControlKind::PushButton);
    c.container = in;
    c.rect = rect;
    c.caption = caption;
    c.tabIndex = tabIndex;
    return c;
}

struct LabelStyle {
    TextAlignment alignment = TextAlignment::Left;
    Paint background = Paint::none();
    Paint textColour = Paint::toolkitDefault();
    FontSpec font;
};

constexpr ControlSpec label(ControlId id, std::string_view name, TwipsRect rect,
                            std::string_view caption, LabelStyle style) {
    ControlSpec c = control(id, name, ControlKind::Label);
    c.rect = rect;
    c.caption = caption;
    c.alignment = style.alignment;
    c.background = style.background;
    c.textColour = style.textColour;
    c.font = style.font;
    return c;
}

constexpr ControlSpec shape(ControlId id, std::string_view name, TwipsRect rect, ShapeForm form,
                            Paint fill, Paint outline, int outlineWidthPixels) {
    ControlSpec c = control(id, name, ControlKind::Shape);
    c.rect = rect;
    c.form = form;
    c.fill = fill;
    c.outline = outline;
    c.outlineWidthPixels = outlineWidthPixels;
    return c;
}

constexpr ControlSpec tick(ControlId id, std::string_view name, float celsius, int y, int endX) {
    ControlSpec c = control(id, name, ControlKind::Line);
    c.line = {kTickStartX, y, endX, y};
    c.tickCelsius = celsius;
    return c;
}

constexpr LabelStyle kCelsiusValue{TextAlignment::Right, Paint::none(), Paint::of(kDarkRed),
                                   kReadoutFont};
constexpr LabelStyle kCelsiusUnitStyle{TextAlignment::Left, Paint::none(), Paint::of(kDarkRed),
                                       kReadoutFont};
constexpr LabelStyle kFahrenheitValue{TextAlignment::Right, Paint::toolkitDefault(),
                                      Paint::of(kBlue), kFahrenheitFont};
constexpr LabelStyle kFahrenheitUnitStyle{TextAlignment::Left, Paint::toolkitDefault(),
                                          Paint::of(kBlue), kFahrenheitFont};
constexpr LabelStyle kStatusLine{
    TextAlignment::Centre, Paint::toolkitDefault(), Paint::toolkitDefault(), {}};
constexpr LabelStyle kScaleNumber{};
constexpr LabelStyle kScaleEndNumber{
    TextAlignment::Left, Paint::of(kSysHighlightText), Paint::toolkitDefault(), {}};

constexpr std::array<ControlSpec, kControlCount> kTable{{
    timer(Timer1, "Timer1", 1000),
    frame(Frame1, "Frame1", {2280, 1440, 1335, 1215}, "Calibration"),
    button(Command3, "Command3", Frame1, {240, 840, 855, 255}, "100 \302\260C", 2),
    button(Command2, "Command2", Frame1, {240, 360, 855, 255}, "0 \302\260C", 1),
    button(cmdOn, "cmdOn", std::nullopt, {2280, 3960, 1335, 372}, "START", 0),
    label(Label11, "Label11", {3120, 720, 495, 375}, kFahrenheitUnit, kFahrenheitUnitStyle),
    label(Label10, "Label10", {2160, 720, 975, 375}, "266.0", kFahrenheitValue),
    label(Label1, "Label1", {2280, 3360, 1335, 495}, "", kStatusLine),
    shape(Shape4, "Shape4", {990, 480, 210, 3400}, ShapeForm::Rectangle, Paint::of(kRed),
          Paint::none(), 0),
    shape(Shape3, "Shape3", {720, 3720, 735, 735}, ShapeForm::Circle, Paint::of(kRed),
          Paint::of(kSysActiveCaption), 3),
    shape(Shape2, "Shape2", {960, 360, 255, 3855}, ShapeForm::Rectangle, Paint::none(),
          Paint::of(kSysActiveCaption), 3),
    label(Label5, "Label5", {2040, 120, 1095, 495}, "130.0", kCelsiusValue),
    label(Label3, "Label3", {3120, 120, 735, 495}, kCelsiusUnit, kCelsiusUnitStyle),
    tick(Line1, "Line1", 0, 3075, kLongTickEndX),
    tick(Line2, "Line2", 50, 2085, kLongTickEndX),
    tick(Line3, "Line3", 100, 1080, kLongTickEndX),
    label(Label4, "Label4", {1440, 3000, 255, 255}, "0", kScaleNumber),
    label(Label6, "Label6", {1440, 1995, 375, 255}, "50", kScaleNumber),
    label(Label7, "Label7", {1440, 960, 375, 255}, "100", kScaleNumber),
    tick(Line4, "Line4", -20, 3480, kShortTickEndX),
    label(Label2, "Label2", {1440, 3375, 375, 255}, "-20", kScaleEndNumber),
    tick(Line5, "Line5", 130, 480, kShortTickEndX),
    label(Label8, "Label8", {1440, 360, 375, 255}, "130", kScaleEndNumber),
    tick(Line6, "Line6", -10, 3285, kShortTickEndX),
    tick(Line7, "Line7", 10, 2880, kShortTickEndX),
    tick(Line8, "Line8", 20, 2685, kShortTickEndX),
    tick(Line9, "Line9", 30, 2475, kShortTickEndX),
    tick(Line10, "Line10", 40, 2280, kShortTickEndX),
    tick(Line11, "Line11", 60, 1875, kShortTickEndX),
    tick(Line12, "Line12", 70, 1680, kShortTickEndX),
    tick(Line13, "Line13", 80, 1485, kShortTickEndX),
    tick(Line14, "Line14", 90, 1275, kShortTickEndX),
    tick(Line15, "Line15", 110, 885, kShortTickEndX),
    tick(Line16, "Line16", 120, 675, kShortTickEndX),
    shape(Shape1, "Shape1", {120, 120, 1935, 4575}, ShapeForm::RoundedRectangle,
          Paint::toolkitDefault(), Paint::toolkitDefault(), 1),
}};

constexpr bool indexedById() {
    for (int i = 0; i < kControlCount; ++i) {
        if (static_cast<int>(kTable[static_cast<std::size_t>(i)].id) != i) return false;
    }
    return true;
}
static_assert(indexedById(), "the table must list the controls in stacking order");

}  // namespace

const std::array<ControlSpec, kControlCount>& layoutTable() { return kTable; }

const ControlSpec& controlSpec(ControlId id) { return kTable[static_cast<std::size_t>(id)]; }

std::vector<ControlId> tabOrder() {
    std::vector<const ControlSpec*> stops;
    for (const ControlSpec& laidOut : kTable) {
        if (laidOut.tabIndex >= 0) stops.push_back(&laidOut);
    }
    std::ranges::sort(stops, {}, &ControlSpec::tabIndex);
    std::vector<ControlId> order;
    for (const ControlSpec* stop : stops) order.push_back(stop->id);
    return order;
}

}  // namespace thermo
