// The one-line report of a self-test run.
#pragma once

#include <cstdio>
#include <string>

#include "base/exit_status.h"

namespace zezi {

// Writes "ZeZi Vidad self-test: PASS" to `out`, or "ZeZi Vidad self-test: FAIL - <error>"
// to `err`, each as one line, and returns the process exit status for the outcome.
int reportOutcome(bool passed, const std::string& error, std::FILE* out, std::FILE* err);

}  // namespace zezi
