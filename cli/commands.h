// The zezi-vidad tool: key generation, sealing and opening of envelopes, the self-test.
#pragma once

namespace zezi {

// Runs the tool on its command line and returns the exit status (base/exit_status.h).
// Every failure is one line "zezi-vidad: <what is wrong>" on standard error.
[[nodiscard]] int runTool(int argc, const char* const* argv);

}  // namespace zezi
