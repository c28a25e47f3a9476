#include "window/accessibility.h"

namespace thermo {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

std::string joined(std::string_view a, std::string_view separator, std::string_view b) {
    if (a.empty()) return std::string(b);
    if (b.empty()) return std::string(a);
    return std::string(a).append(separator).append(b);
}

// The unit captions begin with a space, so value and unit already read "54.2 °C".
AccessibleText readout(std::string_view value, std::string_view unit, std::string_view scale) {
    return {std::string(trimmed(std::string(value).append(unit))),
            "Temperature in degrees " + std::string(scale)};
}

AccessibleText startStop(std::string_view caption) {
    if (caption == "START") return {"Start measuring", "Read the thermometer once a second"};
    if (caption == "STOP") return {"Stop measuring", "Pause the readings"};
    return {std::string(caption), {}};
}

}  // namespace

std::optional<ControlId> readoutOfUnit(ControlId unit) {
    if (unit == ControlId::Label3) return ControlId::Label5;
    if (unit == ControlId::Label11) return ControlId::Label10;
    return std::nullopt;
}

std::optional<ControlId> unitOfReadout(ControlId value) {
    if (value == ControlId::Label5) return ControlId::Label3;
    if (value == ControlId::Label10) return ControlId::Label11;
    return std::nullopt;
}

AccessibleText accessibleText(ControlId control, std::string_view caption, std::string_view extra) {
    switch (control) {
        case ControlId::Label5:
            return readout(caption, extra, "Celsius");
        case ControlId::Label10:
            return readout(caption, extra, "Fahrenheit");
        case ControlId::cmdOn:
            return startStop(caption);
        case ControlId::Command2:
            return {"Calibrate 0 \302\260C",
                    "Store the current reading as the 0 \302\260C calibration point"};
        case ControlId::Command3:
            return {"Calibrate 100 \302\260C",
                    "Store the current reading as the 100 \302\260C calibration point"};
        case ControlId::Label1:
            return {std::string(caption),
                    joined("Whether the thermometer is connected", ". ", extra)};
        case ControlId::Label2:
        case ControlId::Label4:
        case ControlId::Label6:
        case ControlId::Label7:
        case ControlId::Label8:
            return {std::string(caption) + " \302\260C", "Scale mark of the drawn thermometer"};
        default:
            return {std::string(caption), {}};
    }
}

}  // namespace thermo
