#include "cli/completion_script.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zezi {
namespace {

// What the help names an option's value, as cli/commands/ register it, by what completes it.
constexpr std::array<std::string_view, 2> kFileValues{"FILE", "KEY"};
constexpr std::array<std::string_view, 2> kFolderValues{"DIR", "FOLDER"};

bool among(std::string_view value, std::span<const std::string_view> values) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

// One command's words, each list separated by spaces.
struct Words {
  std::string options;  // every name of every option shown in the help
  std::string files;    // those taking a file
  std::string folders;  // those taking a folder
  std::string values;   // those taking a value of another kind
};

void append(std::string* list, const std::string& word) {
  *list += (list->empty() ? "" : " ") + word;
}

Words wordsOf(const CLI::App& app) {
  Words words;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty()) {  // hidden from the help
      continue;
    }
    std::vector<std::string> names;
    std::ranges::transform(option->get_snames(), std::back_inserter(names),
                           [](const std::string& name) { return "-" + name; });
    std::ranges::transform(option->get_lnames(), std::back_inserter(names),
                           [](const std::string& name) { return "--" + name; });
    const std::string value = option->get_type_size() == 0 ? "" : option->get_type_name();
    std::string* kind = value.empty()                 ? nullptr
                        : among(value, kFileValues)   ? &words.files
                        : among(value, kFolderValues) ? &words.folders
                                                      : &words.values;
    for (const std::string& name : names) {
      append(&words.options, name);
      if (kind != nullptr) {
        append(kind, name);
      }
    }
  }
  return words;
}

}  // namespace

std::string completionScript(const Program& program) {
  CLI::App app(program.summary, program.name);
  const auto commands = registerCommandLine(program, &app);
  std::string function = std::string("_") + program.name;
  std::replace(function.begin(), function.end(), '-', '_');

  std::string first;
  for (const auto& [subcommand, command] : commands) {
    append(&first, subcommand->get_name());
  }
  append(&first, wordsOf(app).options);

  std::string script = std::string("# bash completion for ") + program.name +
                       ", written at build time from its command table.\n" + function +
                       "() {\n"
                       "  local cur prev words cword split\n"
                       "  _init_completion -s || return\n"
                       "  if ((cword == 1)); then\n"
                       "    mapfile -t COMPREPLY < <(compgen -W '" +
                       first +
                       "' -- \"$cur\")\n"
                       "    return\n"
                       "  fi\n"
                       "  local options files folders values\n"
                       "  case ${words[1]} in\n";
  for (const auto& [subcommand, command] : commands) {
    const Words words = wordsOf(*subcommand);
    script += "    " + subcommand->get_name() + ")\n      options='" + words.options +
              "'\n      files='" + words.files + "'\n      folders='" + words.folders +
              "'\n      values='" + words.values + "' ;;\n";
  }
  script +=
      "    *) return ;;\n"
      "  esac\n"
      "  case \" $files \" in *\" $prev \"*) _filedir; return ;; esac\n"
      "  case \" $folders \" in *\" $prev \"*) _filedir -d; return ;; esac\n"
      "  case \" $values \" in *\" $prev \"*) return ;; esac\n"
      "  \"$split\" && return\n"
      "  mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
      "}\n"
      "complete -F " +
      function + " " + program.name + "\n";
  return script;
}

}  // namespace zezi
