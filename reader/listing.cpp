#include "reader/listing.h"

#include "hid/hidusb.h"
#include "reader/output.h"
#include "reader/selection.h"

namespace thermo::reader {

namespace {

// Whether a plain open is refused for want of access; the platform says so by naming the fix.
bool openRefused(hid::Platform& platform, const std::string& path) {
    try {
        platform.open(path, hid::OpenMode::Plain);
    } catch (const hid::PlatformError& error) {
        return !error.hint().empty();
    }
    return false;
}

}  // namespace

std::optional<ListedThermometer> probeListed(hid::Platform& platform,
                                             const hid::InterfaceEntry& entry) {
    Selection only(platform);
    only.wantListedPath(entry.path);
    hid::HIDusb probe(only);
    if (probe.FindThermometer()) {
        return ListedThermometer{
            entry.port, entry.path, probe.DeviceCaps.InputReportByteLength, {}, false};
    }
    // The device module explains only a failure on what is known to be a thermometer.
    if (probe.LastProblem.empty()) return std::nullopt;
    return ListedThermometer{entry.port, entry.path, 0, probe.LastProblem,
                             openRefused(platform, entry.path)};
}

std::string listLine(const ListedThermometer& t) {
    std::string line = (t.port.empty() ? "-" : t.port) + "\t" + t.path + "\t";
    if (t.problem.empty()) return line + std::to_string(t.reportLength) + "\tok\n";
    return line + "-\t" + (t.refused ? "refused: " : "unusable: ") + t.problem + "\n";
}

std::string listJsonLine(const ListedThermometer& t) {
    std::string line = "{\"port\":" + jsonString(t.port) + ",\"device\":" + jsonString(t.path);
    if (t.problem.empty()) {
        return line + ",\"report_length\":" + std::to_string(t.reportLength) +
               ",\"usable\":true}\n";
    }
    return line + ",\"report_length\":null,\"usable\":false,\"refused\":" +
           (t.refused ? "true" : "false") + ",\"problem\":" + jsonString(t.problem) + "}\n";
}

}  // namespace thermo::reader
