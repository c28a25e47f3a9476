#pragma once

#include <optional>
#include <string>
#include <vector>

#include "hid/hid_platform.h"

namespace thermo::reader {

// The platform with its listing narrowed to the thermometer a run is after, so that the device
// module's own discovery (ids, both opens, report length) decides whether what is left is a
// thermometer. Only listed interfaces are kept, under their listed paths, so nothing else is
// ever opened. Unnarrowed, everything is listed.
class Selection : public hid::Platform {
  public:
    explicit Selection(hid::Platform& platform) : platform_(platform) {}

    // What --device names: a USB port ("1-2", or Windows' location path) or a node, in any
    // spelling that leads to the same file (a udev link, "/dev//hidraw0").
    void wantDevice(std::string portOrNode);
    // Exactly this listed path: the listing's own entries.
    void wantListedPath(std::string path);
    // After the first thermometer of a run without --device: the port it is plugged into, so
    // that a replug carries on with it and never with another probe. A port that is not known,
    // or a choice already made, leaves the selection as it is.
    void keepPort(const std::string& port);

    // How the wanted thermometer is named in messages; no value while nothing is chosen.
    std::optional<std::string> wanted() const;

    std::vector<hid::InterfaceEntry> listInterfaces() override;
    std::unique_ptr<hid::Handle> open(const std::string& path, hid::OpenMode mode) override;
    hid::DeviceIds readIds(hid::Handle& handle) override;
    int inputReportLength(hid::Handle& handle) override;
    std::unique_ptr<hid::WaitEvent> createReportEvent() override;
    hid::ReadResult readReport(hid::Handle& reportHandle, hid::WaitEvent& event,
                               std::span<std::uint8_t> buffer,
                               std::chrono::milliseconds timeout) override;

  private:
    enum class Match {
        Everything,
        ListedPath,  // the path as listed
        Port,        // the USB port
        PortOrNode,  // the port, or the file the path leads to
    };

    bool isWanted(const hid::InterfaceEntry& entry) const;

    hid::Platform& platform_;
    Match match_ = Match::Everything;
    std::string text_;
};

}  // namespace thermo::reader
