#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "window/layout.h"

namespace thermo {

// What a screen reader says about the window, the same for every front end.

// The order in which a screen reader meets the controls: the readouts, the calibration frame and
// its buttons, the status line and START/STOP down the right-hand side, then the scale numbers of
// the drawn thermometer from the top, which only repeat the readout as a picture. The keyboard's
// cycle cmdOn, Command2, Command3 visits the buttons in the same cyclic order. The unit labels
// are not in it: each is read with its value, as one readout.
inline constexpr std::array kReadingOrder{
    ControlId::Label5,   ControlId::Label10, ControlId::Frame1, ControlId::Command2,
    ControlId::Command3, ControlId::Label1,  ControlId::cmdOn,  ControlId::Label8,
    ControlId::Label7,   ControlId::Label6,  ControlId::Label4, ControlId::Label2,
};

// The value label whose readout `unit` is part of (Label3 of Label5, Label11 of Label10).
std::optional<ControlId> readoutOfUnit(ControlId unit);
// The unit label that goes with a readout's value label.
std::optional<ControlId> unitOfReadout(ControlId value);

struct AccessibleText {
    std::string name;
    std::string description;
};

// What the control is called and what it is for while it shows `caption`. For a readout's
// value label `extra` is its unit label's caption; for the status line, its tip (why the
// thermometer was not taken, or empty).
AccessibleText accessibleText(ControlId control, std::string_view caption,
                              std::string_view extra = {});

}  // namespace thermo
