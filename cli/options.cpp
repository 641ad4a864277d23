#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <string>
#include <utility>

#include "base/exit_status.h"
#include "cli/diagnostics.h"
#include "cli/help_text.h"

namespace zezi {

bool parseCommandLine(int argc, const char* const* argv, CommandOptions* command, int* exitStatus) {
  CLI::App app("ZeZi Vidad: sealed WiFi credentials for a device fleet", "zezi-vidad");
  app.footer(kToolHelp);
  app.set_version_flag("--version", std::string("zezi-vidad ") + ZEZI_VIDAD_VERSION);
  app.require_subcommand(1);

  KeygenOptions keygen;
  CLI::App* keygenCommand = app.add_subcommand("keygen", "create a new fleet key pair");
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
  sealCommand->add_flag("--force", seal.force, "replace an existing envelope file");

  OpenOptions open;
  CLI::App* openCommand = app.add_subcommand("open", "open an envelope with the private key");
  openCommand->footer(kOpenHelp);
  openCommand->add_option("--private", open.privatePath, "private key file")->required();
  openCommand->add_option("--envelope", open.envelopePath, "envelope file or -")->required();
  openCommand->add_flag("--show-psk", open.showPsk, "include the PSK in the output");

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
        noCommand ? "expected a command: keygen, pubkey, seal, open or selftest" : e.what(),
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
  } else if (selftestCommand->parsed()) {
    *command = SelftestOptions{};
  } else {
    *exitStatus = reportFailure("no command given", kExitUsage);
    return false;
  }
  return true;
}

}  // namespace zezi
