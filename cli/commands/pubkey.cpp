// pubkey: the public key of a private key file.
#include <memory>
#include <string>

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
    "in a TPM: its wrapped key file (TSS2 PRIVATE KEY) or its handle, handle:0x81000001.\n\n"
    "Example:\n"
    "  zezi-vidad pubkey --private fleet.key\n";

struct PubkeyOptions {
  std::string privatePath;
};

class Pubkey : public Command {
 public:
  explicit Pubkey(CLI::App* command) {
    command->footer(kPubkeyHelp);
    takes(command->add_option("--private", options_.privatePath,
                              "private key file, TPM-wrapped key file or handle:0x..."),
          "KEY")
        ->required();
  }

  [[nodiscard]] int run() const override {
    PrivateKey key;
    std::string error;
    if (!loadPrivateKey(options_.privatePath, "--private", &key, &error)) {
      return reportFailure(error);
    }
    const Bytes raw = key.rawPublicKey();
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

const CommandEntry kPubkeyCommand{"pubkey", "print the public key of a private key",
                                  addCommand<Pubkey>};

}  // namespace zezi
