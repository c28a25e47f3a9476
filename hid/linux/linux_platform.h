#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hid/hid_platform.h"
#include "os/posix/unique_fd.h"

namespace thermo::hid {

// An open hidraw node, and the sysfs directory that describes it.
class LinuxHandle : public Handle {
  public:
    // Takes `fd` over. Reads expect it non-blocking, as the platform opens report handles; tests
    // wrap one end of a socket pair this way.
    LinuxHandle(os::UniqueFd fd, std::string devicePath, std::filesystem::path sysDir,
                bool usesReportIds = false);

    int fd() const { return fd_.get(); }
    const std::string& devicePath() const { return devicePath_; }
    const std::filesystem::path& sysDir() const { return sysDir_; }
    // Whether reads deliver the report id byte first (hidraw leaves it out for devices
    // without report ids).
    bool usesReportIds() const { return usesReportIds_; }
    void setUsesReportIds(bool uses) { usesReportIds_ = uses; }

    // Room for any report hidraw can deliver, kept for the handle's reads.
    std::vector<std::uint8_t>& scratch() { return scratch_; }
    const std::vector<std::uint8_t>& scratch() const { return scratch_; }

  private:
    os::UniqueFd fd_;
    std::string devicePath_;
    std::filesystem::path sysDir_;
    bool usesReportIds_;
    std::vector<std::uint8_t> scratch_;
};

// The HID layer of Linux: interfaces from sysfs, reports from hidraw. Both roots are
// parameters so that tests can point it at a tree of their own.
class LinuxPlatform : public Platform {
  public:
    explicit LinuxPlatform(std::filesystem::path sysRoot = "/sys",
                           std::filesystem::path devRoot = "/dev");

    std::vector<InterfaceEntry> listInterfaces() override;
    std::unique_ptr<Handle> open(const std::string& path, OpenMode mode) override;
    DeviceIds readIds(Handle& handle) override;
    int inputReportLength(Handle& handle) override;
    std::unique_ptr<WaitEvent> createReportEvent() override;
    ReadResult readReport(Handle& reportHandle, WaitEvent& event, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override;

  private:
    std::filesystem::path classDir() const;

    std::filesystem::path sysRoot_;
    std::filesystem::path devRoot_;
};

// Ids from the text of a hidraw device's uevent file, or nothing when it holds no well-formed
// HID_ID line with ids that fit USB's 16 bits.
std::optional<DeviceIds> parseUeventIds(std::string_view uevent);

}  // namespace thermo::hid
