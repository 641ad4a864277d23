// keygen: a new P-256 key pair, for a fleet or for a signer.
#include <memory>
#include <optional>
#include <string>

#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/file_pair.h"
#include "encoding/hex.h"
#include "sealer/key_files.h"

namespace zezi {
namespace {

constexpr const char* kKeygenHelp =
    "Creates a new P-256 key pair, for a fleet or for a signer: the private key as unencrypted\n"
    "PKCS#8 PEM (mode 0600), the public key as SubjectPublicKeyInfo PEM (mode 0644). Prints the\n"
    "raw public key (X || Y) as 128 hex characters. Existing files are kept unless --force is\n"
    "given; the two are replaced both or neither. A file system that cannot keep the private\n"
    "key to its owner (FAT) is refused for it. A signer key signs envelopes (see sign); keep\n"
    "it offline, and never use the fleet key as a signer key.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n\n"
    "  zezi-vidad keygen --private signer.key --public signer.pub\n";

struct KeygenOptions {
  std::string privatePath;
  std::string publicPath;
  bool force = false;
};

class Keygen : public Command {
 public:
  explicit Keygen(CLI::App* command) {
    command->footer(kKeygenHelp);
    takes(command->add_option("--private", options_.privatePath, "private key file to create"),
          "FILE")
        ->required();
    takes(command->add_option("--public", options_.publicPath, "public key file to create"), "FILE")
        ->required();
    once(command->add_flag("--force", options_.force, "replace existing files"));
  }

  std::optional<std::string> complete() override {
    if (options_.privatePath == "-" || options_.publicPath == "-") {
      return "keygen writes key files: - cannot stand for standard output";
    }
    return std::nullopt;
  }

  [[nodiscard]] int run() const override {
    if (sameFile(options_.privatePath, options_.publicPath)) {
      return reportFailure("--private and --public name the same file", kExitUsage);
    }
    // Both targets are checked before either is touched.
    std::string error;
    if (!checkWritableTarget(options_.privatePath, options_.force, &error) ||
        !checkWritableTarget(options_.publicPath, options_.force, &error)) {
      return reportFailure(error);
    }
    Bytes scalar;
    Bytes raw;
    SecretText privatePem;
    if (!generateKeyPair(&scalar, &raw) || !privateKeyPem(scalar, &privatePem)) {
      return reportFailure("cannot generate the key pair");
    }
    const std::string publicPem = publicKeyPem(raw);
    if (publicPem.empty()) {
      return reportFailure("cannot encode the public key");
    }
    if (!writeFilePair({options_.privatePath, privatePem, kPrivateMode},
                       {options_.publicPath, publicPem, kPublicMode}, options_.force, &error)) {
      return reportFailure(error);
    }
    return emit({}, hexEncode(raw) + "\n", false);
  }

 private:
  KeygenOptions options_;
};

}  // namespace

const CommandEntry kKeygenCommand{"keygen", "create a new fleet or signer key pair",
                                  addCommand<Keygen>};

}  // namespace zezi
