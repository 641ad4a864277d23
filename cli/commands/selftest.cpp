// selftest: the known-answer self-test.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/command.h"
#include "selftest/checks.h"
#include "selftest/report.h"

namespace zezi {
namespace {

constexpr const char* kSelftestHelp =
    "Runs the known-answer self-test and prints one PASS or FAIL line, exiting with 0 on PASS\n"
    "and 1 on FAIL.\n\n"
    "Example:\n"
    "  zezi-vidad selftest\n";

class Selftest : public Command {
 public:
  explicit Selftest(CLI::App* command) { command->footer(kSelftestHelp); }

  [[nodiscard]] int run() const override {
    std::string error;
    const bool passed = runSelfTest(&error);
    return reportOutcome(passed, error, stdout, stderr);
  }
};

}  // namespace

const CommandEntry kSelftestCommand{"selftest", "run the known-answer self-test",
                                    addCommand<Selftest>};

}  // namespace zezi
