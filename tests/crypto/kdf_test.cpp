#include "crypto/kdf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <utility>

#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "sealer/builder.h"
#include "support/case_names.h"
#include "support/known_values.h"
#include "support/wycheproof.h"

namespace zezi {
namespace {

using testing::PrintTo;

// `count` consecutive octet values starting at `first`.
Bytes octetRun(std::uint8_t first, std::size_t count) {
  Bytes run(count);
  for (std::size_t i = 0; i < count; ++i) {
    run[i] = static_cast<std::uint8_t>(first + i);
  }
  return run;
}

struct HkdfCase {
  const char* name;
  Bytes key;
  Bytes salt;
  Bytes info;
  const char* okmHex;
};

class HkdfRfc5869 : public ::testing::TestWithParam<HkdfCase> {};

TEST_P(HkdfRfc5869, MatchesPublishedOutput) {
  const HkdfCase& c = GetParam();
  const Bytes expected = hexDecode(c.okmHex);
  EXPECT_EQ(hexEncode(hkdfSha256(c.key, c.salt, c.info, expected.size())), c.okmHex);
}

// RFC 5869 appendix A, test cases 1 to 3 (SHA-256); case 3 has empty salt and info.
INSTANTIATE_TEST_SUITE_P(
    Rfc5869, HkdfRfc5869,
    ::testing::Values(
        HkdfCase{
            "Case1", Bytes(22, 0x0b), octetRun(0x00, 13), octetRun(0xf0, 10),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b8871858"
            "65"},
        HkdfCase{"Case2", octetRun(0x00, 80), octetRun(0x60, 80), octetRun(0xb0, 80),
                 "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac78272"
                 "71cb41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f"
                 "1d87"},
        HkdfCase{"Case3EmptySaltAndInfo",
                 Bytes(22, 0x0b),
                 {},
                 {},
                 "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a"
                 "96c8"}),
    testing::caseName);

TEST(HkdfSha256, WycheproofValidCasesMatchAndOthersAreRefused) {
  const auto suite = testing::loadWycheproof("hkdf_sha256_test.json");
  if (!suite) {
    GTEST_SKIP() << "hkdf_sha256_test.json not found";
  }
  int matched = 0;
  int refused = 0;
  for (const auto& group : suite->at("testGroups")) {
    for (const auto& test : group.at("tests")) {
      SCOPED_TRACE("tcId " + std::to_string(test.at("tcId").get<int>()));
      const std::size_t size = test.at("size").get<std::size_t>();
      const Bytes okm = hkdfSha256(testing::hexField(test, "ikm"), testing::hexField(test, "salt"),
                                   testing::hexField(test, "info"), size);
      if (test.at("result") == "valid" && size <= kHkdfSha256MaxLength) {
        EXPECT_EQ(hexEncode(okm), test.at("okm").get<std::string>());
        ++matched;
      } else {
        EXPECT_TRUE(okm.empty());
        ++refused;
      }
    }
  }
  std::printf("[   INFO   ] hkdf_sha256: %d matched, %d refused\n", matched, refused);
  EXPECT_EQ(matched + refused, suite->at("numberOfTests").get<int>());
  EXPECT_GT(matched, 0);
  EXPECT_GT(refused, 0);
}

TEST(HkdfSha256, LengthOutsideOneTo8160IsRefused) {
  const Bytes key(32, 0x11);
  const Bytes salt(16, 0x22);
  EXPECT_TRUE(hkdfSha256(key, salt, {}, 0).empty());
  EXPECT_TRUE(hkdfSha256(key, salt, {}, kHkdfSha256MaxLength + 1).empty());
}

TEST(HkdfSha256, LongestOutputHas8160OctetsAndExtendsShorterOutput) {
  const Bytes key(32, 0x11);
  const Bytes salt(16, 0x22);
  const Bytes info = textToBytes("info");
  const Bytes longest = hkdfSha256(key, salt, info, kHkdfSha256MaxLength);
  ASSERT_EQ(longest.size(), 8160u);
  const Bytes shorter = hkdfSha256(key, salt, info, 42);
  ASSERT_EQ(shorter.size(), 42u);
  EXPECT_TRUE(std::equal(shorter.begin(), shorter.end(), longest.begin()));
}

// Valid derivation inputs: the self-test's shared secret and salt and its two points.
struct KdfInputs {
  std::string domain{kEnvelopeDomain};
  Bytes secret = testing::knownValues().sharedSecret;
  Bytes salt = testing::knownValues().salt;
  Bytes ephemeralPoint = testing::knownValues().ephemeralPoint;
  Bytes fleetPoint = testing::knownValues().fleetPoint;

