// seal: one network sealed for the fleet, signed too on request; or, with --batch, every
// network of a file (cli/commands/batch.h).
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/commands/batch.h"
#include "cli/diagnostics.h"
#include "cli/file_pair.h"
#include "cli/key_loading.h"
#include "cli/psk_source.h"
#include "cli/secret_input.h"
#include "cli/signing.h"
#include "cli/wpa_psk.h"
#include "encoding/hex.h"
#include "sealer/builder.h"
#include "sealer/key_files.h"

namespace zezi {
namespace {

constexpr const char* kSealHelp =
    "Seals one network for the fleet. --fleet-key is the fleet's public key: its PEM file\n"
    "(.pub; a private key is refused), the raw key as 128 hex characters, or a file holding\n"
    "that line. The SSID has 1 to 32 octets, given as text with --ssid or, for octets a\n"
    "command line cannot carry, in hex with --ssid-hex. The secret is never an argument:\n"
    "--psk-file holds 64 hex characters (upper case is accepted and written in lower case);\n"
    "--passphrase-file holds a WPA passphrase of 8 to 63 printable ASCII characters, from\n"
    "which the PSK is derived with the SSID as WPA2 does. \"-\" reads standard input, and one\n"
    "trailing line end is dropped. With neither option the passphrase or PSK is asked for\n"
    "twice on the terminal, without echo. The envelope goes to standard output (also with\n"
    "-o -), or with -o to a new file of mode 0644, replaced only with --force and never one of\n"
    "the inputs. With --sign-key it is signed too, as sign does, and the envelope and its\n"
    "signature file are written both or neither; --serial-file, --serial and --valid-for need\n"
    "--sign-key.\n\n";

constexpr const char* kSealExamples =
    "Example:\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json \\\n"
    "      --sign-key signer.key --serial-file signer.serial --init-serial --valid-for 30d\n\n"
    "  zezi-vidad seal --fleet-key fleet.pub --batch sites.csv --out-dir /media/usb/sites\n";

struct SealOptions {
  std::string fleetKey;
  std::string ssid;
  std::string ssidHex;
  SecretFiles secret;
  std::string outputPath;  // empty for standard output
  bool force = false;
  std::string signKey;  // empty: no signature file
  SigningOptions signing;
};

class Seal : public Command {
 public:
  explicit Seal(CLI::App* command);

  [[nodiscard]] bool complete(std::string* error) override {
    // Read while the parser, which owns the options, still lives; run() comes after it.
    batchGiven_ = batch_->given();
    return batchGiven_ ? batch_->complete(options_.signing.any(), error) : completeOne(error);
  }

  [[nodiscard]] int run() const override {
    return batchGiven_ ? batch_->run(options_.fleetKey, options_.force) : sealOne();
  }

 private:
  [[nodiscard]] bool completeOne(std::string* error);
  [[nodiscard]] bool planSealSigning(SigningPlan* plan, std::string* error) const;
  [[nodiscard]] bool outputClear(std::string* error) const;
  [[nodiscard]] int sealOne() const;
  [[nodiscard]] int writeSigned(const SigningPlan& plan, const PrivateKey& signerKey,
                                const Bytes& fleetKey, const std::string& envelope) const;

