#include "cli/commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/exit_status.h"
#include "cli/atomic_file.h"
#include "cli/batch_runner.h"
#include "cli/diagnostics.h"
#include "cli/display_json.h"
#include "cli/key_loading.h"
#include "cli/options.h"
#include "cli/psk_source.h"
#include "cli/secret_input.h"
#include "encoding/hex.h"
#include "envelope/builder.h"
#include "envelope/key_files.h"
#include "envelope/key_pair.h"
#include "opener/open_envelope.h"
#include "selftest/checks.h"
#include "selftest/report.h"

namespace zezi {
namespace {

constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kPublicMode = 0644;

// True when both paths lead to one file: the same device and inode where they exist, else
// the same full path.
bool sameFile(const std::string& first, const std::string& second) {
  struct stat firstInfo {};
  struct stat secondInfo {};
  if (stat(first.c_str(), &firstInfo) == 0 && stat(second.c_str(), &secondInfo) == 0) {
    return firstInfo.st_dev == secondInfo.st_dev && firstInfo.st_ino == secondInfo.st_ino;
  }
  std::error_code absoluteFailure;
  std::error_code canonicalFailure;
  const auto full = [&](const std::string& path) {
    auto resolved = std::filesystem::weakly_canonical(
        std::filesystem::absolute(path, absoluteFailure), canonicalFailure);
    return absoluteFailure || canonicalFailure ? std::filesystem::path(path) : resolved;
  };
  return full(first) == full(second);
}

// Writes `text` to standard output when `path` is empty, else atomically to the file.
int emit(const std::string& path, std::string_view text, bool force) {
  if (path.empty()) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
      return reportFailure("cannot write standard output");
    }
    return kExitOk;
  }
  std::string error;
  return writeFileAtomically(path, text, kPublicMode, force, &error) ? kExitOk
                                                                     : reportFailure(error);
}

int run(const KeygenOptions& options) {
  if (sameFile(options.privatePath, options.publicPath)) {
    return reportFailure("--private and --public name the same file", kExitUsage);
  }
  // Both targets are checked before either is touched.
  std::string error;
  if (!checkWritableTarget(options.privatePath, options.force, &error) ||
      !checkWritableTarget(options.publicPath, options.force, &error)) {
    return reportFailure(error);
  }
  Bytes scalar;
  Bytes raw;
  SecretText privatePem;
  if (!generateKeyPair(&scalar, &raw) || !privateKeyPem(scalar, &privatePem)) {
    return reportFailure("cannot generate the key pair");
  }
  const std::string publicPem = publicKeyPem(raw);
  if (publicPem.empty()) {
    return reportFailure("cannot encode the public key");
  }
  StagedFile privateFile;
  StagedFile publicFile;
  if (!privateFile.stage(options.privatePath, privatePem, kPrivateMode, &error) ||
      !publicFile.stage(options.publicPath, publicPem, kPublicMode, &error) ||
      !StagedFile::commitPair(&privateFile, &publicFile, options.force, &error)) {
    return reportFailure(error);
  }
  return emit({}, hexEncode(raw) + "\n", false);
}

int run(const PubkeyOptions& options) {
  Bytes scalar;
  std::string error;
  if (!loadPrivateScalar(options.privatePath, &scalar, &error)) {
    return reportFailure(error);
  }
  const Bytes raw = publicKeyOfScalar(scalar);
  const std::string pem = publicKeyPem(raw);
  if (pem.empty()) {
    return reportFailure("cannot encode the public key");
  }
  return emit({}, hexEncode(raw) + "\n" + pem, false);
}

int run(const SealOptions& options) {
  if (!options.batchPath.empty()) {
    return runBatch(options);
  }
  if (options.pskFile.empty() && options.passphraseFile.empty() && !haveTerminal()) {
    return reportFailure(
        "no terminal to ask for the passphrase: use --psk-file or --passphrase-file", kExitUsage);
  }
  if ((options.pskFile == "-" || options.passphraseFile == "-") && isatty(STDIN_FILENO) == 1) {
    // Typed there, the secret would be echoed.
    return reportFailure(
        "standard input is a terminal: leave out the file option to be asked without echo",
        kExitUsage);
  }
  if (!options.outputPath.empty()) {
    const std::pair<const char*, const std::string&> inputs[] = {
        {"--fleet-key", options.fleetKey},
        {"--psk-file", options.pskFile},
        {"--passphrase-file", options.passphraseFile}};
    for (const auto& [option, input] : inputs) {
      if (!input.empty() && input != "-" && sameFile(options.outputPath, input)) {
        return reportFailure(std::string("-o names the same file as ") + option, kExitUsage);
      }
    }
    // Before the secret is asked for, not after.
    std::string error;
    if (!checkWritableTarget(options.outputPath, options.force, &error)) {
      return reportFailure(error);
    }
  }
  Bytes fleetKey;
  SecretText psk;
  std::string envelope;
  std::string error;
  if (!loadFleetKey(options.fleetKey, &fleetKey, &error) || !obtainPsk(options, &psk, &error) ||
      !buildEnvelope(options.ssid, psk, fleetKey, &envelope, &error)) {
    return reportFailure(error);
  }
  return emit(options.outputPath, envelope, options.force);
}

int run(const OpenOptions& options) {
  Bytes scalar;
  SecretText envelope;
  Network network;
  std::string error;
  if (!loadPrivateScalar(options.privatePath, &scalar, &error) ||
      !readInput(options.envelopePath, kMaxEnvelopeSize, &envelope, &error)) {
    return reportFailure(error);
  }
  if (!openEnvelope(envelope, scalar, &network, &error)) {
    return reportFailure("cannot open the envelope: " + error);
  }
  SecretText line = R"({"ssid": )";
  line += displaySafeJsonString(network.ssid);
  line += R"(, "ssid_hex": ")";
  line += hexEncode(textToBytes(network.ssid));
  if (options.showPsk) {
    line += R"(", "psk": ")";
    line += network.psk;
  }
  line += "\"}\n";
  return emit({}, line, false);
}

int run(const SelftestOptions& /*options*/) {
  std::string error;
  const bool passed = runSelfTest(&error);
  return reportOutcome(passed, error, stdout, stderr);
}

}  // namespace

int runTool(int argc, const char* const* argv) {
  try {
    CommandOptions command;
    int exitStatus = kExitOk;
    if (!parseCommandLine(argc, argv, &command, &exitStatus)) {
      return exitStatus;
    }
    return std::visit([](const auto& options) { return run(options); }, command);
  } catch (const std::exception& e) {
    return reportFailure(std::string("internal error: ") + e.what());
  }
}

}  // namespace zezi
