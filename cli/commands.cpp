#include "cli/commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/exit_status.h"
#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "cli/options.h"
#include "cli/psk_source.h"
#include "cli/secret_input.h"
#include "cli/signing.h"
#include "cli/time_text.h"
#include "cli/wpa_psk.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "envelope/builder.h"
#include "envelope/key_files.h"
#include "envelope/p256_keys.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "selftest/checks.h"
#include "selftest/report.h"

namespace zezi {
namespace {

constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kPublicMode = 0644;

bool exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(path, ignored).type() !=
         std::filesystem::file_type::not_found;
}

// `path` made absolute with "." and ".." and symbolic links resolved as far as it exists.
std::filesystem::path fullPath(const std::string& path) {
  std::error_code absoluteFailure;
  std::error_code canonicalFailure;
  auto full = std::filesystem::weakly_canonical(std::filesystem::absolute(path, absoluteFailure),
                                                canonicalFailure);
  return absoluteFailure || canonicalFailure ? std::filesystem::path(path) : full;
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
  if (fullPath(options.privatePath) == fullPath(options.publicPath)) {
    return reportFailure("--private and --public name the same file", kExitUsage);
  }
  const std::array<std::string, 2> paths{options.privatePath, options.publicPath};
  const auto* const taken = std::find_if(paths.begin(), paths.end(), exists);
  if (!options.force && taken != paths.end()) {
    return reportFailure(existsMessage(*taken));
  }
  Bytes scalar;
  Bytes raw;
  SecretText privatePem;
  if (!generateEphemeralKey(&scalar, &raw) || !privateKeyPem(scalar, &privatePem)) {
    return reportFailure("cannot generate the key pair");
  }
  const std::string publicPem = publicKeyPem(raw);
  if (publicPem.empty()) {
    return reportFailure("cannot encode the public key");
  }
  StagedFile privateFile;
  StagedFile publicFile;
  std::string error;
  if (!privateFile.stage(options.privatePath, privatePem, kPrivateMode, &error) ||
      !publicFile.stage(options.publicPath, publicPem, kPublicMode, &error) ||
      !privateFile.commit(options.force, &error)) {
    return reportFailure(error);
  }
  if (!publicFile.commit(options.force, &error)) {
    // Keeps the pair together: a private key whose public half was refused is taken back.
    if (!options.force) {
      unlink(options.privatePath.c_str());
    }
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
  const Bytes raw = rawPublicKeyOf(scalar);
  const std::string pem = publicKeyPem(raw);
  if (pem.empty()) {
    return reportFailure("cannot encode the public key");
  }
  return emit({}, hexEncode(raw) + "\n" + pem, false);
}

// Writes the envelope and its signature file, both or neither.
int writeSignedPair(const SealOptions& options, const std::string& envelope,
                    const std::string& signatureFile) {
  const std::string signaturePath = signaturePathOf(options.outputPath);
  const bool envelopeWasThere = exists(options.outputPath);
  StagedFile envelopeFile;
  StagedFile signature;
  std::string error;
  if (!envelopeFile.stage(options.outputPath, envelope, kPublicMode, &error) ||
      !signature.stage(signaturePath, signatureFile, kPublicMode, &error) ||
      !envelopeFile.commit(options.force, &error)) {
    return reportFailure(error);
  }
  if (!signature.commit(options.force, &error)) {
    // An envelope whose signature was refused is taken back; a replaced one stays, and
    // the old signature file beside it makes devices refuse it.
    if (!envelopeWasThere) {
      unlink(options.outputPath.c_str());
    }
    return reportFailure(error);
  }
  return kExitOk;
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

int run(const SealOptions& options) {
  SigningPlan plan;
  if (int status = kExitOk; !planSealSigning(options, &plan, &status)) {
    return status;
  }
  if (options.ssid.empty()) {
    return reportFailure("ssid is empty");
  }
  if (options.ssid.size() > kMaxSsidLength) {
    return reportFailure("ssid has " + std::to_string(options.ssid.size()) +
                         " octets, at most 32 are allowed");
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
  const std::array<std::string, 2> outputs{
      options.outputPath,
      options.signKey.empty() ? std::string() : signaturePathOf(options.outputPath)};
  const auto* const taken = std::find_if(outputs.begin(), outputs.end(), [](const auto& output) {
    return !output.empty() && exists(output);
  });
  if (!options.force && taken != outputs.end()) {
    return reportFailure(existsMessage(*taken));
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
  if (!options.signKey.empty() && rawPublicKeyOf(signerScalar) == fleetKey) {
    return reportFailure("signer key is the fleet key");
  }
  if (!obtainPsk(options, &psk, &error) ||
      !buildEnvelope(options.ssid, psk, fleetKey, &envelope, &error)) {
    return reportFailure(error);
  }
  if (options.signKey.empty()) {
    return emit(options.outputPath, envelope, options.force);
  }
  SignatureTerms terms;
  std::string signatureFile;
  VerifiedSignature verified;
  if (!takeTerms(plan, &terms, &error) ||
      !signAndCheck(signerScalar, fleetKey, envelope, terms, &signatureFile, &verified, &error)) {
    return reportFailure(error);
  }
  const int status = writeSignedPair(options, envelope, signatureFile);
  return status != kExitOk ? status : emit({}, statementLine(verified), false);
}

// Opens as a device that checks signatures: verify, open, then save the replay state.
bool openSigned(const OpenOptions& options, const Bytes& scalar, std::string_view envelope,
                Network* network, std::string* error) {
  std::optional<std::string> signatureFile;
  TrustList trustList;
  if (!readSignatureFileOf(options.envelopePath, &signatureFile, error) ||
      !loadTrustKeys(options.trust, rawPublicKeyOf(scalar), &trustList, error)) {
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

int run(const OpenOptions& options) {
  const bool signedMode = !options.trust.empty();
  if (!signedMode && (!options.statePath.empty() || !options.policy.empty() || options.now)) {
    return reportFailure("--state, --policy and --now go with --trust", kExitUsage);
  }
  if (signedMode && options.envelopePath == "-") {
    return reportFailure("--envelope must name a file: the signature file lies beside it",
                         kExitUsage);
  }
  if (signedMode && options.statePath.empty()) {
    return reportFailure("--trust needs --state, the device's replay state file", kExitUsage);
  }
  Bytes scalar;
  SecretText envelope;
  Network network;
  std::string error;
  if (!loadPrivateScalar(options.privatePath, &scalar, &error) ||
      !readInput(options.envelopePath, kMaxEnvelopeSize, &envelope, &error)) {
    return reportFailure(error);
  }
  if (signedMode) {
    if (!openSigned(options, scalar, envelope, &network, &error)) {
      return reportFailure(error);
    }
  } else if (!openEnvelope(envelope, scalar, &network, &error)) {
    return reportFailure("cannot open the envelope: " + error);
  }
  SecretText line = R"({"ssid": ")";
  line += jsonEscape(network.ssid);
  line += R"(", "ssid_hex": ")";
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
