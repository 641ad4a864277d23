#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/version.h"
#include "base/exit_status.h"
#include "cli/diagnostics.h"
#include "cli/help_text.h"
#include "cli/wpa_psk.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr std::array<std::string_view, 7> kCommands{"keygen", "pubkey", "seal",    "sign",
                                                    "verify", "open",   "selftest"};
constexpr std::array<std::string_view, 3> kFlags{"--force", "--show-psk", "--now"};
// Shorter values are no secret and too common to look for in a message.
constexpr std::size_t kShortestHiddenValue = 3;

bool isCommand(std::string_view word) {
  return std::find(kCommands.begin(), kCommands.end(), word) != kCommands.end();
}

// "--name" of "--name=value".
std::string_view optionName(std::string_view word) {
  return word.substr(0, word.find('='));
}

// Mistakes that CLI11 would report as something else, or with a value in the message.
std::optional<std::string> misplacedArgument(int argc, const char* const* argv) {
  const std::vector<std::string_view> words(argv + std::min(argc, 1), argv + argc);
  if (words.empty()) {
    return std::nullopt;
  }
  const std::string_view first = words.front();
  if (!isCommand(first) && first.starts_with('-') && first != "-h" && first != "--help" &&
      first != "--version") {
    const auto command = std::find_if(words.begin() + 1, words.end(), isCommand);
    if (command != words.end()) {
      return std::string(optionName(first)) + " goes after the command name, as in zezi-vidad " +
             std::string(*command) + " " + std::string(optionName(first));
    }
  }
  if (isCommand(first) && std::find(words.begin(), words.end(), "--version") != words.end()) {
    return "--version belongs to the tool, not to " + std::string(first) + ": zezi-vidad --version";
  }
  const auto flagWithValue = std::find_if(words.begin(), words.end(), [](std::string_view word) {
    return word.find('=') != std::string_view::npos &&
           std::find(kFlags.begin(), kFlags.end(), optionName(word)) != kFlags.end();
  });
  if (flagWithValue != words.end()) {
    return std::string(optionName(*flagWithValue)) + " takes no value";
  }
  return std::nullopt;
}

// True when `message` repeats a value given on the command line: anything but an option's
// name or a command.
bool repeatsValue(std::string_view message, int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word.starts_with('-')) {
      const std::size_t equals = word.find('=');
      word = equals == std::string_view::npos ? std::string_view{} : word.substr(equals + 1);
    } else if (isCommand(word)) {
      continue;
    }
    if (word.size() >= kShortestHiddenValue && message.find(word) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

// The one-line usage message for what CLI11 refused, naming options but never a value.
std::string usageMessage(const CLI::ParseError& e, const CLI::App& app, int argc,
                         const char* const* argv) {
  if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
    return "expected a command: keygen, pubkey, seal, sign, verify, open or selftest";
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    std::string options;
    for (const std::string& word : app.remaining(true)) {
      if (word.size() > 1 && word.starts_with('-')) {
        options += (options.empty() ? "" : ", ") + std::string(optionName(word));
      }
    }
    // A value of an unknown option, or a word with spaces split in two, may be a secret.
    return options.empty() ? "unexpected argument, not an option (not repeated here)"
                           : "unknown option: " + options;
  }
  const std::string message = e.what();
  return repeatsValue(message, argc, argv) ? "invalid value for an option (not repeated here)"
                                           : message;
}

// The checks of `seal` that CLI11 cannot make; the first that fails is a usage error.
std::optional<std::string> completeSeal(SealOptions* seal, const std::string& ssidHex,
                                        bool ssidGiven, bool ssidHexGiven) {
  if (!ssidGiven && !ssidHexGiven) {
    return "--ssid or --ssid-hex is required";
  }
  if (ssidHexGiven) {
    if (ssidHex.size() % 2 != 0 ||
        ssidHex.find_first_not_of(kHexDigitsEitherCase) != std::string::npos) {
      return "--ssid-hex must be hex digits, two for each octet";
    }
    const Bytes octets = hexDecode(ssidHex);
    seal->ssid.assign(octets.begin(), octets.end());
  }
  if (seal->ssid.empty()) {
    return "ssid is empty";
  }
  if (seal->ssid.size() > kMaxSsidLength) {
    return "ssid has " + std::to_string(seal->ssid.size()) + " octets, at most 32 are allowed";
  }
  // "-" stands for standard output here as it stands for standard input elsewhere.
  if (seal->outputPath == "-") {
    seal->outputPath.clear();
  }
  return std::nullopt;
}

