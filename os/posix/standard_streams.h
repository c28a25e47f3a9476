#pragma once

#include <fcntl.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "os/error_text.h"
#include "os/posix/unique_fd.h"

namespace thermo::os {

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed. A program started with one of
// them closed (">&-") would otherwise get it from its next open: the thermometer's node would
// become standard output, and the lines meant for the user would be written to the device.
// Called first in main, before anything is opened. Empty, or the failed call's text.
inline std::string openClosedStandardStreams() {
    for (int wanted = 0; wanted <= 2; ++wanted) {
        if (::fcntl(wanted, F_GETFD) != -1 || errno != EBADF) continue;
        UniqueFd null(::open("/dev/null", O_RDWR));
        if (!null) {
            return callFailed("open", "/dev/null", std::error_code(errno, std::generic_category()));
        }
        // open() takes the lowest free descriptor, `wanted` while the ones below it are open. It
        // is standard input, output or error from now on, and lives as long as the process.
        if (null.get() == wanted) {
            null.release();
        } else if (::dup2(null.get(), wanted) < 0) {
            return callFailed("dup2", "/dev/null", std::error_code(errno, std::generic_category()));
        }
    }
    return {};
}

}  // namespace thermo::os
