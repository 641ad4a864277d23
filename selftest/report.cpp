#include "selftest/report.h"

namespace zezi {

int reportOutcome(bool passed, const std::string& error, std::FILE* out, std::FILE* err) {
  if (passed) {
    // The exit status carries the outcome even when the line cannot be written.
    static_cast<void>(std::fprintf(out, "ZeZi Vidad self-test: PASS\n"));
    return kExitOk;
  }
  static_cast<void>(std::fprintf(err, "ZeZi Vidad self-test: FAIL - %s\n", error.c_str()));
  return kExitFailure;
}

}  // namespace zezi
