// The tool's command line: one set of options per command.
#pragma once

#include <string>
#include <variant>

namespace zezi {

struct KeygenOptions {
  std::string privatePath;
  std::string publicPath;
  bool force = false;
};

struct PubkeyOptions {
  std::string privatePath;
};

struct SealOptions {
  std::string fleetKey;
  std::string ssid;
  std::string pskFile;
  std::string passphraseFile;
  std::string outputPath;  // empty for standard output
  bool force = false;
};

struct OpenOptions {
  std::string privatePath;
  std::string envelopePath;
  bool showPsk = false;
};

struct SelftestOptions {};

using CommandOptions =
    std::variant<KeygenOptions, PubkeyOptions, SealOptions, OpenOptions, SelftestOptions>;

// Reads the command line into the options of the command it names. When there is nothing
// to run (help or version printed, or a usage error reported) returns false with the
// status to exit with in `*exitStatus`.
[[nodiscard]] bool parseCommandLine(int argc, const char* const* argv, CommandOptions* command,
                                    int* exitStatus);

}  // namespace zezi
