// ECDSA over P-256 with SHA-256, the one signature algorithm of signed envelopes.
// Signatures are raw r || s, each 32 octets big-endian, and only the low-s form is valid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

inline constexpr std::size_t kSignatureIntegerSize = 32;
inline constexpr std::size_t kSignatureSize = 2 * kSignatureIntegerSize;

// SHA-256 of `octets`; false (and `*digestOut` untouched) only when OpenSSL fails.
[[nodiscard]] bool sha256(std::span<const std::uint8_t> octets, Digest* digestOut);
[[nodiscard]] bool sha256(std::string_view octets, Digest* digestOut);

// Signs `message` (hashed with SHA-256 here) with the 32-octet scalar. Gives r || s with
// s in the low half, or empty when the scalar is outside [1, n - 1] or OpenSSL fails.
[[nodiscard]] Bytes signMessage(const Bytes& signerScalar, std::span<const std::uint8_t> message);

// Whether `signature` is 64 octets with 1 <= r < n and 1 <= s <= (n - 1) / 2.
[[nodiscard]] bool isCanonicalSignature(const Bytes& signature);

enum class SignatureStatus : std::uint8_t {
  kValid,
  kNotCanonical,   // wrong length, r or s out of range, or s in the high half
  kDoesNotVerify,  // well formed, but not a signature of this message by this key
  kCannotCheck,    // the public key is not a P-256 point, or OpenSSL failed
};

// Checks a raw signature over `message` under a 64-octet raw public key.
[[nodiscard]] SignatureStatus verifyMessageSignature(const Bytes& rawPublicKey,
                                                     std::span<const std::uint8_t> message,
                                                     const Bytes& signature);

}  // namespace zezi
