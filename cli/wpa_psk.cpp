#include "cli/wpa_psk.h"

#include <openssl/evp.h>

#include <algorithm>
#include <limits>

#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr std::uint32_t kWpaIterations = 4096;
constexpr std::size_t kWpaKeySize = 32;
constexpr std::size_t kMaxPbkdf2Input = std::numeric_limits<int>::max();

}  // namespace

Bytes pbkdf2HmacSha1(const Bytes& password, const Bytes& salt, std::uint32_t iterations,
                     std::size_t length) {
  if (iterations == 0 || iterations > kMaxPbkdf2Input || length == 0 || length > kMaxPbkdf2Input ||
      password.size() > kMaxPbkdf2Input || salt.size() > kMaxPbkdf2Input) {
    return {};
  }
  Bytes derived(length);
  if (PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(password.data()),
                             static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             static_cast<int>(length), derived.data()) != 1) {
    return {};
  }
  return derived;
}

bool isValidPassphrase(std::string_view passphrase) {
  return passphrase.size() >= kMinPassphraseLength && passphrase.size() <= kMaxPassphraseLength &&
         std::all_of(passphrase.begin(), passphrase.end(),
                     [](char c) { return c >= 0x20 && c <= 0x7e; });
}

SecretText wpaPskFromPassphrase(std::string_view passphrase, std::string_view ssid) {
  if (!isValidPassphrase(passphrase) || ssid.empty() || ssid.size() > kMaxSsidLength) {
    return {};
  }
  // PSK = hex(PBKDF2-HMAC-SHA1(passphrase, salt = SSID, 4096 iterations, 32 octets))
  const Bytes key = pbkdf2HmacSha1(Bytes(passphrase.begin(), passphrase.end()),
                                   Bytes(ssid.begin(), ssid.end()), kWpaIterations, kWpaKeySize);
  SecretText psk;
  // Reserved first, so no digit of the PSK is left in the string's inline buffer.
  psk.reserve(kPskHexLength);
  for (const std::uint8_t octet : key) {
    psk += kHexDigits[octet >> 4];
    psk += kHexDigits[octet & 0x0f];
  }
  return psk;
}

SecretText normalisedPsk(std::string_view text) {
  if (text.size() != kPskHexLength ||
      text.find_first_not_of(kHexDigitsEitherCase) != std::string_view::npos) {
    return {};
  }
  SecretText psk(text);
  std::transform(psk.begin(), psk.end(), psk.begin(), [](char c) {
    return (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return psk;
}

}  // namespace zezi
