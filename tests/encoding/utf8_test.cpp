#include "encoding/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace zezi {
namespace {

struct Utf8Case {
  std::string text;
  bool wellFormed;
};

TEST(Utf8, AcceptsOnlyShortestFormScalarValues) {
  const Utf8Case cases[] = {
      {"", true},
      {"plain ASCII \"quoted\"", true},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb6", true},  // two, three and four octets
      {"\xf4\x8f\xbf\xbf", true},                           // U+10FFFF, the last
      {"\xed\x9f\xbf", true},                               // U+D7FF, just below the surrogates
      {"Zezi \xe9\xff", false},                             // Latin-1 octets
      {"\x80", false},                                      // a continuation alone
      {"\xc3", false},                                      // a sequence cut short
      {"\xe2\x82", false},
      {"\xc0\xaf", false},          // overlong '/'
      {"\xe0\x80\xaf", false},      // overlong in three octets
      {"\xed\xa0\x80", false},      // U+D800, a surrogate
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xf8\x88\x80\x80\x80", false},
      {"ok\xc3\x28", false},  // a lead followed by no continuation
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(isUtf8(c.text), c.wellFormed) << testing::PrintToString(c.text);
  }
}

TEST(Utf8, NextCodePointConsumesOnePointAndLeavesBadInputAsItWas) {
  std::string_view text = "\xe2\x82\xac!";
  EXPECT_EQ(nextCodePoint(&text), U'\u20ac');
  EXPECT_EQ(text, "!");
  std::string_view bad = "\xe2\x82";
  EXPECT_EQ(nextCodePoint(&bad), std::nullopt);
  EXPECT_EQ(bad, "\xe2\x82");
}

}  // namespace
}  // namespace zezi
