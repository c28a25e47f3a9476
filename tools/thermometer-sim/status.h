#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/thermometer-sim/simulator.h"

namespace thermo::sim {

// A status as key=value pairs, in a fixed order; the names are the control interface's.
using StatusFields = std::vector<std::pair<std::string, std::string>>;
StatusFields statusFields(const DeviceStatus& status);

// "open>=2", "plugged=0", "node!=/dev/hidraw0": a status field compared with a value; numbers
// compare as numbers, anything else only with = and !=.
struct Condition {
    enum class Op { Equal, NotEqual, Less, LessOrEqual, Greater, GreaterOrEqual };
    std::string key;
    Op op = Op::Equal;
    std::string value;
};

// No value when malformed or when the key is not a status field.
std::optional<Condition> parseCondition(std::string_view text);
bool holds(const Condition& condition, const StatusFields& fields);

}  // namespace thermo::sim
