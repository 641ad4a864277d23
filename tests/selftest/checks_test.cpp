#include "selftest/checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>

#include "selftest/device_checks.h"
#include "selftest/known_answers.h"
#include "selftest/report.h"
#include "support/case_names.h"
#include "support/emulation.h"
#include "support/run_command.h"

namespace zezi {
namespace {

using testing::PrintTo;

TEST(RunSelfTest, PassesWithFixedInputs) {
  for (bool (*run)(std::string*) : {runSelfTest, runDeviceSelfTest}) {
    EXPECT_TRUE(run(nullptr));
    std::string error = "previous";
    EXPECT_TRUE(run(&error));
    EXPECT_EQ(error, "previous");
  }
}

struct FailureCase {
  const char* name;
  std::string_view SelfTestInputs::*field;  // the one input replaced
  std::string value;
  std::string message;
};

std::string ecdhMismatch(std::string_view got, std::string_view expected) {
  return "ECDH mismatch: got " + std::string(got) + " expected " + std::string(expected);
}

// A case that replaces the expected shared secret, which the computed one then misses.
FailureCase expectedSecretCase(const char* name, std::string value) {
  return {name, &SelfTestInputs::expectedSharedSecretHex, value,
          ecdhMismatch(kExpectedSharedSecretHex, value)};
}

std::string lastDigitChanged(std::string hex) {
  hex.back() = hex.back() == '0' ? '1' : '0';
  return hex;
}

std::string uppercase(std::string hex) {
  std::transform(hex.begin(), hex.end(), hex.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return hex;
}

class SelfTestFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SelfTestFailure, ReportsTheFirstFailingCheck) {
  SelfTestInputs inputs = fixedSelfTestInputs();
  inputs.*GetParam().field = GetParam().value;
  std::string error = "previous";
  EXPECT_FALSE(runSelfTestWith(inputs, &error));
  EXPECT_EQ(error, GetParam().message);
  EXPECT_FALSE(runSelfTestWith(inputs, nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SelfTestFailure,
    ::testing::Values(FailureCase{"FleetScalarOf31Octets", &SelfTestInputs::fleetScalarHex,
                                  std::string(62, '1'), "could not load test fleet key"},
                      FailureCase{"FleetScalarZero", &SelfTestInputs::fleetScalarHex,
                                  std::string(64, '0'), "could not load test fleet key"},
                      expectedSecretCase("ExpectedSecretChanged",
                                         lastDigitChanged(std::string(kExpectedSharedSecretHex))),
                      expectedSecretCase("ExpectedSecretInUppercase",
                                         uppercase(std::string(kExpectedSharedSecretHex))),
                      expectedSecretCase("ExpectedSecretEmpty", ""),
                      FailureCase{"EphemeralScalarZero", &SelfTestInputs::ephemeralScalarHex,
                                  std::string(64, '0'),
                                  ecdhMismatch("", kExpectedSharedSecretHex)}),
    testing::caseName);

// The text a stream received, read back from the start.
std::string contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[256];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, count);
  }
  return text;
}

struct ReportCase {
  const char* name;
  bool passed;
  std::string error;
  int exitStatus;
  std::string out;
  std::string err;
};

class ReportOutcome : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportOutcome, WritesOneLineToTheRightStream) {
  const ReportCase& c = GetParam();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(reportOutcome(c.passed, c.error, out, err), c.exitStatus);
  EXPECT_EQ(contents(out), c.out);
  EXPECT_EQ(contents(err), c.err);
  std::fclose(out);
  std::fclose(err);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReportOutcome,
    ::testing::Values(ReportCase{"Pass", true, "", kExitOk, "ZeZi Vidad self-test: PASS\n", ""},
                      ReportCase{"PassIgnoresMessage", true, "ignored", kExitOk,
                                 "ZeZi Vidad self-test: PASS\n", ""},
                      ReportCase{"FailWithMessage", false, "boom", kExitFailure, "",
                                 "ZeZi Vidad self-test: FAIL - boom\n"},
                      ReportCase{"FailWithEmptyMessage", false, "", kExitFailure, "",
                                 "ZeZi Vidad self-test: FAIL - \n"},
                      ReportCase{"FailMessageIsNotAFormat", false, "100% %s %n", kExitFailure, "",
                                 "ZeZi Vidad self-test: FAIL - 100% %s %n\n"}),
    testing::caseName);

TEST(SelfTestProgram, PrintsPassAndExitsZero) {
  const testing::CommandResult run =
      testing::runCommand(testing::programCommand(ZEZI_VIDAD_SELFTEST_PATH));
  EXPECT_EQ(run.out, "ZeZi Vidad self-test: PASS\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exitStatus, 0);
}

}  // namespace
}  // namespace zezi
