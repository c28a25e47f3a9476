#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace thermo::hid {

// The kernel's limits: a descriptor is at most this long, and no report longer than
// kMaxReportBytes is ever delivered.
inline constexpr std::size_t kMaxReportDescriptorSize = 4096;
inline constexpr int kMaxReportBytes = 16384;

struct ReportDescriptorSummary {
    // Bytes of the longest input report as a read delivers it with its id byte in front (also
    // counted when the device uses no report ids, as the Windows HID layer counts it); 0 when the
    // descriptor declares no input report or one too long to be real.
    int inputReportLength = 0;
    bool usesReportIds = false;

    friend bool operator==(const ReportDescriptorSummary&,
                           const ReportDescriptorSummary&) = default;
};

// Reads what a read needs to know from a HID report descriptor. Takes untrusted bytes: a
// truncated or malformed descriptor ends the parse where it goes wrong, and what was declared
// before that point counts.
ReportDescriptorSummary parseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace thermo::hid
