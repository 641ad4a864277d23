// What apply and status share: the device's settings (its key, trust list, replay state
// and WiFi stack), from the command line or a settings file of `key = "value"` lines.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "cli/key_loading.h"
#include "opener/open_signed_envelope.h"
#include "stacks/config_writer.h"

namespace zezi {

struct DeviceOptions {
  std::string privatePath;
  std::vector<std::string> trust;
  std::string trustListPath;
  std::string statePath;
  std::string stack;
  std::string configDir;
  std::string configFile;
};

// Registers --config first, so that the settings file fills the options before their own
// checks run, then --private, --trust or --trust-list, --state, --stack, --config-dir and
// --config-file. A settings key named in `othersKeys` belongs to another command reading
// the same file and is skipped; any other key must be one of this command's options.
void addDeviceOptions(CLI::App* command, DeviceOptions* options,
                      std::vector<std::string> othersKeys);

// The checks CLI11 cannot make; on success writes where the stack's configuration is, else
// false with the usage message.
[[nodiscard]] bool completeDeviceOptions(const DeviceOptions& options, StackTarget* targetOut,
                                         std::string* error);

// The fleet key and the trust list the options name.
[[nodiscard]] bool loadDevice(const DeviceOptions& options, PrivateKey* key, TrustList* trustList,
                              std::string* error);

}  // namespace zezi
