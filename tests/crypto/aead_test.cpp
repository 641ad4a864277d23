#include "crypto/aead.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "sealer/builder.h"
#include "support/case_names.h"
#include "support/wycheproof.h"

namespace zezi {
namespace {

using testing::PrintTo;

const Bytes kSentinel = textToBytes("sentinel: must survive a refusal");

TEST(SealPayload, WycheproofAes256GcmCasesSealAndOpen) {
  const auto suite = testing::loadWycheproof("aes_gcm_test.json");
  if (!suite) {
    GTEST_SKIP() << "aes_gcm_test.json not found";
  }
  testing::SuiteCounts counts;
  for (const auto& group : suite->at("testGroups")) {
    // Only the sizes the envelope uses: 256-bit key, 96-bit nonce, 128-bit tag.
    if (group.at("keySize") != 256 || group.at("ivSize") != 96 || group.at("tagSize") != 128) {
      counts.setApart += static_cast<int>(group.at("tests").size());
      continue;
    }
    for (const auto& test : group.at("tests")) {
      SCOPED_TRACE("tcId " + std::to_string(test.at("tcId").get<int>()));
      const Bytes key = testing::hexField(test, "key");
      const Bytes nonce = testing::hexField(test, "iv");
      const Bytes aad = testing::hexField(test, "aad");
      const Bytes message = testing::hexField(test, "msg");
      Bytes sealed = testing::hexField(test, "ct");
      const Bytes tag = testing::hexField(test, "tag");
      sealed.insert(sealed.end(), tag.begin(), tag.end());

      Bytes opened = kSentinel;
      const OpenStatus status = openPayload(key, nonce, aad, sealed, &opened);
      if (test.at("result") == "valid") {
        EXPECT_EQ(sealPayload(key, nonce, aad, message), sealed);
        EXPECT_EQ(status, kOpenOk);
        EXPECT_EQ(opened, message);
        ++counts.passed;
      } else {
        EXPECT_NE(sealPayload(key, nonce, aad, message), sealed);
        EXPECT_EQ(status, kOpenAuthenticationFailed);
        EXPECT_EQ(opened, kSentinel);
        ++counts.refused;
      }
    }
  }
  std::printf(
      "[   INFO   ] aes_gcm 256/96/128: %d valid sealed and opened, %d refused, %d set apart\n",
      counts.passed, counts.refused, counts.setApart);
  EXPECT_GT(counts.passed, 0);
  EXPECT_GT(counts.refused, 0);
}

struct LengthCase {
  const char* name;
  std::size_t keySize;
  std::size_t nonceSize;
};

class SealPayloadRefusesLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(SealPayloadRefusesLength, GivesEmpty) {
  const Bytes key(GetParam().keySize, 0x42);
  const Bytes nonce(GetParam().nonceSize, 0x24);
  EXPECT_TRUE(sealPayload(key, nonce, textToBytes("aad"), textToBytes("payload")).empty());
  EXPECT_TRUE(sealPayload(key, nonce, {}, {}).empty());
}

INSTANTIATE_TEST_SUITE_P(Table, SealPayloadRefusesLength,
                         ::testing::Values(LengthCase{"Key31", 31, 12}, LengthCase{"Key33", 33, 12},
                                           LengthCase{"EmptyKey", 0, 12},
                                           LengthCase{"Nonce11", 32, 11},
                                           LengthCase{"Nonce16", 32, 16},
                                           LengthCase{"EmptyNonce", 32, 0}),
                         testing::caseName);

const Bytes kKey(32, 0x5a);
const Bytes kNonce(12, 0xa5);

// Size 0 included: an empty plaintext seals to the tag alone.
TEST(SealPayload, OutputIsPlaintextPlusTagForEverySizeUpTo70) {
  for (std::size_t size = 0; size <= 70; ++size) {
    const Bytes plaintext(size, static_cast<std::uint8_t>(size));
    const Bytes sealed = sealPayload(kKey, kNonce, textToBytes("aad"), plaintext);
    EXPECT_EQ(sealed.size(), size + kTagSize) << "plaintext of " << size;
    Bytes opened;
    EXPECT_EQ(openPayload(kKey, kNonce, textToBytes("aad"), sealed, &opened), kOpenOk);
    EXPECT_EQ(opened, plaintext) << "plaintext of " << size;
  }
}

TEST(SealPayload, AadOctetChangesOnlyTheTag) {
  const Bytes plaintext = textToBytes("{\"networks\":[]}");
  Bytes aad = textToBytes("tolvane-wifi-drive/v1");
  const Bytes sealed = sealPayload(kKey, kNonce, aad, plaintext);
  aad[3] ^= 0x01;
  const Bytes resealed = sealPayload(kKey, kNonce, aad, plaintext);
  ASSERT_EQ(sealed.size(), plaintext.size() + kTagSize);
  ASSERT_EQ(resealed.size(), sealed.size());
  const auto tagStart = static_cast<std::ptrdiff_t>(plaintext.size());
  EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + tagStart),
            Bytes(resealed.begin(), resealed.begin() + tagStart));
  EXPECT_NE(Bytes(sealed.begin() + tagStart, sealed.end()),
            Bytes(resealed.begin() + tagStart, resealed.end()));
}

TEST(SealPayload, SameInputsSealAlikeAndOtherNonceDiffers) {
  const Bytes plaintext = textToBytes("same payload");
  const Bytes sealed = sealPayload(kKey, kNonce, {}, plaintext);
  ASSERT_FALSE(sealed.empty());
  EXPECT_EQ(sealPayload(kKey, kNonce, {}, plaintext), sealed);
  Bytes otherNonce = kNonce;
  otherNonce.back() ^= 0x01;
  EXPECT_NE(sealPayload(kKey, otherNonce, {}, plaintext), sealed);
}

}  // namespace
}  // namespace zezi
