#include "reader/selection.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace thermo::reader {

void Selection::wantDevice(std::string portOrNode) {
    match_ = Match::PortOrNode;
    text_ = std::move(portOrNode);
}

void Selection::wantListedPath(std::string path) {
    match_ = Match::ListedPath;
    text_ = std::move(path);
}

void Selection::keepPort(const std::string& port) {
    if (match_ != Match::Everything || port.empty()) return;
    match_ = Match::Port;
    text_ = port;
}

std::optional<std::string> Selection::wanted() const {
    if (match_ == Match::Everything) return std::nullopt;
    return text_;
}

bool Selection::isWanted(const hid::InterfaceEntry& entry) const {
    const bool portMatches = !entry.port.empty() && entry.port == text_;
    switch (match_) {
        case Match::Everything:
            return true;
        case Match::ListedPath:
            return entry.path == text_;
        case Match::Port:
            return portMatches;
        case Match::PortOrNode: {
            if (portMatches || entry.path == text_) return true;
            // Paths that are no files (Windows' device interfaces) are told apart by their text.
            std::error_code notAFile;
            return std::filesystem::equivalent(entry.path, text_, notAFile) && !notAFile;
        }
    }
    return false;
}

std::vector<hid::InterfaceEntry> Selection::listInterfaces() {
    std::vector<hid::InterfaceEntry> entries = platform_.listInterfaces();
    std::erase_if(entries, [&](const hid::InterfaceEntry& e) { return !isWanted(e); });
    return entries;
}

std::unique_ptr<hid::Handle> Selection::open(const std::string& path, hid::OpenMode mode) {
    return platform_.open(path, mode);
}

hid::DeviceIds Selection::readIds(hid::Handle& handle) { return platform_.readIds(handle); }

int Selection::inputReportLength(hid::Handle& handle) {
    return platform_.inputReportLength(handle);
}

std::unique_ptr<hid::WaitEvent> Selection::createReportEvent() {
    return platform_.createReportEvent();
}

hid::ReadResult Selection::readReport(hid::Handle& reportHandle, hid::WaitEvent& event,
                                      std::span<std::uint8_t> buffer,
                                      std::chrono::milliseconds timeout) {
    return platform_.readReport(reportHandle, event, buffer, timeout);
}

}  // namespace thermo::reader
