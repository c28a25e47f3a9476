// A report descriptor comes from the device, and any USB gadget can claim to be the thermometer.
// The parser must take any bytes without fault, give a length that a read can be sized by (or 0),
// and the device module must never size a buffer beyond that however absurd the claims.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hid/hidusb.h"
#include "hid/report_descriptor.h"

namespace {

using thermo::fuzz::require;
using thermo::hid::kMaxReportBytes;
using thermo::hid::ReportDescriptorSummary;

void checkLength(const ReportDescriptorSummary& summary) {
    const int n = summary.inputReportLength;
    // At least one data byte after the id byte, at most what the kernel ever delivers.
    require(n == 0 || (n >= 2 && n <= kMaxReportBytes + 1), "the length is 0 or deliverable");
}

// Cutting a descriptor short keeps what was declared before the cut, and only that: the cut
// one never declares a longer report or report ids the whole one does not.
void checkPrefix(std::span<const std::uint8_t> whole, const ReportDescriptorSummary& summary) {
    const ReportDescriptorSummary cut =
        thermo::hid::parseReportDescriptor(whole.first(whole.size() / 2));
    require(!cut.usesReportIds || summary.usesReportIds, "a cut descriptor adds no report ids");
    require(cut.inputReportLength == 0 || summary.inputReportLength == 0 ||
                cut.inputReportLength <= summary.inputReportLength,
            "a cut descriptor declares no longer report");
}

// One thermometer whose description gives `length`, and that always has a report ready.
class OneThermometer : public thermo::hid::Platform {
  public:
    explicit OneThermometer(int length) : length_(length) {}

    std::vector<thermo::hid::InterfaceEntry> listInterfaces() override {
        return {{"thermometer", thermo::hid::DeviceIds{0x04D8, 0x0002}, {}}};
    }
    std::unique_ptr<thermo::hid::Handle> open(const std::string&, thermo::hid::OpenMode) override {
        return std::make_unique<thermo::hid::Handle>();
    }
    thermo::hid::DeviceIds readIds(thermo::hid::Handle&) override { return {0x04D8, 0x0002}; }
    int inputReportLength(thermo::hid::Handle&) override { return length_; }
    std::unique_ptr<thermo::hid::WaitEvent> createReportEvent() override {
        return std::make_unique<NoWake>();
    }
    thermo::hid::ReadResult readReport(thermo::hid::Handle&, thermo::hid::WaitEvent&,
                                       std::span<std::uint8_t> buffer,
                                       std::chrono::milliseconds) override {
        std::fill(buffer.begin(), buffer.end(), std::uint8_t{0xA5});
        return {thermo::hid::ReadOutcome::Report, buffer.size(), {}};
    }

  private:
    struct NoWake : thermo::hid::WaitEvent {
        void wake() override {}
    };
    int length_;
};

// The device module sizes its report buffer from the length and nothing else.
void checkDeviceModule(int length) {
    OneThermometer platform(length);
    thermo::hid::HIDusb device(platform);
    device.PollThermometer();
    require(device.DevicePresent == (length > 0), "taken exactly when the length is usable");
    if (length > 0) {
        require(device.ReportBuffer && device.ReportBuffer->size() == std::size_t(length),
                "the buffer holds one report of the length");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> descriptor(data, size);
    const ReportDescriptorSummary summary = thermo::hid::parseReportDescriptor(descriptor);
    checkLength(summary);
    checkPrefix(descriptor, summary);
    checkDeviceModule(summary.inputReportLength);
    return 0;
}
