#include "encoding/base64.h"
#include "support/case_names.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <ostream>
#include <random>
#include <string>
#include <unordered_set>

namespace zezi {
namespace {

using testing::PrintTo;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes pseudoRandom(std::size_t length, std::mt19937& generator) {
  Bytes octets(length);
  for (auto& octet : octets) {
    octet = static_cast<std::uint8_t>(generator());
  }
  return octets;
}

struct Base64Case {
  Bytes input;
  const char* expected;
};

void PrintTo(const Base64Case& c, std::ostream* os) {
  *os << '"' << c.expected << '"';
}

class Base64Vectors : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64Vectors, EncodesAsExpected) {
  EXPECT_EQ(base64Encode(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Vectors,
                         ::testing::Values(Base64Case{bytesOf(""), ""},
                                           Base64Case{bytesOf("f"), "Zg=="},
                                           Base64Case{bytesOf("fo"), "Zm8="},
                                           Base64Case{bytesOf("foo"), "Zm9v"},
                                           Base64Case{bytesOf("foob"), "Zm9vYg=="},
                                           Base64Case{bytesOf("fooba"), "Zm9vYmE="},
                                           Base64Case{bytesOf("foobar"), "Zm9vYmFy"}));

// The last two alphabet entries, which differ between the standard and URL-safe alphabets.
INSTANTIATE_TEST_SUITE_P(PlusAndSlash, Base64Vectors,
                         ::testing::Values(Base64Case{{0xfb, 0xff}, "+/8="},
                                           Base64Case{{0xff, 0xff, 0xff}, "////"},
                                           Base64Case{{0xfb, 0xef, 0xbe}, "++++"},
                                           Base64Case{{0xf8}, "+A=="}, Base64Case{{0xfc}, "/A=="},
                                           Base64Case{{0x00, 0x00, 0x00}, "AAAA"}));

TEST(Base64Encode, LengthAndAlphabetForEveryLengthUpTo100) {
  std::mt19937 generator(4648);
  for (std::size_t n = 0; n <= 100; ++n) {
    const std::string text = base64Encode(pseudoRandom(n, generator));
    ASSERT_EQ(text.size(), 4 * ((n + 2) / 3)) << "n=" << n;
    const std::size_t fill = (3 - n % 3) % 3;
    const std::string body = text.substr(0, text.size() - fill);
    EXPECT_EQ(body.find_first_not_of(kAlphabet), std::string::npos) << "n=" << n << ": " << text;
    EXPECT_EQ(text.substr(body.size()), std::string(fill, '=')) << "n=" << n;
  }
}

// OpenSSL's decoder serves as an independent reference.
TEST(Base64Encode, DecodesBackWithOpenSsl) {
  std::mt19937 generator(8259);
  for (std::size_t n = 0; n <= 200; ++n) {
    const Bytes input = pseudoRandom(n, generator);
    const std::string text = base64Encode(input);
    Bytes decoded(text.size() / 4 * 3 + 1);
    const int decodedSize =
        EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                        static_cast<int>(text.size()));
    // EVP_DecodeBlock counts the octets that fill characters stand for as zeros.
    ASSERT_EQ(decodedSize, static_cast<int>(text.size() / 4 * 3)) << "n=" << n;
    const std::size_t fill = (3 - n % 3) % 3;
    decoded.resize(static_cast<std::size_t>(decodedSize) - fill);
    EXPECT_EQ(decoded, input) << "n=" << n << ": " << text;
  }
}

// --- Decoding ---

TEST_P(Base64Vectors, DecodesBackToTheInput) {
  Bytes decoded = bytesOf("previous");
  ASSERT_TRUE(base64Decode(GetParam().expected, &decoded));
  EXPECT_EQ(decoded, GetParam().input);
}

TEST(Base64Decode, RoundTripsEveryLengthUpTo200) {
  std::mt19937 generator(1987);
  for (std::size_t n = 0; n <= 200; ++n) {
    const Bytes input = pseudoRandom(n, generator);
    Bytes decoded;
    ASSERT_TRUE(base64Decode(base64Encode(input), &decoded)) << "n=" << n;
    EXPECT_EQ(decoded, input) << "n=" << n;
  }
}

struct RefusedBase64 {
  const char* name;
  std::string text;
};

class Base64DecodeRefuses : public ::testing::TestWithParam<RefusedBase64> {};

TEST_P(Base64DecodeRefuses, AndLeavesOutputUntouched) {
  Bytes decoded = bytesOf("previous");
  EXPECT_FALSE(base64Decode(GetParam().text, &decoded));
  EXPECT_EQ(decoded, bytesOf("previous"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Base64DecodeRefuses,
    ::testing::Values(
        RefusedBase64{"FillMissing", "Zg"}, RefusedBase64{"OneFillMissing", "Zg="},
        RefusedBase64{"TwoFillsMissing", "Zm9vYg"}, RefusedBase64{"FillOfTwoOctetsMissing", "Zm8"},
        RefusedBase64{"SingleCharacter", "Z"}, RefusedBase64{"OnlyFill", "===="},
        RefusedBase64{"ThreeFills", "Z==="}, RefusedBase64{"FiveCharacters", "Zm9vY"},
        RefusedBase64{"ExtraFill", "Zg==="}, RefusedBase64{"FillGroupAppended", "Zm9v===="},
        RefusedBase64{"FillInFirstGroup", "Zg==Zm9v"},
        RefusedBase64{"FillBetweenCharacters", "Z=g="},
        RefusedBase64{"NonZeroBitsUnderTwoFills", "Zh=="},
        RefusedBase64{"NonZeroBitsUnderOneFill", "Zm9="},
        RefusedBase64{"LowestUnusedBitSet", "AB=="}, RefusedBase64{"UrlSafeMinus", "-A=="},
        RefusedBase64{"UrlSafeUnderscore", "_A=="}, RefusedBase64{"UrlSafeInLongText", "Zm9v-_8="},
        RefusedBase64{"SpaceInside", "Zm9v Zm8="}, RefusedBase64{"SpacesKeepingLength", "Zm  9v=="},
        RefusedBase64{"NewlineInside", "Zm9v\nZm8="}, RefusedBase64{"TrailingNewline", "Zm9v\n"},
        RefusedBase64{"CrLfKeepingLength", "Zm\r\n"},
        RefusedBase64{"LeadingSpaceKeepingLength", " Zm8"},
        RefusedBase64{"TabKeepingLength", "Zm8\t"},
        RefusedBase64{"NulOctet", std::string("Zm\0v", 4)}, RefusedBase64{"HighOctet", "Zm\xc3v"},
        RefusedBase64{"Dot", "Zm.v"}),
    testing::caseName);

TEST(Base64Decode, NullOutputIsRefused) {
  EXPECT_FALSE(base64Decode("Zm9v", nullptr));
}

// Every group of four characters drawn from the alphabet, "=" and a few look-alikes is
// accepted exactly when the encoder writes it for some octets; the texts the encoder
// writes for one and two octets are listed from the encoder itself.
TEST(Base64Decode, AcceptsExactlyTheEncodersGroups) {
  std::unordered_set<std::string> shortGroups;
  for (unsigned first = 0; first < 256; ++first) {
    shortGroups.insert(base64Encode({static_cast<std::uint8_t>(first)}));
    for (unsigned second = 0; second < 256; ++second) {
      shortGroups.insert(
          base64Encode({static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second)}));
    }
  }
  const std::string characters = std::string(kAlphabet) + "=-_ .";
  std::size_t accepted = 0;
  for (const char first : {'Z', '/'}) {
    for (const char second : characters) {
      for (const char third : characters) {
        for (const char fourth : characters) {
          const std::string group{first, second, third, fourth};
          const bool fullGroup = group.find_first_not_of(kAlphabet) == std::string::npos;
          const bool expected = fullGroup || shortGroups.count(group) == 1;
          // A prefix group proves that fill is only taken at the very end.
          const std::string longer = "Zm9v" + group;
          Bytes decoded;
          ASSERT_EQ(base64Decode(group, &decoded), expected) << group;
          ASSERT_EQ(base64Decode(longer, &decoded), expected) << longer;
          if (expected) {
            ++accepted;
            EXPECT_EQ(base64Encode(decoded), longer);
          }
        }
      }
    }
  }
  // Per first character: 64^3 full groups, 64 * 16 with one fill, 4 with two.
  EXPECT_EQ(accepted, 2U * (64 * 64 * 64 + 64 * 16 + 4));
}

}  // namespace
}  // namespace zezi
