#include "encoding/hex.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

namespace zezi {
namespace {

Bytes allOctetValues() {
  Bytes octets(256);
  for (std::size_t i = 0; i < octets.size(); ++i) {
    octets[i] = static_cast<std::uint8_t>(i);
  }
  return octets;
}

TEST(HexEncode, WritesTwoLowercaseDigitsPerOctet) {
  EXPECT_EQ(hexEncode({0x00, 0x09, 0x0a, 0xab, 0xcd, 0xef, 0xf0, 0xff}), "00090aabcdeff0ff");
  const std::string all = hexEncode(allOctetValues());
  ASSERT_EQ(all.size(), 512u);
  EXPECT_EQ(all.find_first_not_of(kHexDigits), std::string::npos);
  EXPECT_EQ(all.substr(0, 8), "00010203");
  EXPECT_EQ(all.substr(504), "fcfdfeff");
}

TEST(HexRoundTrip, DecodesWhatItEncodes) {
  std::mt19937 generator(20240611);
  std::vector<Bytes> inputs = {{}, {0x00}, {0xff}, {0x0f, 0xf0}, allOctetValues()};
  for (std::size_t length : {1u, 31u, 32u, 33u, 64u, 65u, 1000u}) {
    Bytes random(length);
    for (auto& octet : random) {
      octet = static_cast<std::uint8_t>(generator());
    }
    inputs.push_back(random);
  }
  for (const Bytes& input : inputs) {
    const std::string hex = hexEncode(input);
    EXPECT_EQ(hex.size(), 2 * input.size());
    EXPECT_EQ(hexDecode(hex), input) << hex;
  }
}

TEST(HexDecode, AcceptsEitherCase) {
  const Bytes expected = {0xde, 0xad, 0xbe, 0xef, 0xab, 0xcd};
  EXPECT_EQ(hexDecode("deadbeefabcd"), expected);
  EXPECT_EQ(hexDecode("DEADBEEFABCD"), expected);
  EXPECT_EQ(hexDecode("DeAdbEeFaBcD"), expected);
}

TEST(HexDecode, EmptyTextGivesNoOctets) {
  EXPECT_TRUE(hexDecode("").empty());
}

class HexDecodeRejects : public ::testing::TestWithParam<std::string> {};

TEST_P(HexDecodeRejects, ThrowsInvalidArgument) {
  EXPECT_THROW((void)hexDecode(GetParam()), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(NonHexCharacters, HexDecodeRejects,
                         ::testing::Values("zz", " f", "-1", "0x", "f ", "g0", "+1", "0G",
                                           "00112233445566778899aabbccddeeff0z",
                                           std::string("0\0", 2), std::string("\xff\xff", 2)));
INSTANTIATE_TEST_SUITE_P(OddLengths, HexDecodeRejects,
                         ::testing::Values("a", "0", "abc", "00112", "zzz"));

struct LowercaseHexCase {
  const char* text;
  std::size_t octetCount;
  bool expected;
};

void PrintTo(const LowercaseHexCase& c, std::ostream* os) {
  *os << '"' << c.text << "\" / " << c.octetCount;
}

class IsLowercaseHex : public ::testing::TestWithParam<LowercaseHexCase> {};

TEST_P(IsLowercaseHex, HoldsOnlyForExactLengthLowercase) {
  const auto& [text, octetCount, expected] = GetParam();
  EXPECT_EQ(isLowercaseHex(text, octetCount), expected) << '"' << text << "\" / " << octetCount;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsLowercaseHex,
    ::testing::Values(LowercaseHexCase{"", 0, true}, LowercaseHexCase{"00ff", 2, true},
                      LowercaseHexCase{"0123456789abcdef", 8, true},
                      LowercaseHexCase{"00FF", 2, false}, LowercaseHexCase{"00fF", 2, false},
                      LowercaseHexCase{"00ff", 1, false}, LowercaseHexCase{"00ff", 3, false},
                      LowercaseHexCase{"00f", 2, false}, LowercaseHexCase{"00ff0", 2, false},
                      LowercaseHexCase{"0g", 1, false}, LowercaseHexCase{"0x", 1, false},
                      LowercaseHexCase{" 0", 1, false}, LowercaseHexCase{"", 1, false}));

}  // namespace
}  // namespace zezi
