#include "cli/time_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace zezi {
namespace {

TEST(ParseDuration, TakesAWholeNumberAndOneUnit) {
  const std::pair<std::string_view, std::optional<std::uint64_t>> cases[] = {
      {"90s", 90},
      {"45m", 2'700},
      {"12h", 43'200},
      {"30d", 2'592'000},
      {"2w", 1'209'600},
      {"3650d", kMaxValiditySeconds},
      {"521w", 521 * 604'800},
      {"3651d", std::nullopt},
      {"522w", std::nullopt},
      {"315360001s", std::nullopt},
      {"0d", std::nullopt},
      {"30", std::nullopt},
      {"d", std::nullopt},
      {"", std::nullopt},
      {"30D", std::nullopt},
      {"1.5d", std::nullopt},
      {"-1d", std::nullopt},
      {" 1d", std::nullopt},
      {"1d ", std::nullopt},
      {"99999999999999999999d", std::nullopt},
  };
  for (const auto& [text, seconds] : cases) {
    EXPECT_EQ(parseDuration(text), seconds) << text;
  }
}

TEST(UtcText, WritesRfc3339UpToTheYear9999) {
  EXPECT_EQ(utcText(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(utcText(1'800'000'000), "2027-01-15T08:00:00Z");
  EXPECT_EQ(utcText(951'782'400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(utcText(2'147'483'647), "2038-01-19T03:14:07Z");
  EXPECT_EQ(utcText(2'147'483'648), "2038-01-19T03:14:08Z");
  EXPECT_EQ(utcText(4'102'444'800), "2100-01-01T00:00:00Z");
  EXPECT_EQ(utcText(253'402'300'799), "9999-12-31T23:59:59Z");
  EXPECT_EQ(utcText(253'402'300'800), "@253402300800");
  EXPECT_EQ(utcText(18'446'744'073'709'551'615U), "@18446744073709551615");
}

TEST(ParseUnsigned, TakesDigitsUpTo64Bits) {
  EXPECT_EQ(parseUnsigned("0"), 0U);
  EXPECT_EQ(parseUnsigned("18446744073709551615"), 18'446'744'073'709'551'615U);
  for (const std::string_view bad : {"", "18446744073709551616", "+1", "-1", "1 ", "0x10", "1e3"}) {
    EXPECT_EQ(parseUnsigned(bad), std::nullopt) << bad;
  }
}

TEST(ParseMoment, TakesWhatUtcTextWritesOrUnixSeconds) {
  EXPECT_EQ(parseMoment("1700000000"), 1'700'000'000U);
  EXPECT_EQ(parseMoment("2023-11-14T22:13:20Z"), 1'700'000'000U);
  EXPECT_EQ(parseMoment("1970-01-01T00:00:00Z"), 0U);
  EXPECT_EQ(parseMoment("2024-02-29T00:00:00Z"), 1'709'164'800U);
  EXPECT_EQ(parseMoment("2038-01-19T03:14:08Z"), 2'147'483'648U);
  EXPECT_EQ(parseMoment("2100-01-01T00:00:00Z"), 4'102'444'800U);
  EXPECT_EQ(parseMoment("9999-12-31T23:59:59Z"), 253'402'300'799U);
  for (const char* bad : {"", "now", "-1", "2023-11-14T22:13:20", "2023-11-14T22:13:20+01:00",
                          "2023-11-14 22:13:20Z", "2023-02-31T00:00:00Z", "2023-11-14T24:00:00Z",
                          "2023-11-14T22:13:20Zx", "2023-1-14T22:13:20Z"}) {
    EXPECT_EQ(parseMoment(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace zezi
