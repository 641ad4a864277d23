// Re-derives the self-test's known answers with tools/known_answers.sh, which uses the
// openssl command-line tool alone.
#include "selftest/known_answers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "support/known_values.h"
#include "support/run_command.h"

namespace zezi {
namespace {

// The script's "name=value" lines; the exit status must be zero.
std::map<std::string, std::string> runKnownAnswers(std::string_view fleet,
                                                   std::string_view ephemeral,
                                                   std::string_view salt) {
  const std::string script = std::string(ZEZI_VIDAD_SOURCE_DIR) + "/tools/known_answers.sh";
  const testing::CommandResult run =
      testing::runCommand("bash " + testing::shellQuote(script) + " " + testing::shellQuote(fleet) +
                          " " + testing::shellQuote(ephemeral) + " " + testing::shellQuote(salt));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::map<std::string, std::string> values;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) {
      values[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return values;
}

class KnownAnswersScript : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "openssl command-line tool not on PATH";
    }
  }
};

TEST_F(KnownAnswersScript, ReproducesTheConstants) {
  auto values = runKnownAnswers(kTestFleetScalarHex, kTestEphemeralScalarHex, kTestSaltHex);
  EXPECT_EQ(values["shared_secret"], kExpectedSharedSecretHex);
  EXPECT_EQ(values["envelope_key"], kExpectedEnvelopeKeyHex);
}

// With fleet scalar 1 the fleet point is G, so the secret is the X coordinate of the
// ephemeral point: a check of the script against the library's point derivation.
TEST_F(KnownAnswersScript, FollowsTheFleetScalar) {
  const std::string zeros(63, '0');
  auto values = runKnownAnswers(zeros + "1", kTestEphemeralScalarHex, kTestSaltHex);
  const Bytes& ephemeralPoint = testing::knownValues().ephemeralPoint;
  ASSERT_EQ(ephemeralPoint.size(), kPointSize);
  EXPECT_EQ(values["shared_secret"],
            hexEncode(Bytes(ephemeralPoint.begin() + 1, ephemeralPoint.begin() + 33)));
  EXPECT_NE(values["shared_secret"], kExpectedSharedSecretHex);
  EXPECT_TRUE(isLowercaseHex(values["envelope_key"], kEnvelopeKeySize));
  EXPECT_NE(values["envelope_key"], kExpectedEnvelopeKeyHex);
}

}  // namespace
}  // namespace zezi
