#pragma once

#include <concepts>
#include <ostream>
#include <string>
#include <string_view>

// Each data-driven row carries the name of the case it guards; GoogleTest names the case and
// prints the parameter by it:
//   INSTANTIATE_TEST_SUITE_P(Rows, Suite, ::testing::ValuesIn(kRows), rowName);
// Argument-dependent lookup finds PrintTo for rows in thermo's unnamed namespace; a test whose
// rows live in another namespace says `using thermo::PrintTo;` there.
namespace thermo::rows {

template <typename Row>
requires std::convertible_to<decltype(Row::name), std::string_view>
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

inline constexpr auto rowName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace thermo::rows

namespace thermo {
using rows::PrintTo;
using rows::rowName;
namespace {
using rows::PrintTo;
}  // namespace
}  // namespace thermo
