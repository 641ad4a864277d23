// The exit statuses of both programs, zezi-vidad and zezi-vidad-selftest.
#pragma once

namespace zezi {

inline constexpr int kExitOk = 0;
// The work could not be done: a file unreadable, a key refused, the self-test failing.
inline constexpr int kExitFailure = 1;
// The command line itself is wrong; nothing was attempted.
inline constexpr int kExitUsage = 2;

}  // namespace zezi
