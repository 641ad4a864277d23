// Whether the tests run under a user-mode emulator (qemu-user, for another architecture's
// build): tools/cross-test.sh sets ZEZI_VIDAD_EMULATED to the emulator's command. The
// emulator does not do everything a kernel does; a case that meets such a gap is skipped
// there with the reason, and still runs wherever the program runs natively.
#pragma once

#include <cstdlib>
#include <string>

#include "support/run_command.h"

namespace zezi::testing {

inline const char* emulator() {
  const char* command = std::getenv("ZEZI_VIDAD_EMULATED");
  return command != nullptr && *command != '\0' ? command : nullptr;
}

inline bool underEmulation() {
  return emulator() != nullptr;
}

// A shell command that runs one of the build's programs: through the emulator when the tests
// run under one, since a shell it starts cannot run the target's programs itself.
inline std::string programCommand(const std::string& path) {
  return underEmulation() ? std::string(emulator()) + " " + shellQuote(path) : shellQuote(path);
}

}  // namespace zezi::testing
