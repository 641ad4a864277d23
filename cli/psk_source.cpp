#include "cli/psk_source.h"

#include <cstddef>
#include <string_view>

#include "base/failure.h"
#include "cli/secret_input.h"
#include "cli/wpa_psk.h"

namespace zezi {
namespace {

constexpr std::size_t kMaxSecretFileSize = 4096;

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

}  // namespace

bool obtainPsk(const SealOptions& options, SecretText* psk, std::string* error) {
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
  const std::string& path = isPsk ? options.pskFile : options.passphraseFile;
  // The name is never shown: a secret typed in its place would be echoed.
  const std::string shownAs = path == "-" ? inputName(path)
                              : isPsk     ? "the psk file"
                                          : "the passphrase file";
  if (!readInput(path, kMaxSecretFileSize, &secret, error, shownAs)) {
    return false;
  }
  stripLineEnd(&secret);
  return pskFromSecret(secret, isPsk ? SecretKind::kPsk : SecretKind::kPassphrase, options.ssid,
                       psk, error);
}

}  // namespace zezi