void addSigningOptions(CLI::App* command, SigningOptions* signing) {
  CLI::Option* serialFile = command->add_option("--serial-file", signing->serialFile,
                                                "the signer's serial counter, advanced by one");
  command->add_flag("--init-serial", signing->initSerial,
                    "create the --serial-file counter, which must not exist yet");
  command->add_option("--serial", signing->serial, "the serial, from a counter of your own")
      ->excludes(serialFile);
  command->add_option("--valid-for", signing->validFor, "validity from now: 30d, 12h, 2w, ...");
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, CommandOptions* command, int* exitStatus) {
  if (const auto mistake = misplacedArgument(argc, argv)) {
    *exitStatus = reportFailure(*mistake, kExitUsage);
    return false;
  }
  CLI::App app("ZeZi Vidad: sealed WiFi credentials for a device fleet", "zezi-vidad");
  app.footer(kToolHelp);
  app.set_version_flag("--version", std::string("zezi-vidad ") + ZEZI_VIDAD_VERSION_STRING);
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
  std::string ssidHex;
  CLI::App* sealCommand = app.add_subcommand("seal", "seal a network for the fleet");
  sealCommand->footer(kSealHelp);
  sealCommand->add_option("--fleet-key", seal.fleetKey, "PEM file or 128 hex characters")
      ->required();
  CLI::Option* ssidOption =
      sealCommand->add_option("--ssid", seal.ssid, "network name, 1 to 32 octets");
  CLI::Option* ssidHexOption =
      sealCommand->add_option("--ssid-hex", ssidHex, "network name as hex, 1 to 32 octets")
          ->excludes(ssidOption);
  CLI::Option* pskOption =
      sealCommand->add_option("--psk-file", seal.pskFile, "file or - holding the PSK");
  CLI::Option* passphraseOption =
      sealCommand
          ->add_option("--passphrase-file", seal.passphraseFile, "file or - holding the passphrase")
          ->excludes(pskOption);
  CLI::Option* outputOption = sealCommand->add_option(
      "-o,--output", seal.outputPath, "envelope file to create, or - for standard output");
  sealCommand->add_flag("--force", seal.force, "replace existing envelope and signature files");
  CLI::Option* signKeyOption =
      sealCommand->add_option("--sign-key", seal.signKey, "signer's private key file: sign it too");
  addSigningOptions(sealCommand, &seal.signing);
  CLI::Option* batchOption =
      sealCommand->add_option("--batch", seal.batchPath, "CSV or JSON Lines file of networks")
          ->excludes(ssidOption)
          ->excludes(ssidHexOption)
          ->excludes(pskOption)
          ->excludes(passphraseOption)
          ->excludes(outputOption)
          ->excludes(signKeyOption);
  CLI::Option* outDirOption =
      sealCommand->add_option("--out-dir", seal.outDir, "folder for the batch's envelopes")
          ->needs(batchOption);
  batchOption->needs(outDirOption);
  sealCommand->add_option("--jobs", seal.jobs, "threads sealing the batch (default: one per core)")
      ->check(CLI::Range(1U, kMaxJobs))
      ->needs(batchOption);

  OpenOptions open;
  CLI::App* openCommand = app.add_subcommand("open", "open an envelope with the private key");
  openCommand->footer(kOpenHelp);
  openCommand->add_option("--private", open.privatePath, "private key file")->required();
  openCommand->add_option("--envelope", open.envelopePath, "envelope file or -")->required();
  openCommand->add_flag("--show-psk", open.showPsk, "include the PSK in the output");
  CLI::Option* openTrust = openCommand->add_option("--trust", open.trust,
                                                   "signer public key, current first (repeatable)");
  openCommand->add_option("--trust-list", open.trustListPath, "the device's trust list file")
      ->excludes(openTrust);
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
  CLI::Option* verifyTrust = verifyCommand->add_option(
      "--trust", verify.trust, "signer public key, current first (repeatable)");
  verifyCommand->add_option("--trust-list", verify.trustListPath, "the device's trust list file")
      ->excludes(verifyTrust);
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
    *exitStatus = e.get_exit_code() == 0
                      ? app.exit(e)
                      : reportFailure(usageMessage(e, app, argc, argv), kExitUsage);
    return false;
  }
  std::optional<std::string> mistake;
  if (keygenCommand->parsed()) {
    if (keygen.privatePath == "-" || keygen.publicPath == "-") {
      mistake = "keygen writes key files: - cannot stand for standard output";
    }
    *command = std::move(keygen);
  } else if (pubkeyCommand->parsed()) {
    *command = std::move(pubkey);
  } else if (sealCommand->parsed()) {
    // A batch names its networks in its file, and is not signed.
    if (batchOption->count() == 0) {
      mistake = completeSeal(&seal, ssidHex, ssidOption->count() > 0, ssidHexOption->count() > 0);
    } else if (seal.signing.any()) {
      mistake = "--batch excludes --serial-file, --serial and --valid-for";
    }
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
    mistake = "no command given";
  }
  if (mistake) {
    *exitStatus = reportFailure(*mistake, kExitUsage);
    return false;
  }
  return true;
}

}  // namespace zezi
