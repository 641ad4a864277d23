#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <span>
#include <string>

#include "encoding/hex.h"
#include "support/case_names.h"

namespace zezi {
namespace {

using testing::PrintTo;

struct DigestCase {
  const char* name;
  std::string message;
  const char* digestHex;
};

class Sha256 : public ::testing::TestWithParam<DigestCase> {};

// Both forms of the message give the one digest.
TEST_P(Sha256, MatchesTheKnownDigest) {
  const DigestCase& c = GetParam();
  Digest fromText{};
  Digest fromOctets{};
  ASSERT_TRUE(sha256(c.message, &fromText));
  const Bytes octets = textToBytes(c.message);
  ASSERT_TRUE(sha256(std::span<const std::uint8_t>(octets), &fromOctets));
  EXPECT_EQ(hexEncode(Bytes(fromText.begin(), fromText.end())), c.digestHex);
  EXPECT_EQ(fromOctets, fromText);
}

// FIPS 180-2, appendix B, and the empty message.
INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256,
    ::testing::Values(
        DigestCase{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        DigestCase{"OneBlock", "abc",
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        DigestCase{"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        DigestCase{"WithNulOctets", std::string("a\0b", 3),
                   "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"}),
    testing::caseName);

TEST(Sha256, WithoutAnOutputRefuses) {
  EXPECT_FALSE(sha256(std::string_view("abc"), nullptr));
}

}  // namespace
}  // namespace zezi
