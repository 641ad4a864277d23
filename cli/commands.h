// The zezi-vidad tool: key generation, sealing and opening of envelopes, the self-test.
#pragma once

namespace zezi {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs the tool on its command line and returns the exit status. Every failure is one
// line "zezi-vidad: <what is wrong>" on standard error.
[[nodiscard]] int runTool(int argc, const char* const* argv);

}  // namespace zezi
