#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/version.h"
#include "base/exit_status.h"
#include "base/failure.h"
#include "cli/diagnostics.h"

namespace zezi {
namespace {

constexpr std::array<std::string_view, 8> kFlags{"--force", "--show-psk", "--now",     "--resume",
                                                 "--list",  "--reload",   "--dry-run", "--json"};
// Shorter values are no secret and too common to look for in a message.
constexpr std::size_t kShortestHiddenValue = 3;

bool isCommand(const Program& program, std::string_view word) {
  return std::any_of(program.commands.begin(), program.commands.end(),
                     [word](const CommandEntry* entry) { return word == entry->name; });
}

// "keygen, pubkey, ... or status".
std::string commandList(const Program& program) {
  std::string list;
  for (std::size_t i = 0; i < program.commands.size(); ++i) {
    list += (i == 0                             ? ""
             : i + 1 == program.commands.size() ? " or "
                                                : ", ") +
            std::string(program.commands[i]->name);
  }
  return list;
}

// "--name" of "--name=value".
std::string_view optionName(std::string_view word) {
  return word.substr(0, word.find('='));
}

// Refuses, with the tool's own message, mistakes that CLI11 would report as something else,
// or with a value in the message.
bool argumentsInPlace(const Program& program, int argc, const char* const* argv,
                      std::string* error) {
  const auto isCommandWord = [&program](std::string_view word) { return isCommand(program, word); };
  const std::vector<std::string_view> words(argv + std::min(argc, 1), argv + argc);
  if (words.empty()) {
    return true;
  }
  const std::string_view first = words.front();
  if (!isCommandWord(first) && first.starts_with('-') && first != "-h" && first != "--help" &&
      first != "--version") {
    const auto command = std::find_if(words.begin() + 1, words.end(), isCommandWord);
    if (command != words.end()) {
      return failWith(error, std::string(optionName(first)) +
                                 " goes after the command name, as in " + program.name + " " +
                                 std::string(*command) + " " + std::string(optionName(first)));
    }
  }
  const auto flagWithValue = std::find_if(words.begin(), words.end(), [](std::string_view word) {
    return word.find('=') != std::string_view::npos &&
           std::find(kFlags.begin(), kFlags.end(), optionName(word)) != kFlags.end();
  });
  if (flagWithValue != words.end()) {
    return failWith(error, std::string(optionName(*flagWithValue)) + " takes no value");
  }
  return true;
}

// True when `message` repeats a value given on the command line: anything but an option's
// name or a command.
bool repeatsValue(const Program& program, std::string_view message, int argc,
                  const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word.starts_with('-')) {
      const std::size_t equals = word.find('=');
      word = equals == std::string_view::npos ? std::string_view{} : word.substr(equals + 1);
    } else if (isCommand(program, word)) {
      continue;
    }
    if (word.size() >= kShortestHiddenValue && message.find(word) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

// The option an option-level message of CLI11 starts with ("--name: ..."), or empty.
std::string_view leadingOption(std::string_view message) {
  if (!message.starts_with('-')) {
    return {};
  }
  return message.substr(0, message.find_first_of(": "));
}

// The option of the command given more than once that may be given once only, or null.
const CLI::Option* repeatedOption(const CLI::App& app) {
  for (const CLI::App* command : app.get_subcommands()) {
    const std::vector<const CLI::Option*> options = command->get_options();
    const auto repeated = std::find_if(options.begin(), options.end(), [](const CLI::Option* o) {
      return o->count() > 1 && o->get_expected_max() <= 1;
    });
    if (repeated != options.end()) {
      return *repeated;
    }
  }
  return nullptr;
}

// Refuses the tool's --version given after a command that has no --version of its own.
bool versionInPlace(const Program& program, const CLI::App& app, int argc, const char* const* argv,
                    std::string* error) {
  const std::vector<std::string_view> words(argv + std::min(argc, 1), argv + argc);
  if (words.empty() || !isCommand(program, words.front()) ||
      std::find(words.begin(), words.end(), "--version") == words.end()) {
    return true;
  }
  const std::string command(words.front());
  return app.get_subcommand(command)->get_option_no_throw("--version") != nullptr ||
         failWith(error, "--version belongs to the tool, not to " + command + ": " + program.name +
                             " --version");
}

// The one-line usage message for what CLI11 refused, naming options but never a value, in
// the tool's words rather than CLI11's.
std::string usageMessage(const Program& program, const CLI::ParseError& e, const CLI::App& app,
                         int argc, const char* const* argv) {
  if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
    return "expected a command: " + commandList(program);
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    std::string options;
    for (const std::string& word : app.remaining(true)) {
      if (word.size() > 1 && word.starts_with('-')) {
        options += (options.empty() ? "" : ", ") + std::string(optionName(word));
      }
    }
    // A value of an unknown option, or a word with spaces split in two, may be a secret.
    return options.empty() ? "unexpected argument, not an option (not repeated here)"
                           : "unknown option: " + options;
  }
  const std::string message = e.what();
  const std::string option(leadingOption(message));
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    if (const CLI::Option* repeated = repeatedOption(app)) {
      return repeated->get_name() + " is given more than once";
    }
    if (!option.empty()) {
      return option + " needs a value";
    }
  }
  // The validators' own texts start with "must" and never hold the value.
  if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr && !option.empty() &&
      message.starts_with(option + ": must ")) {
    return option + message.substr(option.size() + 1);
  }
  if (dynamic_cast<const CLI::ConversionError*>(&e) != nullptr && !option.empty()) {
    return "invalid value for " + option + " (not repeated here)";
  }
  return repeatsValue(program, message, argc, argv)
             ? "invalid value for an option (not repeated here)"
             : message;
}

