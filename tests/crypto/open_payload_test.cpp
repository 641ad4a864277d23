
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "crypto/aead.h"
#include "sealer/builder.h"
#include "support/case_names.h"

namespace zezi {
namespace {

using testing::PrintTo;

const Bytes kKey(32, 0x3c);
const Bytes kNonce(12, 0xc3);
const Bytes kDomain = textToBytes(kEnvelopeDomain);
const Bytes kPlaintext = textToBytes("hello, fleet");
const Bytes kSentinel = textToBytes("sentinel");

Bytes sealedPlaintext() {
  return sealPayload(kKey, kNonce, kDomain, kPlaintext);
}

struct LengthCase {
  const char* name;
  std::size_t keySize;
  std::size_t nonceSize;
  std::size_t sealedSize;
  OpenStatus expected;
};

class OpenPayloadLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(OpenPayloadLengths, FirstBadLengthDecidesStatus) {
  const LengthCase& c = GetParam();
  Bytes opened = kSentinel;
  EXPECT_EQ(openPayload(Bytes(c.keySize, 1), Bytes(c.nonceSize, 2), kDomain, Bytes(c.sealedSize, 3),
                        &opened),
            c.expected);
  EXPECT_EQ(opened, kSentinel);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenPayloadLengths,
    ::testing::Values(LengthCase{"BadKeyAndBadNonceGive1", 31, 16, 0, kOpenBadKeyLength},
                      LengthCase{"Key33Gives1", 33, 12, 40, kOpenBadKeyLength},
                      LengthCase{"Nonce16Gives2", 32, 16, 0, kOpenBadNonceLength},
                      LengthCase{"Nonce11Gives2", 32, 11, 40, kOpenBadNonceLength},
                      LengthCase{"Sealed15Gives3", 32, 12, 15, kOpenTooShort},
                      LengthCase{"EmptySealedGives3", 32, 12, 0, kOpenTooShort}),
    testing::caseName);

TEST(OpenPayload, TagOnlySealingOfEmptyPlaintextOpensToEmpty) {
  const Bytes sealed = sealPayload(kKey, kNonce, kDomain, {});
  ASSERT_EQ(sealed.size(), kTagSize);
  Bytes opened = kSentinel;
  EXPECT_EQ(openPayload(kKey, kNonce, kDomain, sealed, &opened), kOpenOk);
  EXPECT_TRUE(opened.empty());
}

TEST(OpenPayload, PreviousContentsAreReplacedNotAppended) {
  Bytes opened = textToBytes("previous contents, longer than the plaintext");
  ASSERT_EQ(openPayload(kKey, kNonce, kDomain, sealedPlaintext(), &opened), kOpenOk);
  EXPECT_EQ(opened, kPlaintext);
}

TEST(OpenPayload, EveryFlippedBitFailsWithStatus4) {
  const Bytes sealed = sealedPlaintext();
  ASSERT_EQ(sealed.size(), kPlaintext.size() + kTagSize);
  for (std::size_t bit = 0; bit < 8 * sealed.size(); ++bit) {
    Bytes tampered = sealed;
    tampered[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    Bytes opened = kSentinel;
    EXPECT_EQ(openPayload(kKey, kNonce, kDomain, tampered, &opened), kOpenAuthenticationFailed)
        << "bit " << bit;
    EXPECT_EQ(opened, kSentinel) << "bit " << bit;
  }
}

TEST(OpenPayload, EveryTruncationOrAppendedOctetFailsWithStatus3Or4) {
  const Bytes sealed = sealedPlaintext();
  std::vector<Bytes> altered;
  for (std::size_t size = 0; size < sealed.size(); ++size) {
    altered.emplace_back(sealed.begin(), sealed.begin() + static_cast<std::ptrdiff_t>(size));
  }
  altered.push_back(sealed);
  altered.back().push_back(0x00);
  for (const Bytes& candidate : altered) {
    Bytes opened = kSentinel;
    EXPECT_EQ(openPayload(kKey, kNonce, kDomain, candidate, &opened),
              candidate.size() < kTagSize ? kOpenTooShort : kOpenAuthenticationFailed)
        << "size " << candidate.size();
    EXPECT_EQ(opened, kSentinel) << "size " << candidate.size();
  }
}

TEST(OpenPayload, OtherKeyOrNonceFailsWithStatus4) {
  Bytes otherKey = kKey;
  otherKey[31] ^= 0x01;
  Bytes otherNonce = kNonce;
  otherNonce[0] ^= 0x80;
  Bytes opened = kSentinel;
  EXPECT_EQ(openPayload(otherKey, kNonce, kDomain, sealedPlaintext(), &opened),
            kOpenAuthenticationFailed);
  EXPECT_EQ(openPayload(kKey, otherNonce, kDomain, sealedPlaintext(), &opened),
            kOpenAuthenticationFailed);
  EXPECT_EQ(opened, kSentinel);
}

struct AadCase {
  const char* name;
  std::string sealedWith;
  std::string openedWith;
  OpenStatus expected;
};

class OpenPayloadAad : public ::testing::TestWithParam<AadCase> {};

TEST_P(OpenPayloadAad, OpensOnlyWithTheSameAad) {
  const AadCase& c = GetParam();
  const Bytes sealed = sealPayload(kKey, kNonce, textToBytes(c.sealedWith), kPlaintext);
  Bytes opened = kSentinel;
  EXPECT_EQ(openPayload(kKey, kNonce, textToBytes(c.openedWith), sealed, &opened), c.expected);
  EXPECT_EQ(opened, c.expected == kOpenOk ? kPlaintext : kSentinel);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenPayloadAad,
    ::testing::Values(AadCase{"SameDomainOpens", std::string(kEnvelopeDomain),
                              std::string(kEnvelopeDomain), kOpenOk},
                      AadCase{"BothEmptyOpens", "", "", kOpenOk},
                      AadCase{"WrongDomainFailsWithStatus4", std::string(kEnvelopeDomain),
                              "wrong-domain", kOpenAuthenticationFailed},
                      AadCase{"EmptyOpeningAadFailsWithStatus4", std::string(kEnvelopeDomain), "",
                              kOpenAuthenticationFailed},
                      AadCase{"EmptySealingAadFailsWithStatus4", "", std::string(kEnvelopeDomain),
                              kOpenAuthenticationFailed}),
    testing::caseName);

TEST(OpenPayload, NullOutputGivesNonZeroStatus) {
  EXPECT_NE(openPayload(kKey, kNonce, kDomain, sealedPlaintext(), nullptr), kOpenOk);
  Bytes tampered = sealedPlaintext();
  tampered[0] ^= 0x01;
  EXPECT_NE(openPayload(kKey, kNonce, kDomain, tampered, nullptr), kOpenOk);
}

TEST(OpenStatusText, EveryStatusHasItsTextAndOthersAreUnknown) {
  const std::pair<OpenStatus, std::string> table[] = {
      {0, "ok"},
      {1, "bad key length"},
      {2, "bad nonce length"},
      {3, "too short to contain a tag"},
      {4, "authentication failed"},
      {5, "internal error"},
      {6, "unknown"},
      {-1, "unknown"},
  };
  for (const auto& [status, text] : table) {
    ASSERT_NE(openStatusText(status), nullptr) << status;
    EXPECT_EQ(openStatusText(status), text) << status;
  }
}

}  // namespace
}  // namespace zezi