  SealOptions options_;
  CLI::Option* ssidOption_ = nullptr;
  CLI::Option* ssidHexOption_ = nullptr;
  std::unique_ptr<BatchPart> batch_;
  bool batchGiven_ = false;
};

Seal::Seal(CLI::App* command) {
  command->footer(std::string(kSealHelp) + kBatchHelp + kSealExamples);
  addFleetKeyOption(command, &options_.fleetKey);
  ssidOption_ =
      takes(command->add_option("--ssid", options_.ssid, "network name, 1 to 32 octets"), "SSID");
  ssidHexOption_ = takes(command->add_option("--ssid-hex", options_.ssidHex,
                                             "network name as hex, 1 to 32 octets"),
                         "HEX")
                       ->excludes(ssidOption_);
  CLI::Option* psk =
      takes(command->add_option("--psk-file", options_.secret.pskFile, "file or - holding the PSK"),
            "FILE");
  CLI::Option* passphrase =
      takes(command->add_option("--passphrase-file", options_.secret.passphraseFile,
                                "file or - holding the passphrase"),
            "FILE")
          ->excludes(psk);
  CLI::Option* output =
      takes(command->add_option("-o,--output", options_.outputPath,
                                "envelope file to create, or - for standard output"),
            "FILE");
  once(command->add_flag("--force", options_.force,
                         "replace existing envelope and signature files"));
  CLI::Option* signKey = takes(
      command->add_option("--sign-key", options_.signKey,
                          "signer's private key file, TPM-wrapped key file or handle: sign it too"),
      "KEY");
  addSigningOptions(command, &options_.signing, " (with --sign-key)");
  batch_ = std::make_unique<BatchPart>(
      command, std::initializer_list<CLI::Option*>{ssidOption_, ssidHexOption_, psk, passphrase,
                                                   output, signKey});
}

// The checks of one network that CLI11 cannot make; the first that fails is a usage error.
bool Seal::completeOne(std::string* error) {
  const bool ssidGiven = ssidOption_->count() > 0;
  const bool ssidHexGiven = ssidHexOption_->count() > 0;
  if (!ssidGiven && !ssidHexGiven) {
    return failWith(error, "--ssid or --ssid-hex is required");
  }
  if (ssidHexGiven) {
    const std::string& hex = options_.ssidHex;
    if (hex.size() % 2 != 0 || hex.find_first_not_of(kHexDigitsEitherCase) != std::string::npos) {
      return failWith(error, "--ssid-hex must be hex digits, two for each octet");
    }
    const Bytes octets = hexDecode(hex);
    options_.ssid.assign(octets.begin(), octets.end());
  }
  if (options_.ssid.empty()) {
    return failWith(error, "SSID is empty");
  }
  if (options_.ssid.size() > kMaxSsidLength) {
    return failWith(error, "SSID has " + std::to_string(options_.ssid.size()) +
                               " octets, at most 32 are allowed");
  }
  // "-" stands for standard output here as it stands for standard input elsewhere.
  if (options_.outputPath == "-") {
    options_.outputPath.clear();
  }
  return true;
}

// The signing options, checked together; false with the message of a usage error.
bool Seal::planSealSigning(SigningPlan* plan, std::string* error) const {
  if (options_.signKey.empty() && options_.signing.any()) {
    return failWith(error, "--serial-file, --serial and --valid-for go with --sign-key");
  }
  if (!options_.signKey.empty() && options_.outputPath.empty()) {
    return failWith(error, "--sign-key needs -o: the signature file goes beside the envelope");
  }
  return options_.signKey.empty() || planSigning(options_.signing, plan, error);
}

// False, with a usage message, when -o names one of the inputs too.
bool Seal::outputClear(std::string* error) const {
  const std::pair<const char*, const std::string&> inputs[] = {
      {"--fleet-key", options_.fleetKey},
      {"--psk-file", options_.secret.pskFile},
      {"--passphrase-file", options_.secret.passphraseFile},
      {"--sign-key", options_.signKey}};
  for (const auto& [option, input] : inputs) {
    if (!input.empty() && input != "-" && sameFile(options_.outputPath, input)) {
      return failWith(error, std::string("-o names the same file as ") + option);
    }
  }
  return true;
}

int Seal::sealOne() const {
  SigningPlan plan;
  std::string error;
  if (!planSealSigning(&plan, &error)) {
    return reportFailure(error, kExitUsage);
  }
  const SecretFiles& secret = options_.secret;
  if (secret.pskFile.empty() && secret.passphraseFile.empty() && !haveTerminal()) {
    return reportFailure(
        "no terminal to ask for the passphrase: use --psk-file or --passphrase-file", kExitUsage);
  }
  if ((secret.pskFile == "-" || secret.passphraseFile == "-") && isatty(STDIN_FILENO) == 1) {
    // Typed there, the secret would be echoed.
    return reportFailure(
        "standard input is a terminal: leave out the file option to be asked without echo",
        kExitUsage);
  }
  const bool signs = !options_.signKey.empty();
  if (!options_.outputPath.empty()) {
    if (!outputClear(&error)) {
      return reportFailure(error, kExitUsage);
    }
    // Before the secret is asked for, not after.
    if (!checkWritableTarget(options_.outputPath, options_.force, &error) ||
        (signs &&
         (!checkWritableTarget(signaturePathOf(options_.outputPath), options_.force, &error) ||
          !checkSerialSource(plan, &error)))) {
      return reportFailure(error);
    }
  }
  Bytes fleetKey;
  PrivateKey signerKey;
  SecretText psk;
  std::string envelope;
  if (!loadFleetKey(options_.fleetKey, &fleetKey, &error) ||
      (signs && !loadPrivateKey(options_.signKey, "--sign-key", &signerKey, &error))) {
    return reportFailure(error);
  }
  if (signs && signerKey.rawPublicKey() == fleetKey) {
    return reportFailure("signer key is the fleet key");
  }
  if (!obtainPsk(secret, options_.ssid, &psk, &error) ||
      !buildEnvelope(options_.ssid, psk, fleetKey, &envelope, &error)) {
    return reportFailure(error);
  }
  return signs ? writeSigned(plan, signerKey, fleetKey, envelope)
               : emit(options_.outputPath, envelope, options_.force);
}

// Signs the envelope and writes it with its signature file, both or neither.
int Seal::writeSigned(const SigningPlan& plan, const PrivateKey& signerKey, const Bytes& fleetKey,
                      const std::string& envelope) const {
  SignatureTerms terms;
  std::string signatureFile;
  VerifiedSignature verified;
  std::string error;
  if (!takeTerms(plan, &terms, &error) ||
      !signAndCheck(signerKey, fleetKey, envelope, terms, &signatureFile, &verified, &error) ||
      !writeFilePair({options_.outputPath, envelope, kPublicMode},
                     {signaturePathOf(options_.outputPath), signatureFile, kPublicMode},
                     options_.force, &error)) {
    return reportFailure(error);
  }
  return emit({}, statementLine(verified.statement, std::nullopt), false);
}

}  // namespace

const CommandEntry kSealCommand{"seal", "seal a network for the fleet", addCommand<Seal>};

}  // namespace zezi
