// Running a program of commands: the operator's tool or the device's program.
#pragma once

#include "cli/options.h"

namespace zezi {

// Runs `program` on its command line and returns the exit status (base/exit_status.h).
// Every failure is one line "zezi-vidad: <what is wrong>" on standard error.
[[nodiscard]] int runProgram(const Program& program, int argc, const char* const* argv);

}  // namespace zezi
