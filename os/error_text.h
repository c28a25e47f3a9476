#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace thermo::os {

// "<call> <object>: <reason>", the one form every system error of the program takes, on every
// platform: "open /dev/hidraw0: Permission denied". The object may be empty ("eventfd: ...").
inline std::string callFailed(std::string_view call, std::string_view object,
                              std::string_view reason) {
    std::string text(call);
    if (!object.empty()) text.append(" ").append(object);
    return text.append(": ").append(reason);
}

// The same with the reason taken from an error code (errno, GetLastError) in its category.
inline std::string callFailed(std::string_view call, std::string_view object,
                              const std::error_code& error) {
    return callFailed(call, object, error.message());
}

}  // namespace thermo::os
