#include "cli/run_program.h"

#include <exception>
#include <memory>
#include <string>

#include "base/exit_status.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/options.h"

namespace zezi {

int runProgram(const Program& program, int argc, const char* const* argv) {
  try {
    std::unique_ptr<Command> command;
    int exitStatus = kExitOk;
    if (!parseCommandLine(program, argc, argv, &command, &exitStatus)) {
      return exitStatus;
    }
    return command->run();
  } catch (const std::exception& e) {
    return reportFailure(std::string("internal error: ") + e.what());
  }
}

}  // namespace zezi
