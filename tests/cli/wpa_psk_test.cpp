#include "cli/wpa_psk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include "encoding/hex.h"
#include "sealer/builder.h"
#include "support/case_names.h"
#include "support/run_command.h"
#include "support/wycheproof.h"

namespace zezi {
namespace {

using testing::PrintTo;

// Above this the derivation takes seconds; such cases are counted as set apart.
constexpr std::uint32_t kMaxTestedIterations = 100000;

std::string asString(const SecretText& text) {
  return {text.begin(), text.end()};
}

struct WpaVector {
  friend void PrintTo(const WpaVector& c, std::ostream* os) { *os << c.ssid; }
  const char* passphrase;
  const char* ssid;
  const char* psk;
};

// IEEE 802.11i, annex H.4.
class WpaPskIeeeVectors : public ::testing::TestWithParam<WpaVector> {};

TEST_P(WpaPskIeeeVectors, MatchPublishedPsk) {
  EXPECT_EQ(asString(wpaPskFromPassphrase(GetParam().passphrase, GetParam().ssid)), GetParam().psk);
}

INSTANTIATE_TEST_SUITE_P(
    Ieee80211i, WpaPskIeeeVectors,
    ::testing::Values(WpaVector{"password", "IEEE",
                                "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"},
                      WpaVector{
                          "ThisIsAPassword", "ThisIsASSID",
                          "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"}));

struct PassphraseCase {
  const char* name;
  std::string passphrase;
  std::string ssid;
  bool accepted;
};

class WpaPskInputs : public ::testing::TestWithParam<PassphraseCase> {};

TEST_P(WpaPskInputs, AcceptedOnlyWithinWpaLimits) {
  const PassphraseCase& c = GetParam();
  const SecretText psk = wpaPskFromPassphrase(c.passphrase, c.ssid);
  ASSERT_EQ(!psk.empty(), c.accepted);
  if (!c.accepted) {
    return;
  }
  // The PSK is the PBKDF2 output itself, in lowercase hex.
  EXPECT_EQ(asString(psk),
            hexEncode(pbkdf2HmacSha1(textToBytes(c.passphrase), textToBytes(c.ssid), 4096, 32)));
  EXPECT_TRUE(isLowercaseHex(asString(psk), 32));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, WpaPskInputs,
    ::testing::Values(PassphraseCase{"Passphrase8", std::string(8, 'p'), "Office", true},
                      PassphraseCase{"Passphrase63", std::string(63, '~'), "Office", true},
                      PassphraseCase{"PassphraseWithSpaces", "  a b c  ", "Office", true},
                      PassphraseCase{"Ssid32Octets", "password", std::string(32, '\xff'), true},
                      PassphraseCase{"Passphrase7", std::string(7, 'p'), "Office", false},
                      PassphraseCase{"Passphrase64", std::string(64, 'p'), "Office", false},
                      PassphraseCase{"PassphraseWithDelete", "password\x7f", "Office", false},
                      PassphraseCase{"PassphraseWithTab", "pass\tword", "Office", false},
                      PassphraseCase{"PassphraseWithUtf8", "p\xc3\xa4ssword", "Office", false},
                      PassphraseCase{"EmptySsid", "password", "", false},
                      PassphraseCase{"Ssid33Octets", "password", std::string(33, 's'), false}),
    testing::caseName);

TEST(WpaPskNormalised, HexOfEitherCaseIsLoweredAndOtherTextRefused) {
  const std::string lower(64, 'a');
  EXPECT_EQ(asString(normalisedPsk(std::string(32, 'A') + std::string(32, 'a'))), lower);
  EXPECT_EQ(asString(normalisedPsk("0123456789ABCDEF" + std::string(48, '0'))),
            "0123456789abcdef" + std::string(48, '0'));
  for (const std::string& bad :
       {std::string(63, 'a'), std::string(65, 'a'), std::string(63, 'a') + "g",
        std::string(63, 'a') + " ", std::string()}) {
    EXPECT_TRUE(normalisedPsk(bad).empty()) << bad;
  }
}

TEST(Pbkdf2HmacSha1, WycheproofCasesMatch) {
  const auto suite = testing::loadWycheproof("pbkdf2_hmacsha1_test.json");
  if (!suite) {
    GTEST_SKIP() << "pbkdf2_hmacsha1_test.json not found";
  }
  testing::SuiteCounts counts;
  for (const auto& group : suite->at("testGroups")) {
    for (const auto& test : group.at("tests")) {
      SCOPED_TRACE("tcId " + std::to_string(test.at("tcId").get<int>()));
      const auto iterations = test.at("iterationCount").get<std::uint32_t>();
      if (iterations > kMaxTestedIterations) {
        ++counts.setApart;
        continue;
      }
      const Bytes derived =
          pbkdf2HmacSha1(testing::hexField(test, "password"), testing::hexField(test, "salt"),
                         iterations, test.at("dkLen").get<std::size_t>());
      if (test.at("result") == "invalid") {
        EXPECT_TRUE(derived.empty());
        ++counts.refused;
      } else {
        EXPECT_EQ(hexEncode(derived), test.at("dk").get<std::string>());
        ++counts.passed;
      }
    }
  }
  std::printf(
      "[   INFO   ] pbkdf2_hmacsha1: %d matched, %d refused, %d set apart (over %u "
      "iterations)\n",
      counts.passed, counts.refused, counts.setApart, kMaxTestedIterations);
  EXPECT_EQ(counts.passed + counts.refused + counts.setApart,
            suite->at("numberOfTests").get<int>());
  EXPECT_GT(counts.passed, 0);
}

TEST(Pbkdf2HmacSha1, ZeroIterationsOrLengthIsRefused) {
  const Bytes password = textToBytes("password");
  const Bytes salt = textToBytes("salt");
  EXPECT_TRUE(pbkdf2HmacSha1(password, salt, 0, 20).empty());
  EXPECT_TRUE(pbkdf2HmacSha1(password, salt, 1, 0).empty());
  EXPECT_EQ(pbkdf2HmacSha1(password, salt, 1, 20).size(), 20U);
}

// Debian's wpa_passphrase derives the same PSK, when it is installed.
TEST(WpaPskAgainstWpaPassphrase, SameKeyForAssortedInputs) {
  if (testing::runCommand("command -v wpa_passphrase").exitStatus != 0) {
    GTEST_SKIP() << "wpa_passphrase not installed (package wpasupplicant)";
  }
  const std::pair<std::string, std::string> cases[] = {
      {"Office", "correct horse battery"},
      {"caf\xc3\xa9 \"guest\"", "p@ss'w\\rd `$HOME`"},
      {std::string(32, 'S'), std::string(63, 'x')},
      {"a", std::string(8, ' ')},
  };
  for (const auto& [ssid, passphrase] : cases) {
    SCOPED_TRACE(ssid + " / " + passphrase);
    const testing::CommandResult result = testing::runCommand(
        "wpa_passphrase " + testing::shellQuote(ssid) + " " + testing::shellQuote(passphrase));
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::size_t start = result.out.find("\tpsk=");
    ASSERT_NE(start, std::string::npos) << result.out;
    EXPECT_EQ(result.out.substr(start + 5, 64), asString(wpaPskFromPassphrase(passphrase, ssid)));
  }
}

}  // namespace
}  // namespace zezi
