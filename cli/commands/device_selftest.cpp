// selftest, as the device's program runs it: the device's own self-test, which needs no
// sealing code.
#include <cstdio>
#include <string>

#include "cli/command.h"
#include "selftest/device_checks.h"
#include "selftest/report.h"

namespace zezi {
namespace {

constexpr const char* kDeviceSelftestHelp =
    "Checks the device's opening against known answers: the key agreement and derivation,\n"
    "an envelope assembled from known inputs opened to its network, and the same envelope\n"
    "refused once tampered with. Prints one PASS or FAIL line, exiting with 0 on PASS and 1\n"
    "on FAIL.\n\n"
    "Example:\n"
    "  zezi-vidad-device selftest\n";

class DeviceSelftest : public Command {
 public:
  explicit DeviceSelftest(CLI::App* command) { command->footer(kDeviceSelftestHelp); }

  [[nodiscard]] int run() const override {
    std::string error;
    const bool passed = runDeviceSelfTest(&error);
    return reportOutcome(passed, error, stdout, stderr);
  }
};

}  // namespace

const CommandEntry kDeviceSelftestCommand{"selftest", "check the device's opening",
                                          addCommand<DeviceSelftest>};

}  // namespace zezi
