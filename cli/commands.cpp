#include "cli/commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/secret_input.h"
#include "cli/wpa_psk.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "envelope/builder.h"
#include "envelope/key_files.h"
#include "envelope/p256_keys.h"
#include "opener/open_envelope.h"
#include "selftest/checks.h"
#include "selftest/report.h"

namespace zezi {
namespace {

constexpr std::size_t kMaxKeyFileSize = std::size_t{64} * 1024;
constexpr std::size_t kMaxSecretFileSize = 4096;
constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kPublicMode = 0644;

constexpr const char* kToolHelp =
    "Seals WiFi credentials for a fleet of devices holding one P-256 private key.\n"
    "Exit status: 0 on success, 1 on a failure, 2 on a usage error.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n";

constexpr const char* kKeygenHelp =
    "Creates a new P-256 fleet key pair: the private key as unencrypted PKCS#8 PEM (mode\n"
    "0600), the public key as SubjectPublicKeyInfo PEM (mode 0644). Prints the raw public key\n"
    "(X || Y) as 128 hex characters. Existing files are kept unless --force is given.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n";

constexpr const char* kPubkeyHelp =
    "Prints the raw public key (128 hex characters) and then its SubjectPublicKeyInfo PEM for\n"
    "an unencrypted P-256 private key in PKCS#8 or SEC1 (EC PRIVATE KEY) PEM.\n\n"
    "Example:\n"
    "  zezi-vidad pubkey --private fleet.key\n";

constexpr const char* kSealHelp =
    "Seals one network for the fleet. --fleet-key is a PEM file (public or private key) or\n"
    "the raw public key as 128 hex characters. The secret is never an argument: --psk-file\n"
    "holds 64 hex characters (upper case is accepted and written in lower case);\n"
    "--passphrase-file holds a WPA passphrase of 8 to 63 printable ASCII characters, from\n"
    "which the PSK is derived with the SSID as WPA2 does. \"-\" reads standard input, and one\n"
    "trailing line end is dropped. With neither option the passphrase or PSK is asked for\n"
    "twice on the terminal, without echo. The SSID has 1 to 32 octets. The envelope goes to\n"
    "standard output, or with -o to a new file of mode 0644 (replaced only with --force).\n\n"
    "Example:\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n";

constexpr const char* kOpenHelp =
    "Opens an envelope as a device does and prints its network as one line of JSON:\n"
    "{\"ssid\": ..., \"ssid_hex\": ...}, and \"psk\" only with --show-psk. The SSID is a JSON\n"
    "string with control characters escaped and all other octets copied unchanged, so an SSID\n"
    "that is not UTF-8 is shown exactly only by \"ssid_hex\". \"-\" reads standard input.\n\n"
    "Example:\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json\n";

constexpr const char* kSelftestHelp =
    "Runs the known-answer self-test and prints one PASS or FAIL line, exiting with 0 on PASS\n"
    "and 1 on FAIL.\n\n"
    "Example:\n"
    "  zezi-vidad selftest\n";

struct Options {
  std::string privatePath;
  std::string publicPath;
  std::string fleetKey;
  std::string ssid;
  std::string pskFile;
  std::string passphraseFile;
  std::string outputPath;
  std::string envelopePath;
  bool force = false;
  bool showPsk = false;
};

// `message` as one line starting in lower case (unless with an acronym) without a full stop.
std::string oneLine(std::string_view message) {
  std::string line(message);
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  while (!line.empty() && (line.back() == '.' || line.back() == ' ')) {
    line.pop_back();
  }
  if (line.size() > 1 && std::isupper(static_cast<unsigned char>(line[1])) == 0) {
    line[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
  }
  return line;
}

int fail(std::string_view message, int status = kExitFailure) {
  // Nothing is left to report a failing standard error on.
  static_cast<void>(std::fprintf(stderr, "zezi-vidad: %s\n", oneLine(message).c_str()));
  return status;
}

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
      return fail("cannot write standard output");
    }
    return kExitOk;
  }
  std::string error;
  return writeFileAtomically(path, text, kPublicMode, force, &error) ? kExitOk : fail(error);
}

// Key files never come from standard input, so "-" names a file.
bool readKeyFile(const std::string& path, SecretText* pem, std::string* error) {
  return readInput(path == "-" ? "./-" : path, kMaxKeyFileSize, pem, error);
}

bool loadPrivateScalar(const std::string& path, Bytes* scalar, std::string* error) {
  SecretText pem;
  std::string why;
  if (!readKeyFile(path, &pem, error)) {
    return false;
  }
  return privateScalarFromPem(pem, scalar, &why) || failWith(error, path + ": " + why);
}

Bytes rawPublicKeyOf(const Bytes& scalar) {
  const PkeyPtr key = loadPrivateKey(scalar);
  return key ? encodedPublicKey(key.get()) : Bytes{};
}

