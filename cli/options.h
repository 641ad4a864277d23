// The tool's command line: the global options, the command table and the wording of usage
// errors; each command registers its own options (cli/commands/).
#pragma once

#include <memory>

#include "cli/command.h"

namespace zezi {

// Reads the command line into the command it names, its options set and checked. When
// there is nothing to run (help or version printed, or a usage error reported) returns
// false with the status to exit with in `*exitStatus`.
[[nodiscard]] bool parseCommandLine(int argc, const char* const* argv,
                                    std::unique_ptr<Command>* command, int* exitStatus);

}  // namespace zezi
