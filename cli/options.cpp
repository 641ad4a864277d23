#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <string>
#include <utility>

#include "base/exit_status.h"
#include "cli/diagnostics.h"
#include "cli/help_text.h"

namespace zezi {
namespace {

void addSigningOptions(CLI::App* command, SigningOptions* signing) {
  CLI::Option* serialFile = command->add_option("--serial-file", signing->serialFile,
                                                "the signer's serial counter, advanced by one");
  command->add_option("--serial", signing->serial, "the serial, from a counter of your own")
      ->excludes(serialFile);
  command->add_option("--valid-for", signing->validFor, "validity from now: 30d, 12h, 2w, ...");
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, CommandOptions* command, int* exitStatus) {
  CLI::App app("ZeZi Vidad: sealed WiFi credentials for a device fleet", "zezi-vidad");
  app.footer(kToolHelp);
  app.set_version_flag("--version", std::string("zezi-vidad ") + ZEZI_VIDAD_VERSION);
  app.require_subcommand(1);

  KeygenOptions keygen;
  CLI::App* keygenCommand = app.add_subcommand("keygen", "create a new fleet or signer key pair");
  keygenCommand->footer(kKeygenHelp);
  keygenCommand->add_option("--private", keygen.privatePath, "private key file to create")
      ->required();
  keygenCommand->add_option("--public", keygen.publicPath, "public key file to create")->required();
  keygenCommand->add_flag("--force", keygen.force, "replace existing files");

  PubkeyOptions pubkey;
  CLI::App* pubkeyCommand = app.add_subcommand("pubkey", "print the public key of a private key");
  pubkeyCommand->footer(kPubkeyHelp);
  pubkeyCommand->add_option("--private", pubkey.privatePath, "private key file")->required();

  SealOptions seal;
  CLI::App* sealCommand = app.add_subcommand("seal", "seal a network for the fleet");
  sealCommand->footer(kSealHelp);
  sealCommand->add_option("--fleet-key", seal.fleetKey, "PEM file or 128 hex characters")
      ->required();
  sealCommand->add_option("--ssid", seal.ssid, "network name, 1 to 32 octets")->required();
  CLI::Option* pskOption =
      sealCommand->add_option("--psk-file", seal.pskFile, "file or - holding the PSK");
  sealCommand
      ->add_option("--passphrase-file", seal.passphraseFile, "file or - holding the passphrase")
      ->excludes(pskOption);
  sealCommand->add_option("-o,--output", seal.outputPath, "envelope file to create");
  sealCommand->add_flag("--force", seal.force, "replace existing envelope and signature files");
  sealCommand->add_option("--sign-key", seal.signKey, "signer's private key file: sign it too");
  addSigningOptions(sealCommand, &seal.signing);

  OpenOptions open;
  CLI::App* openCommand = app.add_subcommand("open", "open an envelope with the private key");
  openCommand->footer(kOpenHelp);
  openCommand->add_option("--private", open.privatePath, "private key file")->required();
  openCommand->add_option("--envelope", open.envelopePath, "envelope file or -")->required();
  openCommand->add_flag("--show-psk", open.showPsk, "include the PSK in the output");
  openCommand->add_option("--trust", open.trust, "signer public key, current first (repeatable)");
  openCommand->add_option("--state", open.statePath, "the device's replay state file");
  openCommand->add_option("--policy", open.policy, "required (default) or transition")
      ->check(CLI::Validator(
          [](const std::string& policy) {
            return policy == "required" || policy == "transition"
                       ? std::string()
                       : std::string("must be required or transition");
          },
          "POLICY"));
  openCommand->add_flag("--now", open.now, "trust this machine's clock");

  SignOptions sign;
  CLI::App* signCommand = app.add_subcommand("sign", "sign an envelope with a signer key");
  signCommand->footer(kSignHelp);
  signCommand->add_option("--key", sign.keyPath, "signer's private key file")->required();
  signCommand->add_option("--fleet-key", sign.fleetKey, "PEM file or 128 hex characters")
      ->required();
  signCommand->add_option("--envelope", sign.envelopePath, "envelope file")->required();
  addSigningOptions(signCommand, &sign.signing);
  signCommand->add_flag("--force", sign.force, "replace an existing signature file");

  VerifyOptions verify;
  CLI::App* verifyCommand = app.add_subcommand("verify", "check an envelope's signature file");
  verifyCommand->footer(kVerifyHelp);
  verifyCommand
      ->add_option("--trust", verify.trust, "signer public key, current first (repeatable)")
      ->required();
  verifyCommand->add_option("--fleet-key", verify.fleetKey, "PEM file or 128 hex characters")
      ->required();
  verifyCommand->add_option("--envelope", verify.envelopePath, "envelope file")->required();
  verifyCommand->add_option("--state", verify.statePath, "a device's replay state file to read");
  verifyCommand->add_flag("--now", verify.now, "trust this machine's clock");

  CLI::App* selftestCommand = app.add_subcommand("selftest", "run the known-answer self-test");
  selftestCommand->footer(kSelftestHelp);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version exit with 0 through CLI11's own printing; errors become one line.
    if (e.get_exit_code() == 0) {
      *exitStatus = app.exit(e);
      return false;
    }
    const bool noCommand =
        app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr;
    *exitStatus = reportFailure(
        noCommand ? "expected a command: keygen, pubkey, seal, sign, verify, open or selftest"
                  : e.what(),
        kExitUsage);
    return false;
  }
  if (keygenCommand->parsed()) {
    *command = std::move(keygen);
  } else if (pubkeyCommand->parsed()) {
    *command = std::move(pubkey);
  } else if (sealCommand->parsed()) {
    *command = std::move(seal);
  } else if (openCommand->parsed()) {
    *command = std::move(open);
  } else if (signCommand->parsed()) {
    *command = std::move(sign);
  } else if (verifyCommand->parsed()) {
    *command = std::move(verify);
  } else if (selftestCommand->parsed()) {
    *command = SelftestOptions{};
  } else {
    *exitStatus = reportFailure("no command given", kExitUsage);
    return false;
  }
  return true;
}

}  // namespace zezi
