#include "base/wiping_memory.h"
#include "cli/run_program.h"

int main(int argc, char** argv) {
  // First of all, before OpenSSL allocates anything, as in the tool.
  static_cast<void>(zezi::installWipingOpenSslMemory());
  return zezi::runProgram(zezi::kDeviceProgram, argc, argv);
}
