#pragma once

#include <string>
#include <string_view>

namespace thermo {

// A save writes the new content to "<name>.tmp" and six lower-case letters or digits beside the
// file it replaces ("cal.txt.tmpk3x9qa"). A save that is killed may leave such a file behind;
// the next save removes those, and nothing that does not match the pattern exactly.
std::string temporaryNameFor(std::string_view targetName);
bool isTemporaryNameFor(std::string_view name, std::string_view targetName);

}  // namespace thermo
