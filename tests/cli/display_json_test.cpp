#include "cli/display_json.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "support/case_names.h"

namespace zezi {
namespace {

using testing::PrintTo;

struct DisplayCase {
  const char* name;
  std::string text;
  std::string json;  // "null" for text that is not UTF-8
};

class DisplaySafeJson : public ::testing::TestWithParam<DisplayCase> {};

TEST_P(DisplaySafeJson, EscapesWhatCouldDriveATerminalAndRefusesWhatIsNotUtf8) {
  const DisplayCase& c = GetParam();
  const std::string json = displaySafeJsonString(c.text);
  EXPECT_EQ(json, c.json);
  // Valid JSON always, and a string gives back exactly the text.
  const auto parsed = nlohmann::json::parse(json, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << json;
  if (c.json != "null") {
    EXPECT_EQ(parsed.get<std::string>(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DisplaySafeJson,
    ::testing::Values(
        DisplayCase{"Empty", "", R"("")"},
        DisplayCase{"QuoteAndBackslash", R"(a"b\c)", R"("a\"b\\c")"},
        DisplayCase{"EscapeSequence", "\x1b[31mred", R"("\u001b[31mred")"},
        DisplayCase{"Nul", std::string("a\0b", 3), R"("a\u0000b")"},
        DisplayCase{"DelAndC1NextLine", "\x7f\xc2\x85", R"("\u007f\u0085")"},
        // The first octet pair after the C1 controls is a plain no-break space.
        DisplayCase{"NoBreakSpaceKept", "a\xc2\xa0z", "\"a\xc2\xa0z\""},
        DisplayCase{"SoftHyphen", "\xc2\xad", R"("\u00ad")"},
        DisplayCase{"MarksAndIsolates", "\xe2\x80\x8e\xe2\x81\xa6", R"("\u200e\u2066")"},
        DisplayCase{"ParagraphSeparatorAndByteOrderMark", "\xe2\x80\xa9\xef\xbb\xbf",
                    R"("\u2029\ufeff")"},
        DisplayCase{"LastTagCharacterAsSurrogatePair", "\xf3\xa0\x81\xbf", R"("\udb40\udc7f")"},
        DisplayCase{"UnicodeOfEveryLengthKept", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
                    "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        DisplayCase{"LastCodePointKept", "\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
        DisplayCase{"OverlongTwoOctets", "\xc0\xaf", "null"},
        DisplayCase{"OverlongThreeOctets", "\xe0\x80\xaf", "null"},
        DisplayCase{"OverlongFourOctets", "\xf0\x8f\xbf\xbf", "null"},
        DisplayCase{"Surrogate", "\xed\xa0\x80", "null"},
        DisplayCase{"BeyondTheLastCodePoint", "\xf4\x90\x80\x80", "null"},
        DisplayCase{"Truncated", "ok\xe2\x82", "null"},
        DisplayCase{"LoneContinuation", "\x80", "null"},
        DisplayCase{"FiveOctetForm", "\xf8\x88\x80\x80\x80", "null"},
        DisplayCase{"Latin1", "caf\xe9", "null"}),
    testing::caseName);

}  // namespace
}  // namespace zezi
