#include "encoding/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <ostream>
#include <random>
#include <string>

namespace zezi {
namespace {

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

}  // namespace
}  // namespace zezi
