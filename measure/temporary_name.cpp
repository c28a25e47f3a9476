#include "measure/temporary_name.h"

#include <algorithm>
#include <random>

namespace thermo {

namespace {

constexpr std::string_view kInfix = ".tmp";
constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kSuffixLength = 6;

}  // namespace

std::string temporaryNameFor(std::string_view targetName) {
    std::random_device entropy;
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string name(targetName);
    name += kInfix;
    for (std::size_t i = 0; i < kSuffixLength; ++i) {
        name += kAlphabet[pick(entropy)];
    }
    return name;
}

bool isTemporaryNameFor(std::string_view name, std::string_view targetName) {
    if (name.size() != targetName.size() + kInfix.size() + kSuffixLength ||
        !name.starts_with(targetName) || name.substr(targetName.size(), kInfix.size()) != kInfix) {
        return false;
    }
    return std::ranges::all_of(name.substr(name.size() - kSuffixLength),
                               [](char c) { return kAlphabet.find(c) != std::string_view::npos; });
}

}  // namespace thermo
