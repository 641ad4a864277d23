// The run of either program (zezi-vidad, zezi-vidad-device) from its main: the command line
// parsed against the program's command table, then the chosen command run.
#pragma once

#include "cli/options.h"

namespace zezi {

// Runs `program` on its command line and returns the exit status (base/exit_status.h).
// Every failure is one line "zezi-vidad: <what is wrong>" on standard error.
[[nodiscard]] int runProgram(const Program& program, int argc, const char* const* argv);

}  // namespace zezi
