#pragma once

#include <string>
#include <string_view>

namespace thermo::reader {

// Why `name` cannot name a probe (--name), or empty when it can: any text in UTF-8, not empty,
// without control characters (C0, DEL, C1), which no log line, tag or label could carry.
std::string whyNotAProbeName(std::string_view name);

}  // namespace thermo::reader
