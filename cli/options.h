// The tool's command line: the global options, the command table and the wording of usage
// errors; each command registers its own options (cli/commands/).
#pragma once

#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/command.h"

namespace zezi {

// A program of commands: the operator's tool, or the device's program, which carries only
// what a device runs.
struct Program {
  const char* name;                               // as messages and examples give it
  const char* summary;                            // the first line of its help
  const char* help;                               // the help's footer: exit statuses and examples
  std::span<const CommandEntry* const> commands;  // in the order of the help
};

// The operator's tool, zezi-vidad, with every command.
extern const Program kToolProgram;
// The device's program, zezi-vidad-device: apply, status and its self-test.
extern const Program kDeviceProgram;

// Registers the program's own options and every command's on `app`, as the command line
// is read; returns each command's subcommand with the command its options are read into.
// The shell completion is written from the same registration (cli/completion_script.h).
[[nodiscard]] std::vector<std::pair<CLI::App*, std::unique_ptr<Command>>> registerCommandLine(
    const Program& program, CLI::App* app);

// Reads the command line into the command it names, its options set and checked. When
// there is nothing to run (help or version printed, or a usage error reported) returns
// false with the status to exit with in `*exitStatus`. Without a command, or with a first
// word that is neither a command nor an option, the help goes to standard error.
[[nodiscard]] bool parseCommandLine(const Program& program, int argc, const char* const* argv,
                                    std::unique_ptr<Command>* command, int* exitStatus);

}  // namespace zezi