// Help that reads like the rest of the tool: "--name WHAT", "(required)" after options that
// must be given, and no CLI11 wording; what needs or excludes what is in the texts.
class ToolFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    std::string text;
    if (option->get_type_size() != 0) {
      text += " " + option->get_type_name();
    }
    if (option->get_required()) {
      text += " (required)";
    }
    return text;
  }
};

}  // namespace

std::vector<std::pair<CLI::App*, std::unique_ptr<Command>>> registerCommandLine(
    const Program& program, CLI::App* app) {
  // Before the commands are added: each takes both from the tool.
  app->formatter(std::make_shared<ToolFormatter>());
  app->set_help_flag("-h,--help", "show this help and exit");
  app->footer(program.help);
  app->set_version_flag("--version", std::string(program.name) + " " + ZEZI_VIDAD_VERSION_STRING,
                        "show the version and exit");
  app->require_subcommand(1);

  std::vector<std::pair<CLI::App*, std::unique_ptr<Command>>> commands;
  for (const CommandEntry* entry : program.commands) {
    CLI::App* subcommand = app->add_subcommand(entry->name, entry->summary);
    commands.emplace_back(subcommand, entry->add(subcommand));
  }
  return commands;
}

bool parseCommandLine(const Program& program, int argc, const char* const* argv,
                      std::unique_ptr<Command>* command, int* exitStatus) {
  if (std::string mistake; !argumentsInPlace(program, argc, argv, &mistake)) {
    *exitStatus = reportFailure(mistake, kExitUsage);
    return false;
  }
  CLI::App app(program.summary, program.name);
  auto commands = registerCommandLine(program, &app);
  // Nothing to run, or a word that no command is: the help says what there is.
  if (argc < 2 || (!isCommand(program, argv[1]) && !std::string_view(argv[1]).starts_with('-'))) {
    if (argc >= 2) {
      reportFailure("unknown command \"" + std::string(argv[1]) + "\"", kExitUsage);
    }
    static_cast<void>(std::fputs(app.help().c_str(), stderr));
    *exitStatus = kExitUsage;
    return false;
  }
  if (std::string mistake; !versionInPlace(program, app, argc, argv, &mistake)) {
    *exitStatus = reportFailure(mistake, kExitUsage);
    return false;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version exit with 0 through CLI11's own printing; errors become one line.
    *exitStatus = e.get_exit_code() == 0
                      ? app.exit(e)
                      : reportFailure(usageMessage(program, e, app, argc, argv), kExitUsage);
    return false;
  }
  const auto parsed = std::find_if(commands.begin(), commands.end(),
                                   [](const auto& named) { return named.first->parsed(); });
  if (parsed == commands.end()) {
    *exitStatus = reportFailure("no command given", kExitUsage);
    return false;
  }
  if (std::string mistake; !parsed->second->complete(&mistake)) {
    *exitStatus = reportFailure(mistake, kExitUsage);
    return false;
  }
  *command = std::move(parsed->second);
  return true;
}

}  // namespace zezi
