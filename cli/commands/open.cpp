// open: an envelope opened as a device does, with or without checking its signature.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/display_json.h"
#include "cli/file_pair.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "cli/signing.h"
#include "cli/time_text.h"
#include "cli/trust_options.h"
#include "encoding/hex.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "sealer/key_files.h"

namespace zezi {
namespace {

constexpr const char* kOpenHelp =
    "Opens an envelope as a device does and prints its network as one line of JSON:\n"
    "{\"ssid\": ..., \"ssid_hex\": ...}, and \"psk\" only with --show-psk. \"ssid\" is a JSON\n"
    "string when the SSID is UTF-8, with control, format and bidirectional characters\n"
    "escaped as \\uXXXX so that none reaches the terminal, and null otherwise; \"ssid_hex\"\n"
    "always holds its octets. \"-\" reads standard input. With --trust (signer public keys,\n"
    "the current one first) it opens as a device that checks signatures: the signature file\n"
    "beside the envelope is verified against the trust list and the replay state in --state\n"
    "first, and the state is saved only after the envelope has opened; the state is locked\n"
    "meanwhile (by STATE.lock beside it), so that two opens at once never both accept on it.\n"
    "A symlink at --state is followed; a state with a second hard link is refused. --policy\n"
    "transition lets an envelope without a signature file in until a signed one has been\n"
    "accepted. --trust-list reads the device's trust list file instead of --trust: its\n"
    "version, floors and signer keys as firmware holds them\n"
    "(/usr/share/doc/zezi-vidad/format.md 9.9). The fleet key may be held in a TPM: --private\n"
    "takes its wrapped key file (TSS2 PRIVATE KEY) or its persistent handle,\n"
    "handle:0x81000001 (/usr/share/doc/zezi-vidad/tpm.md).\n\n"
    "Example:\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json\n\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json --trust signer.pub \\\n"
    "      --state device.state\n";

struct OpenOptions {
  std::string privatePath;
  std::string envelopePath;
  bool showPsk = false;
  std::vector<std::string> trust;  // empty: the envelope alone, no signature checked
  std::string trustListPath;       // or the device's trust list file instead of --trust
  std::string statePath;
  std::string policy;  // "required" (when empty) or "transition"
  bool now = false;

  [[nodiscard]] bool checksSignature() const { return !trust.empty() || !trustListPath.empty(); }
};

// Opens as a device that checks signatures: verify, open, then save the replay state.
bool openSigned(const OpenOptions& options, const PrivateKey& key, std::string_view envelope,
                Network* network, std::string* error) {
  std::optional<std::string> signatureFile;
  TrustList trustList;
  if (!readSignatureFileOf(options.envelopePath, &signatureFile, error) ||
      !loadDeviceTrust(options.trust, options.trustListPath, key.rawPublicKey(), &trustList,
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
  if (!openSignedEnvelopeWith(key, input, trustList, network, &verified, &next, &why)) {
    return failWith(error, "cannot open the envelope: " + why);
  }
  // Saved before the network is shown; an unsigned envelope leaves no state.
  if (verified.isSigned && next != stored && !commitReplayState(options.statePath, next, &why)) {
    return failWith(error, "cannot save the replay state: " + why);
  }
  return true;
}

// The options that go together; false with a usage message when they do not.
bool optionsMatch(const OpenOptions& options, std::string* error) {
  const bool signedMode = options.checksSignature();
  if (!signedMode && (!options.statePath.empty() || !options.policy.empty() || options.now)) {
    return failWith(error, "--state, --policy and --now go with --trust or --trust-list");
  }
  if (signedMode && options.envelopePath == "-") {
    return failWith(error, "--envelope must name a file: the signature file lies beside it");
  }
  if (signedMode && options.statePath.empty()) {
    return failWith(error, "--trust and --trust-list need --state, the device's replay state file");
  }
  return true;
}

class Open : public Command {
 public:
  explicit Open(CLI::App* command) {
    command->footer(kOpenHelp);
    takes(command->add_option("--private", options_.privatePath,
                              "private key file, TPM-wrapped key file or handle:0x..."),
          "KEY")
        ->required();
    takes(command->add_option("--envelope", options_.envelopePath, "envelope file or -"), "FILE")
        ->required();
    once(command->add_flag("--show-psk", options_.showPsk, "include the PSK in the output"));
    addTrustOptions(command, &options_.trust, &options_.trustListPath);
    takes(command->add_option("--state", options_.statePath,
                              "the device's replay state file (with --trust or --trust-list)"),
          "FILE");
    takes(command->add_option("--policy", options_.policy,
                              "required (default) or transition (with --trust or --trust-list)"),
          "POLICY")
        ->check(checkedBy(checkPolicy));
    once(command->add_flag("--now", options_.now, "trust this machine's clock (with --trust)"));
  }

  [[nodiscard]] int run() const override {
    std::string error;
    if (!optionsMatch(options_, &error)) {
      return reportFailure(error, kExitUsage);
    }
    PrivateKey key;
    SecretText envelope;
    Network network;
    if (!loadPrivateKey(options_.privatePath, "--private", &key, &error) ||
        !readPairFile(options_.envelopePath, kMaxEnvelopeSize, &envelope, &error)) {
      return reportFailure(error);
    }
    if (options_.checksSignature()) {
      if (!openSigned(options_, key, envelope, &network, &error)) {
        return reportFailure(error);
      }
    } else if (!openEnvelopeWith(key, envelope, &network, &error)) {
      return reportFailure("cannot open the envelope: " + error);
    }
    return emit({}, networkLine(network), false);
  }

 private:
  // The network as one line of JSON, the PSK only when asked for.
  [[nodiscard]] SecretText networkLine(const Network& network) const {
    SecretText line = R"({"ssid": )";
    line += displaySafeJsonString(network.ssid);
    line += R"(, "ssid_hex": ")";
    line += hexEncode(textToBytes(network.ssid));
    if (options_.showPsk) {
      line += R"(", "psk": ")";
      line += network.psk;
    }
    line += "\"}\n";
    return line;
  }

  OpenOptions options_;
};

}  // namespace

const CommandEntry kOpenCommand{"open", "open an envelope with the private key", addCommand<Open>};

}  // namespace zezi
