#include "crypto/ecdh.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "support/case_names.h"
#include "support/known_values.h"
#include "support/wycheproof.h"

namespace zezi {
namespace {

using testing::PrintTo;

const testing::KnownValues& known = testing::knownValues();

constexpr std::string_view kOrderHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

Bytes rawPublicOf(const Bytes& scalar) {
  const Bytes point = derivePublicPoint(scalar);
  return point.empty() ? Bytes{} : Bytes(point.begin() + 1, point.end());
}

Bytes xOf(const Bytes& raw) {
  return Bytes(raw.begin(), raw.begin() + kSharedSecretSize);
}

Bytes scalarOf(unsigned value) {
  Bytes scalar(kScalarSize, 0);
  scalar.back() = static_cast<std::uint8_t>(value);
  return scalar;
}

TEST(EcdhSharedSecret, BothSidesAgree) {
  std::vector<std::pair<Bytes, Bytes>> pairs = {
      {known.fleetScalar, known.ephemeralScalar},
      {scalarOf(2), scalarOf(3)},
  };
  for (int i = 0; i < 3; ++i) {
    Bytes a, b, unusedRaw;
    ASSERT_TRUE(generateEphemeralKey(&a, &unusedRaw));
    ASSERT_TRUE(generateEphemeralKey(&b, &unusedRaw));
    pairs.emplace_back(a, b);
  }
  for (const auto& [a, b] : pairs) {
    const Bytes ab = ecdhSharedSecret(a, rawPublicOf(b));
    ASSERT_EQ(ab.size(), kSharedSecretSize) << hexEncode(a);
    EXPECT_EQ(ab, ecdhSharedSecret(b, rawPublicOf(a))) << hexEncode(a) << " / " << hexEncode(b);
  }
  EXPECT_EQ(ecdhSharedSecret(known.ephemeralScalar, known.fleetRawPublicKey), known.sharedSecret);
}

// 1 * B = B and a * G = A, so the secret is the X coordinate of the other point.
TEST(EcdhSharedSecret, IsTheXCoordinateOfTheProduct) {
  const Bytes generator = rawPublicOf(scalarOf(1));
  for (const Bytes& scalar : {known.fleetScalar, scalarOf(2), scalarOf(7)}) {
    const Bytes raw = rawPublicOf(scalar);
    EXPECT_EQ(ecdhSharedSecret(scalarOf(1), raw), xOf(raw)) << hexEncode(scalar);
    EXPECT_EQ(ecdhSharedSecret(scalar, generator), xOf(raw)) << hexEncode(scalar);
  }
}

struct RefusalCase {
  const char* name;
  Bytes scalar;
  Bytes peer;
};

class EcdhRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(EcdhRefuses, GivesNoSecret) {
  EXPECT_TRUE(ecdhSharedSecret(GetParam().scalar, GetParam().peer).empty());
}

const Bytes kGoodScalar = known.ephemeralScalar;
const Bytes kGoodPeer = known.fleetRawPublicKey;

Bytes offCurvePeer() {
  Bytes raw = kGoodPeer;
  raw[40] ^= 0x80;
  return raw;
}

INSTANTIATE_TEST_SUITE_P(
    Table, EcdhRefuses,
    ::testing::Values(
        RefusalCase{"ScalarEmpty", {}, kGoodPeer},
        RefusalCase{"Scalar31Octets", Bytes(kGoodScalar.begin() + 1, kGoodScalar.end()), kGoodPeer},
        RefusalCase{"Scalar33Octets", Bytes(33, 0x01), kGoodPeer},
        RefusalCase{"ScalarZero", Bytes(32, 0), kGoodPeer},
        RefusalCase{"ScalarEqualToOrder", hexDecode(kOrderHex), kGoodPeer},
        RefusalCase{"PeerOffCurve", kGoodScalar, offCurvePeer()},
        RefusalCase{"Peer65OctetPoint", kGoodScalar, rawToPoint(kGoodPeer)},
        RefusalCase{"Peer63Octets", kGoodScalar, Bytes(kGoodPeer.begin() + 1, kGoodPeer.end())},
        RefusalCase{"PeerAllZeros", kGoodScalar, Bytes(64, 0)},
        RefusalCase{"PeerEmpty", kGoodScalar, {}}),
    testing::caseName);

// A Wycheproof private key (a big-endian integer of any length) as a 32-octet scalar.
std::optional<Bytes> wycheproofScalar(std::string hex) {
  if (hex.size() % 2 != 0) {
    hex.insert(hex.begin(), '0');
  }
  Bytes value = hexDecode(hex);
  std::size_t zeros = 0;
  while (zeros < value.size() && value[zeros] == 0) {
    ++zeros;
  }
  value.erase(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(zeros));
  if (value.size() > kScalarSize) {
    return std::nullopt;
  }
  value.insert(value.begin(), kScalarSize - value.size(), 0);
  return value;
}

TEST(EcdhWycheproof, EcpointVectors) {
  const auto file = testing::loadWycheproof("ecdh_secp256r1_ecpoint_test.json");
  if (!file) {
    GTEST_SKIP() << "ecdh_secp256r1_ecpoint_test.json not found under " << testing::vectorsDir();
  }
  testing::SuiteCounts counts;
  int total = 0;
  int uncompressedValid = 0;
  int uncompressedInvalid = 0;
  for (const auto& group : file->at("testGroups")) {
    ASSERT_EQ(group.at("curve"), "secp256r1");
    for (const auto& testCase : group.at("tests")) {
      ++total;
      const int tcId = testCase.at("tcId").get<int>();
      const std::string result = testCase.at("result").get<std::string>();
      const Bytes point = testing::hexField(testCase, "public");
      // Only an uncompressed point has a 64-octet raw form; "acceptable" cases, which allow
      // either outcome, are not judged.
      if (point.size() != kPointSize || point[0] != kUncompressedPointPrefix ||
          result == "acceptable") {
        ++counts.setApart;
        continue;
      }
      const auto scalar = wycheproofScalar(testCase.at("private").get<std::string>());
      ASSERT_TRUE(scalar.has_value()) << "tcId " << tcId << ": private key longer than 32 octets";
      const Bytes raw(point.begin() + 1, point.end());
      const std::string secret = hexEncode(ecdhSharedSecret(*scalar, raw));
      if (result == "valid") {
        ++uncompressedValid;
        const std::string shared = testCase.at("shared").get<std::string>();
        EXPECT_EQ(secret, shared) << "tcId " << tcId;
        counts.passed += secret == shared ? 1 : 0;
      } else {
        ++uncompressedInvalid;
        const bool keyRefused = loadPublicKey(raw) == nullptr;
        EXPECT_EQ(secret, "") << "tcId " << tcId;
        EXPECT_TRUE(keyRefused) << "tcId " << tcId << ": loadPublicKey accepted the point";
        counts.refused += secret.empty() && keyRefused ? 1 : 0;
      }
    }
  }
  std::printf(
      "[ WYCHEPROOF ] ecdh_secp256r1_ecpoint: %d matched valid, %d refused invalid, "
      "%d set apart, %d total\n",
      counts.passed, counts.refused, counts.setApart, total);
  RecordProperty("matched_valid", counts.passed);
  RecordProperty("refused_invalid", counts.refused);
  RecordProperty("set_apart", counts.setApart);
  EXPECT_EQ(total, file->at("numberOfTests").get<int>());
  EXPECT_GT(uncompressedValid, 0);
  EXPECT_GT(uncompressedInvalid, 0);
  EXPECT_EQ(counts.passed, uncompressedValid);
  EXPECT_EQ(counts.refused, uncompressedInvalid);
  EXPECT_EQ(counts.passed + counts.refused + counts.setApart, total);
}

}  // namespace
}  // namespace zezi