  Bytes derive() const {
    return deriveEnvelopeKey(domain, secret, salt, ephemeralPoint, fleetPoint);
  }
};

TEST(DeriveEnvelopeKey, MatchesKnownAnswer) {
  EXPECT_EQ(KdfInputs{}.derive(), testing::knownValues().envelopeKey);
}

TEST(DeriveEnvelopeKey, IsHkdfOverDomainThenEphemeralThenFleetPoint) {
  const KdfInputs in;
  Bytes info = textToBytes(kEnvelopeDomain);
  info.insert(info.end(), in.ephemeralPoint.begin(), in.ephemeralPoint.end());
  info.insert(info.end(), in.fleetPoint.begin(), in.fleetPoint.end());
  const Bytes key = in.derive();
  ASSERT_EQ(key.size(), kEnvelopeKeySize);
  EXPECT_EQ(key, hkdfSha256(in.secret, in.salt, info, kEnvelopeKeySize));
}

struct KdfVariant {
  const char* name;
  std::function<void(KdfInputs&)> change;
};

class DeriveEnvelopeKeyRefuses : public ::testing::TestWithParam<KdfVariant> {};

TEST_P(DeriveEnvelopeKeyRefuses, GivesEmpty) {
  KdfInputs in;
  GetParam().change(in);
  EXPECT_TRUE(in.derive().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeriveEnvelopeKeyRefuses,
    ::testing::Values(KdfVariant{"EmptySecret", [](KdfInputs& in) { in.secret.clear(); }},
                      KdfVariant{"Secret31", [](KdfInputs& in) { in.secret.resize(31); }},
                      KdfVariant{"Secret33", [](KdfInputs& in) { in.secret.push_back(0); }},
                      KdfVariant{"EmptySalt", [](KdfInputs& in) { in.salt.clear(); }},
                      KdfVariant{"RawEphemeralKey",
                                 [](KdfInputs& in) {
                                   in.ephemeralPoint.erase(in.ephemeralPoint.begin());
                                 }},
                      KdfVariant{"RawFleetKey",
                                 [](KdfInputs& in) { in.fleetPoint.erase(in.fleetPoint.begin()); }},
                      KdfVariant{"EmptyDomain", [](KdfInputs& in) { in.domain.clear(); }}),
    testing::caseName);

class DeriveEnvelopeKeyDependsOn : public ::testing::TestWithParam<KdfVariant> {};

TEST_P(DeriveEnvelopeKeyDependsOn, ChangedInputGivesOtherKey) {
  const Bytes baseline = KdfInputs{}.derive();
  KdfInputs in;
  GetParam().change(in);
  const Bytes key = in.derive();
  ASSERT_EQ(key.size(), kEnvelopeKeySize);
  EXPECT_NE(key, baseline);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeriveEnvelopeKeyDependsOn,
    ::testing::Values(
        KdfVariant{"Domain", [](KdfInputs& in) { in.domain.back() = '2'; }},
        KdfVariant{"SaltOctet", [](KdfInputs& in) { in.salt[5] ^= 0x01; }},
        // A trailing zero octet would not do: HMAC zero-pads its key, so salt and salt || 00
        // derive the same key.
        KdfVariant{"SaltLength", [](KdfInputs& in) { in.salt.push_back(0x01); }},
        KdfVariant{"SecretFirstOctet", [](KdfInputs& in) { in.secret.front() ^= 0x80; }},
        KdfVariant{"SecretLastOctet", [](KdfInputs& in) { in.secret.back() ^= 0x01; }},
        KdfVariant{"EphemeralPointOctet", [](KdfInputs& in) { in.ephemeralPoint[64] ^= 0x01; }},
        KdfVariant{"FleetPointOctet", [](KdfInputs& in) { in.fleetPoint[1] ^= 0x01; }},
        KdfVariant{"SwappedPoints",
                   [](KdfInputs& in) { std::swap(in.ephemeralPoint, in.fleetPoint); }}),
    testing::caseName);

TEST(BuildKdfInfo, EnvelopeDomainGives151OctetsWithPointsAfterDomain) {
  const KdfInputs in;
  const Bytes info = buildKdfInfo(kEnvelopeDomain, in.ephemeralPoint, in.fleetPoint);
  ASSERT_EQ(info.size(), 151u);
  EXPECT_EQ(Bytes(info.begin(), info.begin() + 21), textToBytes(kEnvelopeDomain));
  EXPECT_EQ(info[21], 0x04);
  EXPECT_EQ(info[86], 0x04);
  EXPECT_EQ(Bytes(info.begin() + 21, info.begin() + 86), in.ephemeralPoint);
  EXPECT_EQ(Bytes(info.begin() + 86, info.end()), in.fleetPoint);
}

TEST(BuildKdfInfo, OneOctetDomainGives131Octets) {
  const KdfInputs in;
  const Bytes info = buildKdfInfo("x", in.ephemeralPoint, in.fleetPoint);
  ASSERT_EQ(info.size(), 131u);
  EXPECT_EQ(info[0], 'x');
  EXPECT_EQ(info[1], 0x04);
}

}  // namespace
}  // namespace zezi
