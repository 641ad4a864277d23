// The self-test's second stage (derivation known answer and envelope) driven with inputs
// that the first stage still accepts.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "selftest/checks.h"
#include "selftest/known_answers.h"
#include "support/case_names.h"
#include "support/known_values.h"

namespace zezi {
namespace {

using testing::PrintTo;

// Replacements for some of the fixed inputs; an empty text keeps the fixed value.
struct Overrides {
  std::string saltHex{};
  std::string nonceHex{};
  std::string psk{};
  std::string expectedEnvelopeKeyHex{};
};

struct Outcome {
  bool passed;
  std::string error;
};

Outcome runWith(const Overrides& overrides) {
  SelfTestInputs inputs = fixedSelfTestInputs();
  const auto replace = [](std::string_view& field, const std::string& value) {
    if (!value.empty()) {
      field = value;
    }
  };
  replace(inputs.saltHex, overrides.saltHex);
  replace(inputs.nonceHex, overrides.nonceHex);
  replace(inputs.psk, overrides.psk);
  replace(inputs.expectedEnvelopeKeyHex, overrides.expectedEnvelopeKeyHex);
  Outcome outcome{false, "untouched"};
  outcome.passed = runSelfTestWith(inputs, &outcome.error);
  return outcome;
}

// The known key with its last digit changed.
std::string otherKeyHex() {
  std::string hex(kExpectedEnvelopeKeyHex);
  hex.back() = hex.back() == '0' ? '1' : '0';
  return hex;
}

std::string pskWithUppercase() {
  std::string psk(kTestPsk);
  const auto letter = psk.find_first_of("abcdef");
  psk[letter] = static_cast<char>(psk[letter] - 'a' + 'A');
  return psk;
}

// The envelope key for `saltHex` with the fixed keys and shared secret.
std::string envelopeKeyHexFor(std::string_view saltHex) {
  const testing::KnownValues& known = testing::knownValues();
  return hexEncode(deriveEnvelopeKey(kEnvelopeDomain, known.sharedSecret, hexDecode(saltHex),
                                     known.ephemeralPoint, known.fleetPoint));
}

constexpr std::string_view kOtherSaltHex = "00112233445566778899aabbccddeeff";

struct FailureCase {
  const char* name;
  Overrides overrides;
  std::string message;
};

class EnvelopeStageFails : public ::testing::TestWithParam<FailureCase> {};

TEST_P(EnvelopeStageFails, WithMessage) {
  const Outcome outcome = runWith(GetParam().overrides);
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EnvelopeStageFails,
    ::testing::Values(FailureCase{"ExpectedKeyChanged",
                                  {.expectedEnvelopeKeyHex = otherKeyHex()},
                                  "derived key mismatch: got " +
                                      std::string(kExpectedEnvelopeKeyHex) + " expected " +
                                      otherKeyHex()},
                      FailureCase{"Nonce16",
                                  {.nonceHex = "000102030405060708090a0b0c0d0e0f"},
                                  "buildEnvelope failed: sealing failed"},
                      FailureCase{"PskWithUppercase",
                                  {.psk = pskWithUppercase()},
                                  "buildEnvelope failed: psk must be 64 lowercase hex characters"}),
    testing::caseName);

TEST(EnvelopeStage, OtherSaltWithoutItsKeyFailsWithBothKeysInMessage) {
  const std::string actual = envelopeKeyHexFor(kOtherSaltHex);
  ASSERT_EQ(actual.size(), 64u);
  const Outcome outcome = runWith({.saltHex = std::string(kOtherSaltHex)});
  EXPECT_FALSE(outcome.passed);
  EXPECT_EQ(outcome.error, "derived key mismatch: got " + actual + " expected " +
                               std::string(kExpectedEnvelopeKeyHex));
}

struct PassCase {
  const char* name;
  Overrides overrides;
};

class EnvelopeStagePasses : public ::testing::TestWithParam<PassCase> {};

TEST_P(EnvelopeStagePasses, AndLeavesErrorUntouched) {
  Overrides overrides = GetParam().overrides;
  if (!overrides.saltHex.empty()) {
    overrides.expectedEnvelopeKeyHex = envelopeKeyHexFor(overrides.saltHex);
  }
  const Outcome outcome = runWith(overrides);
  EXPECT_TRUE(outcome.passed) << outcome.error;
  EXPECT_EQ(outcome.error, "untouched");
}

// The fixed inputs, and other valid values, a salt with its envelope key recomputed.
INSTANTIATE_TEST_SUITE_P(
    Table, EnvelopeStagePasses,
    ::testing::Values(PassCase{"FixedInputs", {}},
                      PassCase{"OtherSaltWithItsKey", {.saltHex = std::string(kOtherSaltHex)}},
                      PassCase{"OneOctetSaltWithItsKey", {.saltHex = "01"}},
                      PassCase{"OtherNonce", {.nonceHex = "ffeeddccbbaa998877665544"}},
                      PassCase{"OtherPsk", {.psk = std::string(64, 'f')}}),
    testing::caseName);

}  // namespace
}  // namespace zezi