// 128 hex digits are the raw key; anything else names a PEM file.
bool loadFleetKey(const std::string& text, Bytes* raw, std::string* error) {
  std::string why;
  const bool allHex =
      !text.empty() && text.find_first_not_of(kHexDigitsEitherCase) == std::string::npos;
  if (allHex && text.size() == 2 * kRawPublicKeySize) {
    return rawPublicKeyFromHex(text, raw, &why) || failWith(error, "fleet key: " + why);
  }
  SecretText pem;
  if (!readKeyFile(text, &pem, error)) {
    // Most likely a mistyped raw key rather than a missing file.
    return allHex ? failWith(error, "fleet key: raw key must be 128 hex characters, not " +
                                        std::to_string(text.size()))
                  : false;
  }
  return rawPublicKeyFromPem(pem, raw, &why) || failWith(error, text + ": " + why);
}

enum class SecretKind { kPsk, kPassphrase, kEither };

// The lowercase PSK from a secret given as a PSK, a passphrase, or either.
bool pskFromSecret(std::string_view secret, SecretKind kind, std::string_view ssid, SecretText* psk,
                   std::string* error) {
  if (kind != SecretKind::kPassphrase) {
    *psk = normalisedPsk(secret);
    if (!psk->empty()) {
      return true;
    }
    if (kind == SecretKind::kPsk) {
      return failWith(error, "psk must be 64 hex characters");
    }
  }
  if (!isValidPassphrase(secret)) {
    return failWith(error, kind == SecretKind::kEither
                               ? "expected a passphrase of 8 to 63 printable ascii characters "
                                 "or a psk of 64 hex characters"
                               : "passphrase must be 8 to 63 printable ascii characters");
  }
  *psk = wpaPskFromPassphrase(secret, ssid);
  return !psk->empty() || failWith(error, "cannot derive the psk from the passphrase");
}

bool obtainPsk(const Options& options, SecretText* psk, std::string* error) {
  SecretText secret;
  if (options.pskFile.empty() && options.passphraseFile.empty()) {
    SecretText again;
    if (!promptSecret("WiFi passphrase (or 64-hex-character PSK): ", &secret, error) ||
        !promptSecret("Again: ", &again, error)) {
      return false;
    }
    if (secret != again) {
      return failWith(error, "the two entries differ");
    }
    return pskFromSecret(secret, SecretKind::kEither, options.ssid, psk, error);
  }
  const bool isPsk = !options.pskFile.empty();
  if (!readInput(isPsk ? options.pskFile : options.passphraseFile, kMaxSecretFileSize, &secret,
                 error)) {
    return false;
  }
  stripLineEnd(&secret);
  return pskFromSecret(secret, isPsk ? SecretKind::kPsk : SecretKind::kPassphrase, options.ssid,
                       psk, error);
}

int runKeygen(const Options& options) {
  if (fullPath(options.privatePath) == fullPath(options.publicPath)) {
    return fail("--private and --public name the same file", kExitUsage);
  }
  const std::array<std::string, 2> paths{options.privatePath, options.publicPath};
  const auto* const taken = std::find_if(paths.begin(), paths.end(), exists);
  if (!options.force && taken != paths.end()) {
    return fail(existsMessage(*taken));
  }
  Bytes scalar;
  Bytes raw;
  SecretText privatePem;
  if (!generateEphemeralKey(&scalar, &raw) || !privateKeyPem(scalar, &privatePem)) {
    return fail("cannot generate the key pair");
  }
  const std::string publicPem = publicKeyPem(raw);
  if (publicPem.empty()) {
    return fail("cannot encode the public key");
  }
  StagedFile privateFile;
  StagedFile publicFile;
  std::string error;
  if (!privateFile.stage(options.privatePath, privatePem, kPrivateMode, &error) ||
      !publicFile.stage(options.publicPath, publicPem, kPublicMode, &error) ||
      !privateFile.commit(options.force, &error)) {
    return fail(error);
  }
  if (!publicFile.commit(options.force, &error)) {
    // Keeps the pair together: a private key whose public half was refused is taken back.
    if (!options.force) {
      unlink(options.privatePath.c_str());
    }
    return fail(error);
  }
  return emit({}, hexEncode(raw) + "\n", false);
}

int runPubkey(const Options& options) {
  Bytes scalar;
  std::string error;
  if (!loadPrivateScalar(options.privatePath, &scalar, &error)) {
    return fail(error);
  }
  const Bytes raw = rawPublicKeyOf(scalar);
  const std::string pem = publicKeyPem(raw);
  if (pem.empty()) {
    return fail("cannot encode the public key");
  }
  return emit({}, hexEncode(raw) + "\n" + pem, false);
}

