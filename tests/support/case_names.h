// Names parameterised cases after their `name` member: in the test's name, and where
// GoogleTest prints the parameter of a failing case.
#pragma once

#include <ostream>
#include <string>

namespace zezi::testing {

template <typename Case>
concept NamedCase = requires(const Case& c) {
  std::string(c.name);
};

// The name generator of INSTANTIATE_TEST_SUITE_P.
inline constexpr auto caseName = [](const auto& info) { return std::string(info.param.name); };

// GoogleTest's printer finds this through argument-dependent lookup once a test's own
// namespace says `using testing::PrintTo;`.
template <NamedCase Case>
void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

}  // namespace zezi::testing
