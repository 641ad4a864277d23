#include "base/wiping_memory.h"
#include "cli/run_program.h"

int main(int argc, char** argv) {
  // First of all, before OpenSSL allocates anything. Should it refuse, the tool still
  // works, only without wiping what OpenSSL frees.
  static_cast<void>(zezi::installWipingOpenSslMemory());
  return zezi::runProgram(zezi::kToolProgram, argc, argv);
}
