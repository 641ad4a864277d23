// One command of the tool: its options, registered on its own CLI11 subcommand beside its
// code, the checks CLI11 cannot make, and its run. A command is a file in cli/commands/
// and one line in the table of cli/options.cpp.
#pragma once

#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <string_view>

namespace zezi {

inline constexpr mode_t kPrivateMode = 0600;
inline constexpr mode_t kPublicMode = 0644;

class Command {
 public:
  Command() = default;
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;
  virtual ~Command() = default;

  // After parsing: false with the usage message of the first check that fails.
  [[nodiscard]] virtual bool complete(std::string* /*error*/) { return true; }

  // Runs the command and returns the exit status (base/exit_status.h).
  [[nodiscard]] virtual int run() const = 0;
};

// A line of the command table: the name, the line in the tool's help, and what registers
// the command's options (and its help text) on its subcommand.
struct CommandEntry {
  const char* name;
  const char* summary;
  std::unique_ptr<Command> (*add)(CLI::App* subcommand);
};

// What a command's table line calls: makes the command, which registers its options.
template <typename CommandType>
std::unique_ptr<Command> addCommand(CLI::App* subcommand) {
  return std::make_unique<CommandType>(subcommand);
}

extern const CommandEntry kKeygenCommand;
extern const CommandEntry kPubkeyCommand;
extern const CommandEntry kSealCommand;
extern const CommandEntry kPageCommand;
extern const CommandEntry kOpenCommand;
extern const CommandEntry kSignCommand;
extern const CommandEntry kVerifyCommand;
extern const CommandEntry kTrustListCommand;
extern const CommandEntry kSelftestCommand;
extern const CommandEntry kApplyCommand;
extern const CommandEntry kStatusCommand;
extern const CommandEntry kDeviceSelftestCommand;
extern const CommandEntry kDecommissionCommand;

// Names what an option takes in the help, in place of CLI11's type names.
inline CLI::Option* takes(CLI::Option* option, const char* what) {
  return option->type_name(what);
}

// A flag refused when given twice, as every option of the tool but --trust is.
inline CLI::Option* once(CLI::Option* flag) {
  return flag->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// A check of an option's value as the tool writes its checks: false with what is wrong.
using ValueCheck = bool (*)(const std::string& value, std::string* error);

// `check` as CLI11 takes it, whose form is the message, empty for a value it accepts.
[[nodiscard]] CLI::Validator checkedBy(ValueCheck check);

// --fleet-key, which seal, sign and verify need.
CLI::Option* addFleetKeyOption(CLI::App* command, std::string* fleetKey);

// Writes `text` to standard output when `path` is empty, else atomically to the file (mode
// 0644, an existing one replaced only with `force`); returns the exit status.
[[nodiscard]] int emit(const std::string& path, std::string_view text, bool force);

// True when both paths lead to one file: the same device and inode where they exist, else
// the same full path.
[[nodiscard]] bool sameFile(const std::string& first, const std::string& second);

}  // namespace zezi
