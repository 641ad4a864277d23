#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <memory>
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
constexpr std::array<std::string_view, 5> kFlags{"--force", "--show-psk", "--now", "--resume",
                                                 "--list"};
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

// The option an option-level message of CLI11 starts with ("--name: ..."), or empty.
std::string_view leadingOption(std::string_view message) {
  if (!message.starts_with('-')) {
    return {};
  }
  return message.substr(0, message.find_first_of(": "));
}

// The option of the command given more than once that may be given once only, or null.
const CLI::Option* repeatedOption(const CLI::App& app) {
  for (const CLI::App* command : app.get_subcommands()) {
    const std::vector<const CLI::Option*> options = command->get_options();
    const auto repeated = std::find_if(options.begin(), options.end(), [](const CLI::Option* o) {
      return o->count() > 1 && o->get_expected_max() <= 1;
    });
    if (repeated != options.end()) {
      return *repeated;
    }
  }
  return nullptr;
}

// The one-line usage message for what CLI11 refused, naming options but never a value, in
// the tool's words rather than CLI11's.
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
  const std::string option(leadingOption(message));
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    if (const CLI::Option* repeated = repeatedOption(app)) {
      return repeated->get_name() + " is given more than once";
    }
    if (!option.empty()) {
      return option + " needs a value";
    }
  }
  // The validators' own texts start with "must" and never hold the value.
  if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr && !option.empty() &&
      message.starts_with(option + ": must ")) {
    return option + message.substr(option.size() + 1);
  }
  if (dynamic_cast<const CLI::ConversionError*>(&e) != nullptr && !option.empty()) {
    return "invalid value for " + option + " (not repeated here)";
  }
  return repeatsValue(message, argc, argv) ? "invalid value for an option (not repeated here)"
                                           : message;
}

// Help that reads like the rest of the tool: "--name WHAT", "(required)" after options that
// must be given, and no CLI11 wording; what needs or excludes what is in the texts.
class ToolFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    std::string text;
    if (option->get_type_size() != 0) {
      text += " " + option->get_type_name();
    }
    if (option->get_required()) {
      text += " (required)";
    }
    return text;
  }
};

// Names what an option takes in the help, in place of CLI11's type names.
CLI::Option* takes(CLI::Option* option, const char* what) {
  return option->type_name(what);
}

// A flag refused when given twice, as every option of the tool but --trust is.
CLI::Option* once(CLI::Option* flag) {
  return flag->multi_option_policy(CLI::MultiOptionPolicy::Throw);
}

// --jobs: a whole number of threads, checked as typed so that no value is repeated.
std::string checkJobs(const std::string& text) {
  const bool digits = !text.empty() && text.size() <= 3 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const unsigned long jobs = digits ? std::stoul(text) : 0;
  return jobs >= 1 && jobs <= kMaxJobs
             ? std::string()
             : "must be a whole number from 1 to " + std::to_string(kMaxJobs);
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
    return "SSID is empty";
  }
  if (seal->ssid.size() > kMaxSsidLength) {
    return "SSID has " + std::to_string(seal->ssid.size()) + " octets, at most 32 are allowed";
  }
  // "-" stands for standard output here as it stands for standard input elsewhere.
  if (seal->outputPath == "-") {
    seal->outputPath.clear();
  }
  return std::nullopt;
}

// `note` follows each description: what the options need in this command.
void addSigningOptions(CLI::App* command, SigningOptions* signing, const std::string& note) {
  CLI::Option* serialFile =
      takes(command->add_option("--serial-file", signing->serialFile,
                                "the signer's serial counter, advanced by one" + note),
            "FILE");
  once(command->add_flag("--init-serial", signing->initSerial,
                         "create the --serial-file counter, which must not exist yet" + note));
  takes(command->add_option("--serial", signing->serial,
                            "the serial, from a counter of your own" + note),
        "N")
      ->excludes(serialFile);
  takes(command->add_option("--valid-for", signing->validFor,
                            "validity from now: 30d, 12h, 2w, ..." + note),
        "TIME");
}

}  // namespace

