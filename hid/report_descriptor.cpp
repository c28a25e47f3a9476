#include "hid/report_descriptor.h"

#include <algorithm>
#include <array>
#include <optional>

namespace thermo::hid {

namespace {

// Short item prefix: bits 0-1 the data size (0, 1, 2 or 4 bytes), bits 2-3 the type, bits 4-7 the
// tag. These are the prefixes with the size bits masked off.
constexpr std::uint8_t kInputItem = 0x80;
constexpr std::uint8_t kReportSizeItem = 0x74;
constexpr std::uint8_t kReportIdItem = 0x84;
constexpr std::uint8_t kReportCountItem = 0x94;
constexpr std::uint8_t kPushItem = 0xA4;
constexpr std::uint8_t kPopItem = 0xB4;
// Long item: 0xFE, data size, tag, then the data. No long item tag is defined; skipped.
constexpr std::uint8_t kLongItemPrefix = 0xFE;

// As deep as any real descriptor nests; the kernel allows only 4.
constexpr std::size_t kGlobalStackDepth = 16;

// Bits beyond this make a report unusable anyway; stopping the sums here keeps them from
// overflowing however many items a descriptor piles up.
constexpr std::uint64_t kBitsCap = (static_cast<std::uint64_t>(kMaxReportBytes) + 1) * 8;

struct Globals {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

struct Item {
    std::uint8_t prefix = 0;  // size bits masked off; kLongItemPrefix for a long item
    std::uint32_t value = 0;  // short items' data, little-endian
    std::size_t length = 0;   // bytes the item takes, prefix included
};

// The item at the start of `bytes`, or nothing when it runs past the end.
std::optional<Item> nextItem(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    const std::uint8_t prefix = bytes[0];
    if (prefix == kLongItemPrefix) {
        if (bytes.size() < 3) return std::nullopt;
        const std::size_t length = 3 + std::size_t{bytes[1]};
        if (bytes.size() < length) return std::nullopt;
        return Item{kLongItemPrefix, 0, length};
    }
    static constexpr std::array<std::size_t, 4> kDataSizes{0, 1, 2, 4};
    const std::size_t dataSize = kDataSizes[prefix & 0x03];
    if (bytes.size() < 1 + dataSize) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < dataSize; ++i) {
        value |= static_cast<std::uint32_t>(bytes[1 + i]) << (8 * i);
    }
    return Item{static_cast<std::uint8_t>(prefix & 0xFC), value, 1 + dataSize};
}

class Parser {
  public:
    // False when the descriptor goes wrong at this item and parsing must stop.
    bool apply(const Item& item) {
        switch (item.prefix) {
            case kReportSizeItem:
                globals_.reportSize = item.value;
                return true;
            case kReportCountItem:
                globals_.reportCount = item.value;
                return true;
            case kReportIdItem:
                // Id 0 is reserved for devices without ids; a descriptor that names it is broken.
                if (item.value == 0 || item.value > 0xFF) return false;
                globals_.reportId = static_cast<std::uint8_t>(item.value);
                usesReportIds_ = true;
                return true;
            case kPushItem:
                if (depth_ == stack_.size()) return false;
                stack_[depth_++] = globals_;
                return true;
            case kPopItem:
                if (depth_ == 0) return false;
                globals_ = stack_[--depth_];
                return true;
            case kInputItem: {
                // Both factors are below 2^32, so the product fits in 64 bits.
                const std::uint64_t bits =
                    std::uint64_t{globals_.reportSize} * std::uint64_t{globals_.reportCount};
                std::uint64_t& total = inputBits_[globals_.reportId];
                total = std::min(kBitsCap, total + std::min(bits, kBitsCap));
                return true;
            }
            default:
                return true;  // output, feature, collections, local items, long items
        }
    }

    ReportDescriptorSummary summary() const {
        const std::uint64_t bits = *std::max_element(inputBits_.begin(), inputBits_.end());
        const std::uint64_t bytes = (bits + 7) / 8;
        ReportDescriptorSummary result;
        result.usesReportIds = usesReportIds_;
        if (bytes > 0 && bytes <= static_cast<std::uint64_t>(kMaxReportBytes)) {
            result.inputReportLength = static_cast<int>(bytes) + 1;
        }
        return result;
    }

  private:
    Globals globals_;
    std::array<Globals, kGlobalStackDepth> stack_{};
    std::size_t depth_ = 0;
    std::array<std::uint64_t, 256> inputBits_{};  // by report id; 0 without ids
    bool usesReportIds_ = false;
};

}  // namespace

ReportDescriptorSummary parseReportDescriptor(std::span<const std::uint8_t> descriptor) {
    Parser parser;
    while (std::optional<Item> item = nextItem(descriptor)) {
        if (!parser.apply(*item)) break;
        descriptor = descriptor.subspan(item->length);
    }
    return parser.summary();
}

}  // namespace thermo::hid
