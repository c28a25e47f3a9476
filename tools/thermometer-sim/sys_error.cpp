#include "tools/thermometer-sim/sys_error.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "os/error_text.h"

namespace thermo::sim {

SysError::SysError(std::string_view call, std::string_view object, int error)
    : std::runtime_error(os::callFailed(call, object, std::strerror(error))), error_(error) {}

void throwSysError(std::string_view call, std::string_view object, int error) {
    throw SysError(call, object, error);
}

WakeFd::WakeFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!fd_) throwSysError("eventfd", "");
}

void WakeFd::signal() {
    std::uint64_t one = 1;
    // A full counter already means "wake up", so a failed write loses nothing.
    [[maybe_unused]] auto written = ::write(fd_.get(), &one, sizeof one);
}

void WakeFd::drain() {
    std::uint64_t count = 0;
    [[maybe_unused]] auto got = ::read(fd_.get(), &count, sizeof count);
}

}  // namespace thermo::sim
