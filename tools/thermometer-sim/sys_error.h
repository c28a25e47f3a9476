#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>

#include "os/posix/unique_fd.h"

namespace thermo::sim {

// A failed system call. what() names the call, what it was applied to and the system's reason:
// "mount /dev: Operation not permitted".
class SysError : public std::runtime_error {
  public:
    SysError(std::string_view call, std::string_view object, int error);
    int error() const { return error_; }

  private:
    int error_;
};

[[noreturn]] void throwSysError(std::string_view call, std::string_view object, int error = errno);

// An eventfd that one thread signals to wake another out of poll().
class WakeFd {
  public:
    WakeFd();
    int fd() const { return fd_.get(); }
    void signal();
    void drain();

  private:
    os::UniqueFd fd_;
};

}  // namespace thermo::sim
