#include "cli/commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "base/exit_status.h"
#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/batch_runner.h"
#include "cli/diagnostics.h"
#include "cli/display_json.h"
#include "cli/file_pair.h"
#include "cli/key_loading.h"
#include "cli/options.h"
#include "cli/psk_source.h"
#include "cli/secret_input.h"
#include "cli/signing.h"
#include "cli/time_text.h"
#include "encoding/hex.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "sealer/builder.h"
#include "sealer/key_files.h"
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
  if (!writeFilePair({options.privatePath, privatePem, kPrivateMode},
                     {options.publicPath, publicPem, kPublicMode}, options.force, &error)) {
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

// The signing options of seal, checked together; false with the exit status of a usage
// error reported.
bool planSealSigning(const SealOptions& options, SigningPlan* plan, int* status) {
  std::string error;
  if (options.signKey.empty() && options.signing.any()) {
    error = "--serial-file, --serial and --valid-for go with --sign-key";
  } else if (!options.signKey.empty() && options.outputPath.empty()) {
    error = "--sign-key needs -o: the signature file goes beside the envelope";
  } else if (options.signKey.empty() || planSigning(options.signing, plan, &error)) {
    return true;
  }
  *status = reportFailure(error, kExitUsage);
  return false;
}

// Signs the envelope and writes it with its signature file, both or neither.
int writeSigned(const SealOptions& options, const SigningPlan& plan, const Bytes& signerScalar,
                const Bytes& fleetKey, const std::string& envelope) {
  SignatureTerms terms;
  std::string signatureFile;
  VerifiedSignature verified;
  std::string error;
  if (!takeTerms(plan, &terms, &error) ||
      !signAndCheck(signerScalar, fleetKey, envelope, terms, &signatureFile, &verified, &error) ||
      !writeFilePair({options.outputPath, envelope, kPublicMode},
                     {signaturePathOf(options.outputPath), signatureFile, kPublicMode},
                     options.force, &error)) {
    return reportFailure(error);
  }
  return emit({}, statementLine(verified), false);
}

// seal of one network, from --ssid or --ssid-hex.
int sealOne(const SealOptions& options) {
  SigningPlan plan;
  if (int status = kExitOk; !planSealSigning(options, &plan, &status)) {
    return status;
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
        {"--passphrase-file", options.passphraseFile},
        {"--sign-key", options.signKey}};
    for (const auto& [option, input] : inputs) {
      if (!input.empty() && input != "-" && sameFile(options.outputPath, input)) {
        return reportFailure(std::string("-o names the same file as ") + option, kExitUsage);
      }
    }
    // Before the secret is asked for, not after.
    std::string error;
    if (!checkWritableTarget(options.outputPath, options.force, &error) ||
        (!options.signKey.empty() &&
         (!checkWritableTarget(signaturePathOf(options.outputPath), options.force, &error) ||
          !checkSerialSource(plan, &error)))) {
      return reportFailure(error);
    }
  }
  Bytes fleetKey;
  Bytes signerScalar;
  SecretText psk;
  std::string envelope;
  std::string error;
  if (!loadFleetKey(options.fleetKey, &fleetKey, &error) ||
      (!options.signKey.empty() && !loadPrivateScalar(options.signKey, &signerScalar, &error))) {
    return reportFailure(error);
  }
  if (!options.signKey.empty() && publicKeyOfScalar(signerScalar) == fleetKey) {
    return reportFailure("signer key is the fleet key");
  }
  if (!obtainPsk(options, &psk, &error) ||
      !buildEnvelope(options.ssid, psk, fleetKey, &envelope, &error)) {
    return reportFailure(error);
  }
  if (!options.signKey.empty()) {
    return writeSigned(options, plan, signerScalar, fleetKey, envelope);
  }
  return emit(options.outputPath, envelope, options.force);
}

int run(const SealOptions& options) {
  return options.batchPath.empty() ? sealOne(options) : runBatch(options);
}

// Opens as a device that checks signatures: verify, open, then save the replay state.
bool openSigned(const OpenOptions& options, const Bytes& scalar, std::string_view envelope,
                Network* network, std::string* error) {
  std::optional<std::string> signatureFile;
  TrustList trustList;
  if (!readSignatureFileOf(options.envelopePath, &signatureFile, error) ||
      !loadDeviceTrust(options.trust, options.trustListPath, publicKeyOfScalar(scalar), &trustList,
                       error)) {
    return false;
  }
  // Held until the new state is saved, so that another open cannot accept meanwhile.
  ReplayStateLock lock;
  if (!lock.acquire(options.statePath, error)) {
    return false;
  }
  ReplayState stored;
  const bool readable = loadReplayState(options.statePath, trustList, &stored);
  SignatureInput input;
  input.envelope = envelope;
  input.signatureFile = signatureFile;
  input.state = readable ? &stored : nullptr;
  input.policy =
      options.policy == "transition" ? SignaturePolicy::kTransition : SignaturePolicy::kRequired;
  if (options.now) {
    input.now = currentUnixTime();
  }
  VerifiedSignature verified;
  ReplayState next;
  std::string why;
  if (!openSignedEnvelope(input, trustList, scalar, network, &verified, &next, &why)) {
    return failWith(error, "cannot open the envelope: " + why);
  }
  // Saved before the network is shown; an unsigned envelope leaves no state.
  if (verified.isSigned && next != stored && !commitReplayState(options.statePath, next, &why)) {
    return failWith(error, "cannot save the replay state: " + why);
  }
  return true;
}

// The options of open that go together; false with the exit status of a usage error.
bool checkOpenOptions(const OpenOptions& options, int* status) {
  const bool signedMode = !options.trust.empty() || !options.trustListPath.empty();
  std::string error;
  if (!signedMode && (!options.statePath.empty() || !options.policy.empty() || options.now)) {
    error = "--state, --policy and --now go with --trust or --trust-list";
  } else if (signedMode && options.envelopePath == "-") {
    error = "--envelope must name a file: the signature file lies beside it";
  } else if (signedMode && options.statePath.empty()) {
    error = "--trust and --trust-list need --state, the device's replay state file";
  } else {
    return true;
  }
  *status = reportFailure(error, kExitUsage);
  return false;
}

int run(const OpenOptions& options) {
  if (int status = kExitOk; !checkOpenOptions(options, &status)) {
    return status;
  }
  Bytes scalar;
  SecretText envelope;
  Network network;
  std::string error;
  if (!loadPrivateScalar(options.privatePath, &scalar, &error) ||
      !readInput(options.envelopePath, kMaxEnvelopeSize, &envelope, &error)) {
    return reportFailure(error);
  }
  if (!options.trust.empty() || !options.trustListPath.empty()) {
    if (!openSigned(options, scalar, envelope, &network, &error)) {
      return reportFailure(error);
    }
  } else if (!openEnvelope(envelope, scalar, &network, &error)) {
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

int run(const SignOptions& options) {
  return runSign(options);
}

int run(const VerifyOptions& options) {
  return runVerify(options);
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
