#pragma once

#include <ostream>
#include <string>
#include <type_traits>

// Each data-driven row carries the name of the case it guards; GoogleTest names the case and
// prints the parameter by it. Declared in the tests' unnamed namespace, where the rows live, so
// that argument-dependent lookup finds PrintTo.
namespace thermo {
namespace {

template <typename Row>
requires std::is_same_v<decltype(Row::name), const char*>
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

inline constexpr auto rowName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace
}  // namespace thermo
