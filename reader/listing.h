#pragma once

#include <optional>
#include <string>

#include "hid/hid_platform.h"

namespace thermo::reader {

// One thermometer as --list shows it: where it is, and whether a reading can be taken from it.
struct ListedThermometer {
    std::string port;  // empty where the platform cannot tell
    std::string path;
    int reportLength = 0;  // 0 when it cannot be used
    std::string problem;   // why it cannot be used, with the fix where there is one
    bool refused = false;  // the system refused to open it: the udev rule is the fix
};

// Takes the listed interface as a run would (ids, both opens, report length) and lets it go
// again; no value when it is not a thermometer.
std::optional<ListedThermometer> probeListed(hid::Platform& platform,
                                             const hid::InterfaceEntry& entry);

// "1-2<TAB>/dev/hidraw1<TAB>65<TAB>ok", or in place of "65<TAB>ok" "-<TAB>refused: WHY" or
// "-<TAB>unusable: WHY"; an unknown port is "-", so that no field is ever empty.
std::string listLine(const ListedThermometer& thermometer);
// The same as one JSON object: port, device, report_length (null when unusable), usable, and
// for an unusable one refused and problem.
std::string listJsonLine(const ListedThermometer& thermometer);

}  // namespace thermo::reader
