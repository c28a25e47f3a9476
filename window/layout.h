#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

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

// 0x00BBGGRR for a direct colour (red in the lowest byte); 0x800000nn for system colour nn of
// the user's scheme.
using ColourValue = std::uint32_t;
inline constexpr ColourValue kStatusGreen = 0x008000;
inline constexpr ColourValue kStatusRed = 0x0000FF;

inline constexpr int kTwipsPerPixelAt96Dpi = 15;
inline constexpr int kClientWidthTwips = 3900;
inline constexpr int kClientHeightTwips = 4815;

}  // namespace thermo
