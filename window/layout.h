#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace thermo {

// The window's controls, in stacking order: the first lies in front of all others, the last
// behind all others. Graphical items are painted from the last to the first.
enum class ControlId {
    Timer1,
    Frame1,
    Command3,
    Command2,
    cmdOn,
    Label11,
    Label10,
    Label1,
    Shape4,
    Shape3,
    Shape2,
    Label5,
    Label3,
    Line1,
    Line2,
    Line3,
    Label4,
    Label6,
    Label7,
    Line4,
    Label2,
    Line5,
    Label8,
    Line6,
    Line7,
    Line8,
    Line9,
    Line10,
    Line11,
    Line12,
    Line13,
    Line14,
    Line15,
    Line16,
    Shape1,
};
inline constexpr int kControlCount = 35;

// 1 for the control in front of all others, kControlCount for the one behind all others.
constexpr int stackingNumber(ControlId id) { return static_cast<int>(id) + 1; }

// 0x00BBGGRR for a direct colour (red in the lowest byte); 0x800000nn for system colour nn of
// the user's scheme.
using ColourValue = std::uint32_t;
inline constexpr ColourValue kStatusGreen = 0x008000;
inline constexpr ColourValue kStatusRed = 0x0000FF;

inline constexpr ColourValue kSystemColourFlag = 0x80000000;
inline constexpr ColourValue kSysActiveCaption = kSystemColourFlag | 2;
inline constexpr ColourValue kSysHighlightText = kSystemColourFlag | 14;

constexpr bool isSystemColour(ColourValue c) { return (c & kSystemColourFlag) != 0; }
constexpr int systemColourIndex(ColourValue c) { return static_cast<int>(c & 0xFF); }
constexpr int redOf(ColourValue c) { return static_cast<int>(c & 0xFF); }
constexpr int greenOf(ColourValue c) { return static_cast<int>((c >> 8) & 0xFF); }
constexpr int blueOf(ColourValue c) { return static_cast<int>((c >> 16) & 0xFF); }

inline constexpr int kTwipsPerPixelAt96Dpi = 15;
inline constexpr int kClientWidthTwips = 3900;
inline constexpr int kClientHeightTwips = 4815;

inline constexpr std::string_view kWindowCaption = "USB Thermometer";

enum class ControlKind { Timer, Frame, PushButton, Label, Shape, Line };
enum class TextAlignment { Left, Right, Centre };
enum class ShapeForm { Rectangle, Circle, RoundedRectangle };

// How a colour property is given: not painted at all (a transparent background, no outline),
// left to the toolkit's default, or a colour of its own.
struct Paint {
    enum class Kind { None, Default, Colour };
    Kind kind = Kind::Default;
    ColourValue colour = 0;

    static constexpr Paint none() { return {Kind::None, 0}; }
    static constexpr Paint toolkitDefault() { return {Kind::Default, 0}; }
    static constexpr Paint of(ColourValue c) { return {Kind::Colour, c}; }
    friend constexpr bool operator==(const Paint&, const Paint&) = default;
};

// An empty family means the toolkit's default font.
struct FontSpec {
    std::string_view family;
    float points = 0.0F;
};

// Twips, relative to the container's top-left corner.
struct TwipsRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    constexpr int right() const { return left + width; }
    constexpr int bottom() const { return top + height; }
};

struct TwipsLine {
    int x1 = 0;
    int y1 = 0;
    int x2 = 0;
    int y2 = 0;
};

// One control as laid out. Fields that do not apply to a control's kind keep their defaults.
struct ControlSpec {
    ControlId id{};
    std::string_view name;
    ControlKind kind{};
    std::optional<ControlId> container;  // none: the window's client area
    TwipsRect rect;                      // every kind but timers and lines
    TwipsLine line;                      // lines
    std::string_view caption;
    // Labels.
    TextAlignment alignment = TextAlignment::Left;
    Paint background = Paint::none();  // none: transparent
    Paint textColour = Paint::toolkitDefault();
    FontSpec font;
    // Shapes.
    ShapeForm form = ShapeForm::Rectangle;
    Paint fill = Paint::none();
    Paint outline = Paint::none();
    int outlineWidthPixels = 0;
    // Lines: the temperature the tick marks.
    float tickCelsius = 0.0F;
    // Push buttons: position in the keyboard focus order, 0 first; -1 takes no focus.
    int tabIndex = -1;
    // The timer.
    int intervalMs = 0;
    bool enabled = false;
};

// All controls, indexed by ControlId (so in stacking order, front to back).
const std::array<ControlSpec, kControlCount>& layoutTable();
const ControlSpec& controlSpec(ControlId id);

// The controls that take the keyboard focus, in the order Tab visits them.
std::vector<ControlId> tabOrder();

}  // namespace thermo