bool parseCommandLine(int argc, const char* const* argv, CommandOptions* command, int* exitStatus) {
  if (const auto mistake = misplacedArgument(argc, argv)) {
    *exitStatus = reportFailure(*mistake, kExitUsage);
    return false;
  }
  CLI::App app("ZeZi Vidad: sealed WiFi credentials for a device fleet", "zezi-vidad");
  // Before the commands are added: each takes both from the tool.
  app.formatter(std::make_shared<ToolFormatter>());
  app.set_help_flag("-h,--help", "show this help and exit");
  app.footer(kToolHelp);
  app.set_version_flag("--version", std::string("zezi-vidad ") + ZEZI_VIDAD_VERSION_STRING,
                       "show the version and exit");
  app.require_subcommand(1);

  KeygenOptions keygen;
  CLI::App* keygenCommand = app.add_subcommand("keygen", "create a new fleet or signer key pair");
  keygenCommand->footer(kKeygenHelp);
  takes(keygenCommand->add_option("--private", keygen.privatePath, "private key file to create"),
        "FILE")
      ->required();
  takes(keygenCommand->add_option("--public", keygen.publicPath, "public key file to create"),
        "FILE")
      ->required();
  once(keygenCommand->add_flag("--force", keygen.force, "replace existing files"));

  PubkeyOptions pubkey;
  CLI::App* pubkeyCommand = app.add_subcommand("pubkey", "print the public key of a private key");
  pubkeyCommand->footer(kPubkeyHelp);
  takes(pubkeyCommand->add_option("--private", pubkey.privatePath, "private key file"), "FILE")
      ->required();

  SealOptions seal;
  std::string ssidHex;
  std::string jobs;
  CLI::App* sealCommand = app.add_subcommand("seal", "seal a network for the fleet");
  sealCommand->footer(kSealHelp);
  takes(sealCommand->add_option("--fleet-key", seal.fleetKey,
                                "public key file (.pub) or 128 hex characters"),
        "KEY")
      ->required();
  CLI::Option* ssidOption =
      takes(sealCommand->add_option("--ssid", seal.ssid, "network name, 1 to 32 octets"), "SSID");
  CLI::Option* ssidHexOption =
      takes(sealCommand->add_option("--ssid-hex", ssidHex, "network name as hex, 1 to 32 octets"),
            "HEX")
          ->excludes(ssidOption);
  CLI::Option* pskOption = takes(
      sealCommand->add_option("--psk-file", seal.pskFile, "file or - holding the PSK"), "FILE");
  CLI::Option* passphraseOption =
      takes(sealCommand->add_option("--passphrase-file", seal.passphraseFile,
                                    "file or - holding the passphrase"),
            "FILE")
          ->excludes(pskOption);
  CLI::Option* outputOption =
      takes(sealCommand->add_option("-o,--output", seal.outputPath,
                                    "envelope file to create, or - for standard output"),
            "FILE");
  once(sealCommand->add_flag("--force", seal.force,
                             "replace existing envelope and signature files"));
  CLI::Option* signKeyOption = takes(
      sealCommand->add_option("--sign-key", seal.signKey, "signer's private key file: sign it too"),
      "FILE");
  addSigningOptions(sealCommand, &seal.signing, " (with --sign-key)");
  CLI::Option* batchOption = takes(sealCommand->add_option("--batch", seal.batchPath,
                                                           "CSV or JSON Lines file of networks"),
                                   "FILE")
                                 ->excludes(ssidOption)
                                 ->excludes(ssidHexOption)
                                 ->excludes(pskOption)
                                 ->excludes(passphraseOption)
                                 ->excludes(outputOption)
                                 ->excludes(signKeyOption);
  CLI::Option* outDirOption =
      takes(sealCommand->add_option("--out-dir", seal.outDir,
                                    "folder for the batch's envelopes (with --batch)"),
            "FOLDER")
          ->needs(batchOption);
  batchOption->needs(outDirOption);
  takes(sealCommand->add_option("--jobs", jobs,
                                "threads sealing the batch, 1 to 256 (default: one per core)"),
        "N")
      ->check(CLI::Validator(checkJobs, ""))
      ->needs(batchOption);
  once(sealCommand->add_flag("--resume", seal.resume,
                             "keep the batch's whole envelopes, seal the others (with --batch)"))
      ->needs(batchOption);
  once(sealCommand->add_flag("--list", seal.list,
                             "print each row's line and envelope file (with --batch)"))
      ->needs(batchOption);

  OpenOptions open;
  CLI::App* openCommand = app.add_subcommand("open", "open an envelope with the private key");
  openCommand->footer(kOpenHelp);
  takes(openCommand->add_option("--private", open.privatePath, "private key file"), "FILE")
      ->required();
  takes(openCommand->add_option("--envelope", open.envelopePath, "envelope file or -"), "FILE")
      ->required();
  once(openCommand->add_flag("--show-psk", open.showPsk, "include the PSK in the output"));
  CLI::Option* openTrust =
      takes(openCommand->add_option("--trust", open.trust,
                                    "signer public key (.pub), current first (repeatable)"),
            "FILE");
  takes(openCommand->add_option("--trust-list", open.trustListPath, "the device's trust list file"),
        "FILE")
      ->excludes(openTrust);
  takes(openCommand->add_option("--state", open.statePath,
                                "the device's replay state file (with --trust or --trust-list)"),
        "FILE");
  takes(openCommand->add_option("--policy", open.policy,
                                "required (default) or transition (with --trust or --trust-list)"),
        "POLICY")
      ->check(CLI::Validator(
          [](const std::string& policy) {
            return policy == "required" || policy == "transition"
                       ? std::string()
                       : std::string("must be required or transition");
          },
          ""));
  once(openCommand->add_flag("--now", open.now, "trust this machine's clock (with --trust)"));

  SignOptions sign;
  CLI::App* signCommand = app.add_subcommand("sign", "sign an envelope with a signer key");
  signCommand->footer(kSignHelp);
  takes(signCommand->add_option("--key", sign.keyPath, "signer's private key file"), "FILE")
      ->required();
  takes(signCommand->add_option("--fleet-key", sign.fleetKey,
                                "public key file (.pub) or 128 hex characters"),
        "KEY")
      ->required();
  takes(signCommand->add_option("--envelope", sign.envelopePath, "envelope file"), "FILE")
      ->required();
  addSigningOptions(signCommand, &sign.signing, "");
  once(signCommand->add_flag("--force", sign.force, "replace an existing signature file"));

  VerifyOptions verify;
  CLI::App* verifyCommand = app.add_subcommand("verify", "check an envelope's signature file");
  verifyCommand->footer(kVerifyHelp);
  CLI::Option* verifyTrust =
      takes(verifyCommand->add_option("--trust", verify.trust,
                                      "signer public key (.pub), current first (repeatable)"),
            "FILE");
  takes(verifyCommand->add_option("--trust-list", verify.trustListPath,
                                  "the device's trust list file"),
        "FILE")
      ->excludes(verifyTrust);
  takes(verifyCommand->add_option("--fleet-key", verify.fleetKey,
                                  "public key file (.pub) or 128 hex characters"),
        "KEY")
      ->required();
  takes(verifyCommand->add_option("--envelope", verify.envelopePath, "envelope file"), "FILE")
      ->required();
  takes(verifyCommand->add_option("--state", verify.statePath,
                                  "a device's replay state file to read"),
        "FILE");
  once(verifyCommand->add_flag("--now", verify.now, "trust this machine's clock"));

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
    if (!jobs.empty()) {
      seal.jobs = static_cast<unsigned>(std::stoul(jobs));  // checked by checkJobs
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