int runSeal(const Options& options) {
  if (options.ssid.empty()) {
    return fail("ssid is empty");
  }
  if (options.ssid.size() > kMaxSsidLength) {
    return fail("ssid has " + std::to_string(options.ssid.size()) +
                " octets, at most 32 are allowed");
  }
  if (options.pskFile.empty() && options.passphraseFile.empty() && !haveTerminal()) {
    return fail("no terminal to ask for the passphrase: use --psk-file or --passphrase-file",
                kExitUsage);
  }
  if ((options.pskFile == "-" || options.passphraseFile == "-") && isatty(STDIN_FILENO) == 1) {
    // Typed there, the secret would be echoed.
    return fail("standard input is a terminal: leave out the file option to be asked without echo",
                kExitUsage);
  }
  if (!options.outputPath.empty() && !options.force && exists(options.outputPath)) {
    return fail(existsMessage(options.outputPath));
  }
  Bytes fleetKey;
  SecretText psk;
  std::string envelope;
  std::string error;
  if (!loadFleetKey(options.fleetKey, &fleetKey, &error) || !obtainPsk(options, &psk, &error) ||
      !buildEnvelope(options.ssid, psk, fleetKey, &envelope, &error)) {
    return fail(error);
  }
  return emit(options.outputPath, envelope, options.force);
}

int runOpen(const Options& options) {
  Bytes scalar;
  SecretText envelope;
  Network network;
  std::string error;
  if (!loadPrivateScalar(options.privatePath, &scalar, &error) ||
      !readInput(options.envelopePath, kMaxEnvelopeSize, &envelope, &error)) {
    return fail(error);
  }
  if (!openEnvelope(envelope, scalar, &network, &error)) {
    return fail("cannot open the envelope: " + error);
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

int runSelfTestCommand(const Options& /*options*/) {
  std::string error;
  const bool passed = runSelfTest(&error);
  return reportOutcome(passed, error, stdout, stderr);
}

int parseAndRun(int argc, const char* const* argv) {
  CLI::App app("ZeZi Vidad: sealed WiFi credentials for a device fleet", "zezi-vidad");
  app.footer(kToolHelp);
  app.set_version_flag("--version", std::string("zezi-vidad ") + ZEZI_VIDAD_VERSION);
  app.require_subcommand(1);
  Options options;

  CLI::App* keygenCommand = app.add_subcommand("keygen", "create a new fleet key pair");
  keygenCommand->footer(kKeygenHelp);
  keygenCommand->add_option("--private", options.privatePath, "private key file to create")
      ->required();
  keygenCommand->add_option("--public", options.publicPath, "public key file to create")
      ->required();
  keygenCommand->add_flag("--force", options.force, "replace existing files");

  CLI::App* pubkeyCommand = app.add_subcommand("pubkey", "print the public key of a private key");
  pubkeyCommand->footer(kPubkeyHelp);
  pubkeyCommand->add_option("--private", options.privatePath, "private key file")->required();

  CLI::App* sealCommand = app.add_subcommand("seal", "seal a network for the fleet");
  sealCommand->footer(kSealHelp);
  sealCommand->add_option("--fleet-key", options.fleetKey, "PEM file or 128 hex characters")
      ->required();
  sealCommand->add_option("--ssid", options.ssid, "network name, 1 to 32 octets")->required();
  CLI::Option* pskOption =
      sealCommand->add_option("--psk-file", options.pskFile, "file or - holding the PSK");
  sealCommand
      ->add_option("--passphrase-file", options.passphraseFile, "file or - holding the passphrase")
      ->excludes(pskOption);
  sealCommand->add_option("-o,--output", options.outputPath, "envelope file to create");
  sealCommand->add_flag("--force", options.force, "replace an existing envelope file");

  CLI::App* openCommand = app.add_subcommand("open", "open an envelope with the private key");
  openCommand->footer(kOpenHelp);
  openCommand->add_option("--private", options.privatePath, "private key file")->required();
  openCommand->add_option("--envelope", options.envelopePath, "envelope file or -")->required();
  openCommand->add_flag("--show-psk", options.showPsk, "include the PSK in the output");

  CLI::App* selftestCommand = app.add_subcommand("selftest", "run the known-answer self-test");
  selftestCommand->footer(kSelftestHelp);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version exit with 0 through CLI11's own printing; errors become one line.
    if (e.get_exit_code() == 0) {
      return app.exit(e);
    }
    const bool noCommand =
        app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr;
    return fail(noCommand ? "expected a command: keygen, pubkey, seal, open or selftest" : e.what(),
                kExitUsage);
  }
  const std::pair<CLI::App*, int (*)(const Options&)> commands[] = {
      {keygenCommand, runKeygen},
      {pubkeyCommand, runPubkey},
      {sealCommand, runSeal},
      {openCommand, runOpen},
      {selftestCommand, runSelfTestCommand},
  };
  for (const auto& [command, run] : commands) {
    if (command->parsed()) {
      return run(options);
    }
  }
  return fail("no command given", kExitUsage);
}

}  // namespace

int runTool(int argc, const char* const* argv) {
  try {
    return parseAndRun(argc, argv);
  } catch (const std::exception& e) {
    return fail(std::string("internal error: ") + e.what());
  }
}

}  // namespace zezi
