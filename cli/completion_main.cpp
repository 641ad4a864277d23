// zezi-vidad-completion PROGRAM OUTPUT: writes the bash completion of zezi-vidad or
// zezi-vidad-device to OUTPUT; run by the build, never installed.
#include <cstdio>
#include <fstream>
#include <string_view>

#include "base/exit_status.h"
#include "cli/completion_script.h"
#include "cli/options.h"

int main(int argc, char** argv) {
  constexpr int kArguments = 3;
  if (argc != kArguments) {
    static_cast<void>(std::fputs("usage: zezi-vidad-completion PROGRAM OUTPUT\n", stderr));
    return zezi::kExitUsage;
  }
  const std::string_view name = argv[1];
  const zezi::Program* program = name == zezi::kToolProgram.name     ? &zezi::kToolProgram
                                 : name == zezi::kDeviceProgram.name ? &zezi::kDeviceProgram
                                                                     : nullptr;
  if (program == nullptr) {
    static_cast<void>(std::fprintf(stderr, "zezi-vidad-completion: no program %s\n", argv[1]));
    return zezi::kExitUsage;
  }
  std::ofstream output(argv[2], std::ios::binary | std::ios::trunc);
  output << zezi::completionScript(*program);
  output.close();
  if (!output) {
    static_cast<void>(std::fprintf(stderr, "zezi-vidad-completion: cannot write %s\n", argv[2]));
    return zezi::kExitFailure;
  }
  return zezi::kExitOk;
}
