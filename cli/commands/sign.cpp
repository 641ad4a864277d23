// sign: the signature file of an envelope, made with a signer key.
#include <memory>
#include <string>

#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "cli/secret_input.h"
#include "cli/signing.h"
#include "opener/open_envelope.h"
#include "sealer/key_files.h"

namespace zezi {
namespace {

constexpr const char* kSignHelp =
    "Signs an envelope for the fleet, writing its signature file beside it (wifi.json.sig,\n"
    "mode 0644; replaced only with --force). The serial comes from --serial-file, the signer's\n"
    "counter, which is advanced and flushed to the disk before the signature is written and\n"
    "is locked meanwhile, so no serial is ever used twice; or from --serial for operators who\n"
    "keep their own counter. The counter must exist, except with --init-serial, which\n"
    "creates it (and refuses one that exists) for the signer's first signature. Every serial\n"
    "must be higher than the one before. --valid-for is how long from now the signature\n"
    "holds: a whole number of s, m, h, d or w, at most 3650d. The signature is checked\n"
    "before it is written. Prints what was signed as one line of JSON, times in RFC 3339.\n"
    "--key may name a key held in a TPM: its wrapped key file (TSS2 PRIVATE KEY, as keygen\n"
    "--tpm writes it) or its handle, handle:0x81000002; it signs there (docs/tpm.md).\n\n"
    "Example:\n"
    "  zezi-vidad sign --key signer.key --fleet-key fleet.pub --envelope /media/usb/wifi.json \\\n"
    "      --serial-file signer.serial --valid-for 30d\n";

struct SignOptions {
  std::string keyPath;
  std::string fleetKey;
  std::string envelopePath;
  SigningOptions signing;
  bool force = false;
};

class Sign : public Command {
 public:
  explicit Sign(CLI::App* command) {
    command->footer(kSignHelp);
    takes(command->add_option("--key", options_.keyPath,
                              "signer's private key file, TPM-wrapped key file or handle:0x..."),
          "KEY")
        ->required();
    addFleetKeyOption(command, &options_.fleetKey);
    takes(command->add_option("--envelope", options_.envelopePath, "envelope file"), "FILE")
        ->required();
    addSigningOptions(command, &options_.signing, "");
    once(command->add_flag("--force", options_.force, "replace an existing signature file"));
  }

  [[nodiscard]] int run() const override {
    SigningPlan plan;
    std::string error;
    if (options_.envelopePath == "-") {
      return reportFailure("--envelope must name a file: the signature file goes beside it",
                           kExitUsage);
    }
    if (!planSigning(options_.signing, &plan, &error)) {
      return reportFailure(error, kExitUsage);
    }
    const std::string signaturePath = signaturePathOf(options_.envelopePath);
    if (!checkWritableTarget(signaturePath, options_.force, &error) ||
        !checkSerialSource(plan, &error)) {
      return reportFailure(error);
    }
    PrivateKey signerKey;
    Bytes fleetKey;
    SecretText envelope;
    if (!loadPrivateKey(options_.keyPath, "--key", &signerKey, &error) ||
        !loadFleetKey(options_.fleetKey, &fleetKey, &error) ||
        !readInput(options_.envelopePath, kMaxEnvelopeSize, &envelope, &error)) {
      return reportFailure(error);
    }
    // Refused before a serial is taken, like every other fault of the inputs.
    if (signerKey.rawPublicKey() == fleetKey) {
      return reportFailure("signer key is the fleet key");
    }
    SignatureTerms terms;
    std::string file;
    VerifiedSignature verified;
    if (!takeTerms(plan, &terms, &error) ||
        !signAndCheck(signerKey, fleetKey, envelope, terms, &file, &verified, &error) ||
        !writeFileAtomically(signaturePath, file, kPublicMode, options_.force, &error)) {
      return reportFailure(error);
    }
    return emit({}, statementLine(verified), false);
  }

 private:
  SignOptions options_;
};

}  // namespace

const CommandEntry kSignCommand{"sign", "sign an envelope with a signer key", addCommand<Sign>};

}  // namespace zezi
