// verify: an envelope's signature file checked as a device would.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/file_pair.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "cli/signing.h"
#include "cli/time_text.h"
#include "opener/open_envelope.h"
#include "opener/replay_store.h"

namespace zezi {
namespace {

constexpr const char* kVerifyHelp =
    "Checks the signature file beside an envelope as a device would, against the signer\n"
    "public keys (.pub) given with --trust (the current one first, then its successors), or\n"
    "the device's trust list file given with --trust-list, and the fleet's public key, and\n"
    "prints what was signed as one line of JSON: the signer's key id and index, the serial,\n"
    "and the issue and expiry times in RFC 3339. --state reads a device's replay state (it is\n"
    "never written); --now also checks the times against this machine's clock.\n\n"
    "Example:\n"
    "  zezi-vidad verify --trust signer.pub --fleet-key fleet.pub --envelope "
    "/media/usb/wifi.json\n";

struct VerifyOptions {
  std::vector<std::string> trust;
  std::string trustListPath;  // instead of --trust
  std::string fleetKey;
  std::string envelopePath;
  std::string statePath;  // empty: a fresh device
  bool now = false;
};

class Verify : public Command {
 public:
  explicit Verify(CLI::App* command) {
    command->footer(kVerifyHelp);
    addTrustOptions(command, &options_.trust, &options_.trustListPath);
    addFleetKeyOption(command, &options_.fleetKey);
    takes(command->add_option("--envelope", options_.envelopePath, "envelope file"), "FILE")
        ->required();
    takes(
        command->add_option("--state", options_.statePath, "a device's replay state file to read"),
        "FILE");
    once(command->add_flag("--now", options_.now, "trust this machine's clock"));
  }

  [[nodiscard]] int run() const override {
    if (options_.envelopePath == "-") {
      return reportFailure("--envelope must name a file: the signature file lies beside it",
                           kExitUsage);
    }
    Bytes fleetKey;
    TrustList trustList;
    SecretText envelope;
    std::optional<std::string> file;
    std::string error;
    if (options_.trust.empty() == options_.trustListPath.empty()) {
      return reportFailure("verify needs --trust or --trust-list", kExitUsage);
    }
    if (!loadFleetKey(options_.fleetKey, &fleetKey, &error) ||
        !loadDeviceTrust(options_.trust, options_.trustListPath, fleetKey, &trustList, &error) ||
        !readPairFile(options_.envelopePath, kMaxEnvelopeSize, &envelope, &error) ||
        !readSignatureFileOf(options_.envelopePath, &file, &error)) {
      return reportFailure(error);
    }
    ReplayState stored = freshReplayState(trustList);
    const bool readable =
        options_.statePath.empty() || loadReplayState(options_.statePath, trustList, &stored);
    SignatureInput input;
    input.envelope = envelope;
    input.signatureFile = file;
    input.state = readable ? &stored : nullptr;
    if (options_.now) {
      input.now = currentUnixTime();
    }
    VerifiedSignature verified;
    ReplayState next;
    if (!verifySignature(input, trustList, &verified, &next, &error)) {
      return reportFailure("cannot verify the envelope: " + error);
    }
    return emit({}, statementLine(verified.statement, verified.keyIndex), false);
  }

 private:
  VerifyOptions options_;
};

}  // namespace

const CommandEntry kVerifyCommand{"verify", "check an envelope's signature file",
                                  addCommand<Verify>};

}  // namespace zezi
