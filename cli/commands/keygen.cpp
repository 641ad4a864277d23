// keygen: a new P-256 key pair, for a fleet or for a signer.
#include <memory>
#include <string>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/file_pair.h"
#include "cli/held_keys.h"
#include "crypto/key_reference.h"
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
    "it offline, and never use the fleet key as a signer key. With --tpm the signer key is\n"
    "made inside the TPM that the key provider reaches (tpm2 unless ZEZI_VIDAD_KEY_PROVIDER\n"
    "names another), and --private receives its wrapped form (TSS2 PRIVATE KEY, mode 0600),\n"
    "which only that TPM can use; sign --key takes it (/usr/share/doc/zezi-vidad/tpm.md).\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n\n"
    "  zezi-vidad keygen --private signer.key --public signer.pub\n\n"
    "  zezi-vidad keygen --tpm --private signer.tss --public signer.pub\n";

struct KeygenOptions {
  std::string privatePath;
  std::string publicPath;
  bool force = false;
  bool tpm = false;
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
    once(command->add_flag("--tpm", options_.tpm,
                           "make the key inside the TPM; --private gets its wrapped form"));
  }

  [[nodiscard]] bool complete(std::string* error) override {
    if (options_.privatePath == "-" || options_.publicPath == "-") {
      return failWith(error, "keygen writes key files: - cannot stand for standard output");
    }
    return true;
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
    Bytes raw;
    SecretText privatePem;
    if (!(options_.tpm ? heldKeyPair(&raw, &privatePem, &error)
                       : plainKeyPair(&raw, &privatePem, &error))) {
      return reportFailure(error);
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
  // A key pair made here: the scalar's PKCS#8 PEM.
  [[nodiscard]] static bool plainKeyPair(Bytes* raw, SecretText* privatePem, std::string* error) {
    Bytes scalar;
    return (generateKeyPair(&scalar, raw) && privateKeyPem(scalar, privatePem)) ||
           failWith(error, "cannot generate the key pair");
  }

  // A key pair made in the TPM: the wrapped key's PEM.
  [[nodiscard]] static bool heldKeyPair(Bytes* raw, SecretText* privatePem, std::string* error) {
    PrivateKey key;
    if (!generateHeldKey(&key, error)) {
      return false;
    }
    if (!key.reference->wrappedPem(privatePem)) {
      return failWith(error,
                      "cannot make the key in the TPM: " +
                          std::string(keyReferenceFailureText(KeyReferenceFailure::kRefused)));
    }
    *raw = key.rawPublicKey();
    return true;
  }

  KeygenOptions options_;
};

}  // namespace

const CommandEntry kKeygenCommand{"keygen", "create a new fleet or signer key pair",
                                  addCommand<Keygen>};

}  // namespace zezi
