#include "crypto/p256_keys.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "crypto/ecdh.h"
#include "encoding/hex.h"
#include "sealer/key_files.h"
#include "selftest/known_answers.h"
#include "support/case_names.h"

namespace zezi {
namespace {

using testing::PrintTo;

// Order n of the P-256 group, and its neighbours.
constexpr std::string_view kOrderHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";
constexpr std::string_view kOrderMinusOneHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550";
constexpr std::string_view kOrderPlusOneHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632552";
// Above n, differing from it in a middle octet only.
constexpr std::string_view kOrderNextInUpperHalfHex =
    "ffffffff00000000ffffffffffffffffbce6faaea7179e84f3b9cac2fc632551";
constexpr std::string_view kGeneratorXHex =
    "6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296";
constexpr std::string_view kGeneratorYHex =
    "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5";
// p - Gy: the Y coordinate of -G = (n - 1) * G.
constexpr std::string_view kNegatedGeneratorYHex =
    "b01cbd1c01e58065711814b583f061e9d431cca994cea1313449bf97c840ae0a";
// 2G.
constexpr std::string_view kDoubleGeneratorHex =
    "7cf27b188d034f7e8a52380304b51ac3c08969e277f21b35a60b48fc47669978"
    "07775510db8ed040293d9ac69f7430dbba7dade63ce982299e04b79d227873d1";

Bytes scalarOf(unsigned value) {
  Bytes scalar(kScalarSize, 0);
  scalar.back() = static_cast<std::uint8_t>(value);
  return scalar;
}

Bytes generatorRaw() {
  return hexDecode(std::string(kGeneratorXHex) + std::string(kGeneratorYHex));
}

struct BadScalarCase {
  const char* name;
  Bytes scalar;
};

class UnusableScalar : public ::testing::TestWithParam<BadScalarCase> {};

// Beyond the length, only [1, n - 1] is a key: OpenSSL would take a larger scalar mod n.
TEST_P(UnusableScalar, HasNoPointNoKeyAndNoAgreement) {
  EXPECT_FALSE(isUsableScalar(GetParam().scalar));
  EXPECT_TRUE(derivePublicPoint(GetParam().scalar).empty());
  EXPECT_EQ(loadPrivateKey(GetParam().scalar), nullptr);
  EXPECT_TRUE(ecdhSharedSecret(GetParam().scalar, generatorRaw()).empty());
  EXPECT_TRUE(publicKeyOfScalar(GetParam().scalar).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnusableScalar,
    ::testing::Values(BadScalarCase{"Empty", {}}, BadScalarCase{"ShortBy1", Bytes(31, 0x11)},
                      BadScalarCase{"LongBy1", Bytes(33, 0x11)},
                      BadScalarCase{"LongBy1LeadingZero",
                                    [] {
                                      Bytes b(33, 0);
                                      b.back() = 1;
                                      return b;
                                    }()},
                      BadScalarCase{"Zero", Bytes(32, 0)},
                      BadScalarCase{"Order", hexDecode(kOrderHex)},
                      BadScalarCase{"OrderPlusOne", hexDecode(kOrderPlusOneHex)},
                      BadScalarCase{"OrderWithLastOctetsAbove",
                                    hexDecode(kOrderNextInUpperHalfHex)},
                      BadScalarCase{"AllOnes", Bytes(32, 0xff)}),
    testing::caseName);

class ValidScalar : public ::testing::TestWithParam<std::string_view> {};

TEST_P(ValidScalar, KeyPointMatchesDerivedPoint) {
  const Bytes scalar = hexDecode(GetParam());
  const Bytes point = derivePublicPoint(scalar);
  ASSERT_EQ(point.size(), kPointSize);
  EXPECT_EQ(point[0], kUncompressedPointPrefix);
  const PkeyPtr key = loadPrivateKey(scalar);
  ASSERT_NE(key, nullptr);
  const Bytes raw = encodedPublicKey(key.get());
  ASSERT_EQ(raw.size(), kRawPublicKeySize);
  EXPECT_EQ(rawToPoint(raw), point);
  // The derived point is itself a public key the curve check accepts.
  const PkeyPtr publicKey = loadPublicKey(raw);
  ASSERT_NE(publicKey, nullptr);
  EXPECT_EQ(encodedPublicKey(publicKey.get()), raw);
  EXPECT_TRUE(isUsableScalar(scalar));
  EXPECT_EQ(publicKeyOfScalar(scalar), raw);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValidScalar,
    ::testing::Values("0000000000000000000000000000000000000000000000000000000000000001",
                      "0000000000000000000000000000000000000000000000000000000000000002",
                      kOrderMinusOneHex, kTestFleetScalarHex, kTestEphemeralScalarHex,
                      "8000000000000000000000000000000000000000000000000000000000000000",
                      "00ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"));

TEST(DerivePublicPoint, MatchesKnownMultiplesOfGenerator) {
  EXPECT_EQ(derivePublicPoint(scalarOf(1)), rawToPoint(generatorRaw()));
  EXPECT_EQ(derivePublicPoint(scalarOf(2)), rawToPoint(hexDecode(kDoubleGeneratorHex)));
  EXPECT_EQ(
      derivePublicPoint(hexDecode(kOrderMinusOneHex)),
      rawToPoint(hexDecode(std::string(kGeneratorXHex) + std::string(kNegatedGeneratorYHex))));
}

struct BadRawKeyCase {
  const char* name;
  Bytes raw;
  bool reencodes;  // whether rawToPoint, which checks the length only, still encodes it
};

class UnusableRawKey : public ::testing::TestWithParam<BadRawKeyCase> {};

TEST_P(UnusableRawKey, LoadPublicKeyRefuses) {
  const auto& [name, raw, reencodes] = GetParam();
  EXPECT_EQ(loadPublicKey(raw), nullptr);
  Bytes expectedPoint;
  if (reencodes) {
    expectedPoint = {kUncompressedPointPrefix};
    expectedPoint.insert(expectedPoint.end(), raw.begin(), raw.end());
  }
  EXPECT_EQ(rawToPoint(raw), expectedPoint) << name;
}

Bytes generatorWithLastOctetFlipped() {
  Bytes raw = generatorRaw();
  raw.back() ^= 0x01;
  return raw;
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnusableRawKey,
    ::testing::Values(BadRawKeyCase{"Empty", {}, false},
                      BadRawKeyCase{"Length63", Bytes(63, 0x42), false},
                      BadRawKeyCase{"Length65", rawToPoint(generatorRaw()), false},
                      BadRawKeyCase{"AllZeros", Bytes(64, 0), true},
                      BadRawKeyCase{"OffCurve", generatorWithLastOctetFlipped(), true},
                      BadRawKeyCase{"CoordinatesAboveField", Bytes(64, 0xff), true}),
    testing::caseName);

TEST(GenerateEphemeralKey, NullOutputLeavesTheOtherUntouched) {
  const Bytes sentinel = {1, 2, 3};
  for (const auto generate : {generateEphemeralKey, generateKeyPair}) {
    Bytes raw = sentinel;
    EXPECT_FALSE(generate(nullptr, &raw));
    EXPECT_EQ(raw, sentinel);
    Bytes scalar = sentinel;
    EXPECT_FALSE(generate(&scalar, nullptr));
    EXPECT_EQ(scalar, sentinel);
  }
}

TEST(GenerateEphemeralKey, GivesAMatchingFreshKeyPair) {
  Bytes firstScalar;
  Bytes firstRaw;
  ASSERT_TRUE(generateEphemeralKey(&firstScalar, &firstRaw));
  ASSERT_EQ(firstScalar.size(), kScalarSize);
  ASSERT_EQ(firstRaw.size(), kRawPublicKeySize);
  EXPECT_EQ(rawToPoint(firstRaw), derivePublicPoint(firstScalar));
  EXPECT_NE(loadPublicKey(firstRaw), nullptr);

  Bytes secondScalar = {9};
  Bytes secondRaw = {9};
  ASSERT_TRUE(generateEphemeralKey(&secondScalar, &secondRaw));
  ASSERT_EQ(secondScalar.size(), kScalarSize);
  EXPECT_EQ(rawToPoint(secondRaw), derivePublicPoint(secondScalar));
  EXPECT_NE(secondScalar, firstScalar);
  EXPECT_NE(secondRaw, firstRaw);
}

// One scalar in 256 begins with a zero octet; its padding must survive into the key pair.
TEST(GenerateEphemeralKey, DrawnScalarWithLeadingZeroOctetKeepsItsPoint) {
  constexpr int kMaxDraws = 8192;  // misses with odds of about e^-32
  Bytes scalar;
  Bytes raw;
  int draws = 0;
  do {
    ASSERT_TRUE(generateEphemeralKey(&scalar, &raw));
    ++draws;
  } while (scalar.front() != 0 && draws < kMaxDraws);
  ASSERT_EQ(scalar.front(), 0) << "no leading zero octet in " << draws << " draws";
  ASSERT_EQ(scalar.size(), kScalarSize);
  EXPECT_EQ(rawToPoint(raw), derivePublicPoint(scalar));
  EXPECT_EQ(encodedPublicKey(loadPrivateKey(scalar).get()), raw);
}

}  // namespace
}  // namespace zezi
