#include "cli/device_options.h"

#include <algorithm>
#include <fstream>

#include "base/failure.h"
#include "cli/command.h"
#include "cli/trust_options.h"
#include "stacks/stack_config.h"

namespace zezi {
namespace {

bool checkStack(const std::string& stack, std::string* error) {
  return stackNamed(stack).has_value() ||
         failWith(error, "must be networkmanager, wpa-supplicant or iwd");
}

// The number of the first line of the settings file at `path` that sets `key`, or 0.
std::size_t lineOf(const std::string& path, const std::string& key) {
  std::ifstream file(path);
  std::size_t number = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    const std::size_t start = line.find_first_not_of(" \t");
    if (start != std::string::npos && line.compare(start, key.size(), key) == 0 &&
        line.find_first_not_of(" \t=", start + key.size()) != start + key.size()) {
      return number;
    }
  }
  return 0;
}

// Gives each option not on the command line its value from the settings file, as CLI11
// does for a tool's own config file (which it reads for the top command only).
void readSettings(CLI::App* command, const std::string& path,
                  const std::vector<std::string>& othersKeys) {
  std::vector<CLI::ConfigItem> items;
  try {
    items = command->get_config_formatter()->from_file(path);
  } catch (const CLI::FileError&) {
    throw CLI::ValidationError("--config", "must name a settings file that can be read");
  }
  for (const CLI::ConfigItem& item : items) {
    if (item.name == "++" || item.name == "--" ||
        (item.parents.empty() &&
         std::find(othersKeys.begin(), othersKeys.end(), item.name) != othersKeys.end())) {
      continue;
    }
    CLI::Option* option = command->get_option_no_throw("--" + item.name);
    if (option == nullptr || !item.parents.empty() || item.name == "config") {
      const std::string key = item.parents.empty() ? item.name : item.fullname();
      throw CLI::ValidationError(
          "--config", "must hold only " + command->get_name() + "'s settings: " + key +
                          ", on line " + std::to_string(lineOf(path, item.name)) + ", is not one");
    }
    if (option->count() > 0) {
      continue;  // the command line wins
    }
    if (option->get_expected_min() == 0) {
      option->add_result(
          option->get_flag_value(item.name, command->get_config_formatter()->to_flag(item)));
    } else {
      option->add_result(item.inputs);
    }
  }
}

}  // namespace

void addDeviceOptions(CLI::App* command, DeviceOptions* options,
                      std::vector<std::string> othersKeys) {
  takes(command->add_option_function<std::string>(
            "--config",
            [command, othersKeys = std::move(othersKeys)](const std::string& path) {
              readSettings(command, path, othersKeys);
            },
            "settings file: key = \"value\" lines, named as the options"),
        "FILE");
  takes(command->add_option("--private", options->privatePath,
                            "fleet private key file, TPM-wrapped key file or handle:0x..."),
        "KEY")
      ->required();
  addTrustOptions(command, &options->trust, &options->trustListPath);
  takes(command->add_option("--state", options->statePath, "the device's replay state file"),
        "FILE")
      ->required();
  takes(command->add_option("--stack", options->stack, "networkmanager, wpa-supplicant or iwd"),
        "STACK")
      ->required()
      ->check(checkedBy(checkStack));
  CLI::Option* dir = takes(command->add_option("--config-dir", options->configDir,
                                               "the stack's folder (networkmanager, iwd)"),
                           "DIR");
  takes(command->add_option("--config-file", options->configFile,
                            "the stack's file (wpa-supplicant)"),
        "FILE")
      ->excludes(dir);
}

bool completeDeviceOptions(const DeviceOptions& options, StackTarget* targetOut,
                           std::string* error) {
  if (options.trust.empty() && options.trustListPath.empty()) {
    return failWith(error, "give --trust or --trust-list");
  }
  const Stack stack = *stackNamed(options.stack);
  if (stack == Stack::kWpaSupplicant && !options.configDir.empty()) {
    return failWith(
        error, "--config-dir goes with networkmanager and iwd; wpa-supplicant takes --config-file");
  }
  if (stack != Stack::kWpaSupplicant && !options.configFile.empty()) {
    return failWith(
        error, "--config-file goes with wpa-supplicant; networkmanager and iwd take --config-dir");
  }
  targetOut->stack = stack;
  targetOut->location = !options.configDir.empty()    ? options.configDir
                        : !options.configFile.empty() ? options.configFile
                                                      : defaultLocation(stack);
  return true;
}

bool loadDevice(const DeviceOptions& options, PrivateKey* key, TrustList* trustList,
                std::string* error) {
  return loadPrivateKey(options.privatePath, "--private", key, error) &&
         loadDeviceTrust(options.trust, options.trustListPath, key->rawPublicKey(), trustList,
                         error);
}

}  // namespace zezi
