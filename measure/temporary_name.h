#pragma once

#include <string>
#include <string_view>

namespace thermo {

// A save writes the new content to a temporary file beside the one it replaces, named for the
// target, this program, eight lower-case letters or digits and ".tmp"
// ("cal.txt.usb-thermometer-k3x9qa7b.tmp"). A save that is killed may leave such a file behind;
// the next save removes those of its user, and nothing whose name is not exactly of this form:
// a user's own "out.prom.tmp123456" is none of ours.
std::string temporaryNameFor(std::string_view targetName);
bool isTemporaryNameFor(std::string_view name, std::string_view targetName);

}  // namespace thermo
