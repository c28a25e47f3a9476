#include "measure/temporary_name.h"

#include <algorithm>
#include <random>

namespace thermo {

namespace {

constexpr std::string_view kMark = ".usb-thermometer-";
constexpr std::string_view kSuffix = ".tmp";
constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kRandomLength = 8;

}  // namespace

std::string temporaryNameFor(std::string_view targetName) {
    std::random_device entropy;
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string name(targetName);
    name += kMark;
    for (std::size_t i = 0; i < kRandomLength; ++i) {
        name += kAlphabet[pick(entropy)];
    }
    name += kSuffix;
    return name;
}

bool isTemporaryNameFor(std::string_view name, std::string_view targetName) {
    if (name.size() != targetName.size() + kMark.size() + kRandomLength + kSuffix.size() ||
        !name.starts_with(targetName) || !name.ends_with(kSuffix) ||
        name.substr(targetName.size(), kMark.size()) != kMark) {
        return false;
    }
    return std::ranges::all_of(name.substr(targetName.size() + kMark.size(), kRandomLength),
                               [](char c) { return kAlphabet.find(c) != std::string_view::npos; });
}

}  // namespace thermo
