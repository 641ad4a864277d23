// The tool's command line: one set of options per command.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace zezi {

struct KeygenOptions {
  std::string privatePath;
  std::string publicPath;
  bool force = false;
};

struct PubkeyOptions {
  std::string privatePath;
};

// How a signature's serial and validity are given: --serial-file (made anew with
// --init-serial) or --serial, and --valid-for, as typed (the commands check them).
struct SigningOptions {
  std::string serialFile;
  bool initSerial = false;
  std::string serial;
  std::string validFor;

  [[nodiscard]] bool any() const {
    return !serialFile.empty() || initSerial || !serial.empty() || !validFor.empty();
  }
};

// The most threads a batch may use.
inline constexpr unsigned kMaxJobs = 256;

struct SealOptions {
  std::string fleetKey;
  std::string ssid;
  std::string pskFile;
  std::string passphraseFile;
  std::string outputPath;  // empty for standard output
  bool force = false;
  std::string signKey;  // empty: no signature file
  SigningOptions signing;
  // A batch: every network of the file sealed into its own file in outDir.
  std::string batchPath;  // empty for one network
  std::string outDir;
  unsigned jobs = 0;    // 0 for one per core
  bool resume = false;  // keep the whole envelopes a stopped run left, seal the rest
  bool list = false;    // print "FILE:LINE<tab>envelope" for each row
};

struct OpenOptions {
  std::string privatePath;
  std::string envelopePath;
  bool showPsk = false;
  std::vector<std::string> trust;  // empty: the envelope alone, no signature checked
  std::string trustListPath;       // or the device's trust list file instead of --trust
  std::string statePath;
  std::string policy;  // "required" (when empty) or "transition"
  bool now = false;
};

struct SignOptions {
  std::string keyPath;
  std::string fleetKey;
  std::string envelopePath;
  SigningOptions signing;
  bool force = false;
};

struct VerifyOptions {
  std::vector<std::string> trust;
  std::string trustListPath;  // instead of --trust
  std::string fleetKey;
  std::string envelopePath;
  std::string statePath;  // empty: a fresh device
  bool now = false;
};

struct SelftestOptions {};

using CommandOptions = std::variant<KeygenOptions, PubkeyOptions, SealOptions, OpenOptions,
                                    SignOptions, VerifyOptions, SelftestOptions>;

// Reads the command line into the options of the command it names. When there is nothing
// to run (help or version printed, or a usage error reported) returns false with the
// status to exit with in `*exitStatus`.
[[nodiscard]] bool parseCommandLine(int argc, const char* const* argv, CommandOptions* command,
                                    int* exitStatus);

}  // namespace zezi
