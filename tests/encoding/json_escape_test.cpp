#include "encoding/json_escape.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "encoding/hex.h"

namespace zezi {
namespace {

struct EscapeCase {
  std::string input;
  std::string expected;
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << "octets " << hexEncode(Bytes(c.input.begin(), c.input.end()));
}

class JsonEscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscapeTable, EscapesAsExpected) {
  EXPECT_EQ(jsonEscape(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(ShortEscapes, JsonEscapeTable,
                         ::testing::Values(EscapeCase{"\t", "\\t"}, EscapeCase{"\n", "\\n"},
                                           EscapeCase{"\r", "\\r"}, EscapeCase{"\"", "\\\""},
                                           EscapeCase{"\\", "\\\\"},
                                           EscapeCase{"a\"b\\c", "a\\\"b\\\\c"},
                                           EscapeCase{"", ""}));
INSTANTIATE_TEST_SUITE_P(
    UnicodeEscapes, JsonEscapeTable,
    ::testing::Values(EscapeCase{std::string(1, '\0'), "\\u0000"}, EscapeCase{"\x08", "\\u0008"},
                      EscapeCase{"\x0c", "\\u000c"}, EscapeCase{"\x1f", "\\u001f"},
                      EscapeCase{"\x01", "\\u0001"}, EscapeCase{"\x1b", "\\u001b"},
                      EscapeCase{std::string("a\0b", 3), "a\\u0000b"}));
INSTANTIATE_TEST_SUITE_P(CopiedAsIs, JsonEscapeTable,
                         ::testing::Values(EscapeCase{"/", "/"}, EscapeCase{"\x7f", "\x7f"},
                                           EscapeCase{"\xc3\xa9", "\xc3\xa9"},
                                           EscapeCase{"\x80", "\x80"}, EscapeCase{"\xff", "\xff"},
                                           EscapeCase{"\x80\xbf\xc0\xfe", "\x80\xbf\xc0\xfe"},
                                           EscapeCase{"My WiFi 5G !#$%&'()*+,-.",
                                                      "My WiFi 5G !#$%&'()*+,-."}));

TEST(JsonEscape, EachQuoteBecomesTwoCharacters) {
  for (std::size_t k = 0; k <= 40; ++k) {
    const std::string escaped = jsonEscape(std::string(k, '"'));
    ASSERT_EQ(escaped.size(), 2 * k);
    for (std::size_t i = 0; i < k; ++i) {
      EXPECT_EQ(escaped.substr(2 * i, 2), "\\\"") << "k=" << k;
    }
  }
}

TEST(JsonEscape, NoOctetLeavesARawControlCharacter) {
  for (int value = 0; value < 256; ++value) {
    const std::string input = "x" + std::string(1, static_cast<char>(value)) + "y";
    const std::string escaped = jsonEscape(input);
    for (const char c : escaped) {
      EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "octet " << value;
    }
    const bool escapes = value < 0x20 || value == '"' || value == '\\';
    EXPECT_EQ(escaped == input, !escapes) << "octet " << value;
    EXPECT_EQ(escaped.front(), 'x');
    EXPECT_EQ(escaped.back(), 'y');
  }
}

TEST(JsonEscape, JsonParserReadsBackValidUtf8) {
  std::string allControls;
  for (int value = 0; value < 0x20; ++value) {
    allControls.push_back(static_cast<char>(value));
  }
  const std::string inputs[] = {
      allControls,
      "",
      "plain ssid",
      "quote \" backslash \\ slash / tab \t end",
      "\\\"\\\\\"",
      "\\u0041 is not an escape here",
      "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 \x7f",
      allControls + "\"\\" + allControls,
  };
  for (const std::string& input : inputs) {
    const std::string escaped = jsonEscape(input);
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse("\"" + escaped + "\"")) << escaped;
    EXPECT_EQ(parsed.get<std::string>(), input) << escaped;
  }
}

}  // namespace
}  // namespace zezi
