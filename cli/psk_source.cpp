#include "cli/psk_source.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "cli/secret_input.h"
#include "cli/wpa_psk.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr std::size_t kMaxSecretFileSize = 4096;

constexpr int kPromptAttempts = 3;
constexpr std::string_view kPrompt = "WiFi passphrase (or 64-hex-character PSK): ";

enum class SecretKind { kPsk, kPassphrase, kEither };

// Whether `secret` is a secret of `kind`; false with why not, pointing to the option it
// belongs with when it is the other kind. The message never holds the secret.
bool checkSecret(std::string_view secret, SecretKind kind, std::string* error) {
  const bool isPsk = !normalisedPsk(secret).empty();
  const bool isPassphrase = isValidPassphrase(secret);
  // Hex digits alone are a PSK mistyped rather than a passphrase.
  const bool allHex = secret.find_first_not_of(kHexDigitsEitherCase) == std::string_view::npos;
  switch (kind) {
    case SecretKind::kPsk:
      return isPsk || failWith(error, isPassphrase && !allHex
                                          ? "--psk-file holds a passphrase, not a PSK of 64 hex "
                                            "characters: give it with --passphrase-file"
                                          : "PSK must be 64 hex characters");
    case SecretKind::kPassphrase:
      return isPassphrase ||
             failWith(error, isPsk ? "--passphrase-file holds a PSK, not a passphrase: give it "
                                     "with --psk-file"
                                   : "passphrase must be 8 to 63 printable ASCII characters");
    case SecretKind::kEither:
    default:
      return isPsk || isPassphrase ||
             failWith(error,
                      "expected a passphrase of 8 to 63 printable ASCII characters or a PSK of 64 "
                      "hex characters");
  }
}

// The lowercase PSK from a secret given as a PSK, a passphrase, or either.
bool pskFromSecret(std::string_view secret, SecretKind kind, std::string_view ssid, SecretText* psk,
                   std::string* error) {
  if (!checkSecret(secret, kind, error)) {
    return false;
  }
  *psk = normalisedPsk(secret);
  if (kind != SecretKind::kPassphrase && !psk->empty()) {
    return true;
  }
  *psk = wpaPskFromPassphrase(secret, ssid);
  return !psk->empty() || failWith(error, "cannot derive the PSK from the passphrase");
}

// Asks on the terminal until an entry is a passphrase or a PSK, saying what was wrong with
// the one before (never showing it), then asks for it again to confirm it.
bool promptForSecret(SecretText* secret, std::string* error) {
  std::string complaint;
  for (int attempt = 0; attempt < kPromptAttempts; ++attempt) {
    const std::string prompt =
        (attempt == 0 ? std::string() : "zezi-vidad: " + complaint + "; try again\n") +
        std::string(kPrompt);
    if (!promptSecret(prompt, secret, error)) {
      return false;
    }
    if (checkSecret(*secret, SecretKind::kEither, &complaint)) {
      SecretText again;
      if (!promptSecret("Again: ", &again, error)) {
        return false;
      }
      return *secret == again || failWith(error, "the two entries differ");
    }
  }
  return failWith(error, complaint);
}

}  // namespace

bool obtainPsk(const SecretFiles& files, const std::string& ssid, SecretText* psk,
               std::string* error) {
  SecretText secret;
  if (files.pskFile.empty() && files.passphraseFile.empty()) {
    return promptForSecret(&secret, error) &&
           pskFromSecret(secret, SecretKind::kEither, ssid, psk, error);
  }
  const bool isPsk = !files.pskFile.empty();
  const std::string& path = isPsk ? files.pskFile : files.passphraseFile;
  // The name is never shown: a secret typed in its place would be echoed.
  const std::string shownAs = path == "-" ? inputName(path)
                              : isPsk     ? "the PSK file"
                                          : "the passphrase file";
  if (!readInput(path, kMaxSecretFileSize, &secret, error, shownAs)) {
    return false;
  }
  stripLineEnd(&secret);
  return pskFromSecret(secret, isPsk ? SecretKind::kPsk : SecretKind::kPassphrase, ssid, psk,
                       error);
}

}  // namespace zezi
