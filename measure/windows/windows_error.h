#pragma once

#include <system_error>

namespace thermo {

// Windows error numbers in the system's own words, in the user's language, as UTF-8 and with the
// number: "Accès refusé (error 5)". The standard library's system_category builds its texts in
// the ANSI code page instead, which garbles every letter beyond ASCII in a window that shows
// UTF-8.
const std::error_category& windowsErrorCategory();

}  // namespace thermo
