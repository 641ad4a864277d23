// WPA2 pre-shared keys: the 64-hex-character form and its derivation from a passphrase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

inline constexpr std::size_t kMinPassphraseLength = 8;
inline constexpr std::size_t kMaxPassphraseLength = 63;
inline constexpr std::size_t kMaxSsidLength = 32;

// `length` octets of PBKDF2 (RFC 8018) with HMAC-SHA1, or empty when the iteration count
// or the length is 0 or the derivation fails. The password may be empty.
[[nodiscard]] Bytes pbkdf2HmacSha1(const Bytes& password, const Bytes& salt,
                                   std::uint32_t iterations, std::size_t length);

// True for 8 to 63 characters, each printable ASCII (0x20 to 0x7e).
[[nodiscard]] bool isValidPassphrase(std::string_view passphrase);

// The PSK as WPA2 derives it: PBKDF2-HMAC-SHA1(passphrase, ssid, 4096, 32) in lowercase
// hex. Empty unless the passphrase is valid and the SSID has 1 to 32 octets.
[[nodiscard]] SecretText wpaPskFromPassphrase(std::string_view passphrase, std::string_view ssid);

// `text` lowercased when it is 64 hex digits of either case, else empty.
[[nodiscard]] SecretText normalisedPsk(std::string_view text);

}  // namespace zezi
