// pubkey: the public key of a private key file, or of a public key file in both forms.
#include <memory>
#include <string>

#include "base/failure.h"
#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "encoding/hex.h"
#include "sealer/key_files.h"

namespace zezi {
namespace {

constexpr const char* kPubkeyHelp =
    "Prints the raw public key (128 hex characters) and then its SubjectPublicKeyInfo PEM for\n"
    "an unencrypted P-256 private key in PKCS#8 or SEC1 (EC PRIVATE KEY) PEM, or for a key held\n"
    "in a TPM: its wrapped key file (TSS2 PRIVATE KEY) or its handle, handle:0x81000001.\n"
    "--public prints the same for a public key file (.pub) or its hex line, so that a\n"
    "signer's public key is read without its private key on the machine.\n\n"
    "Example:\n"
    "  zezi-vidad pubkey --private fleet.key\n\n"
    "  zezi-vidad pubkey --public signer.pub\n";

struct PubkeyOptions {
  std::string privatePath;
  std::string publicPath;
};

class Pubkey : public Command {
 public:
  explicit Pubkey(CLI::App* command) {
    command->footer(kPubkeyHelp);
    CLI::Option* privateKey =
        takes(command->add_option("--private", options_.privatePath,
                                  "private key file, TPM-wrapped key file or handle:0x..."),
              "KEY");
    takes(command->add_option("--public", options_.publicPath,
                              "public key file (.pub), in place of --private"),
          "FILE")
        ->excludes(privateKey);
  }

  [[nodiscard]] bool complete(std::string* error) override {
    return !options_.privatePath.empty() || !options_.publicPath.empty() ||
           failWith(error, "pubkey needs --private or --public");
  }

  [[nodiscard]] int run() const override {
    Bytes raw;
    std::string error;
    if (!options_.publicPath.empty()) {
      if (!loadPublicKeyText(options_.publicPath, "public key", "--public", &raw, &error)) {
        return reportFailure(error);
      }
    } else {
      PrivateKey key;
      if (!loadPrivateKey(options_.privatePath, "--private", &key, &error)) {
        return reportFailure(error);
      }
      raw = key.rawPublicKey();
    }
    const std::string pem = publicKeyPem(raw);
    if (pem.empty()) {
      return reportFailure("cannot encode the public key");
    }
    return emit({}, hexEncode(raw) + "\n" + pem, false);
  }

 private:
  PubkeyOptions options_;
};

}  // namespace

const CommandEntry kPubkeyCommand{"pubkey", "print the public key of a private or public key file",
                                  addCommand<Pubkey>};

}  // namespace zezi
