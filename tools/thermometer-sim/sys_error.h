#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>

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

// Owns one file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// An eventfd that one thread signals to wake another out of poll().
class WakeFd {
  public:
    WakeFd();
    int fd() const { return fd_.get(); }
    void signal();
    void drain();

  private:
    Fd fd_;
};

}  // namespace thermo::sim
