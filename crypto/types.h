// Shared vocabulary of the sealing code: byte strings, key forms and the envelope domain.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/cleansing_allocator.h"

namespace zezi {

// An owning, growable octet string. An empty value is the failure result of every
// operation that returns one. Keys, secrets and plaintexts all pass through this type, so
// its memory is cleansed whenever it is released, reallocation included.
using Bytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

// Text that holds a secret (a PSK, a passphrase), cleansed like Bytes when released. Up to
// 15 characters live inside the object itself, where the allocator cannot reach them.
using SecretText = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

// Private scalar: unsigned big-endian, left-padded with zeros.
inline constexpr std::size_t kScalarSize = 32;
// Raw public key: X then Y, each big-endian.
inline constexpr std::size_t kRawPublicKeySize = 64;
// Public point: the uncompressed SEC1 form, 0x04 || X || Y.
inline constexpr std::size_t kPointSize = 65;
inline constexpr std::uint8_t kUncompressedPointPrefix = 0x04;
// ECDH shared secret: the X coordinate of the shared point.
inline constexpr std::size_t kSharedSecretSize = 32;
// AES-256 envelope key.
inline constexpr std::size_t kEnvelopeKeySize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
// OpenSSL takes AEAD lengths as int, so additional data and ciphertexts must stay at or
// below this (that is, under 2^31 octets).
inline constexpr std::size_t kMaxAeadInputSize = std::numeric_limits<int>::max();
// A PSK as the builder takes it: 32 octets written as 64 lowercase hex characters.
inline constexpr std::size_t kPskSize = 32;
inline constexpr std::size_t kPskHexLength = 2 * kPskSize;
// Size of a salt the builder draws itself; supplied salts may have any non-empty length.
inline constexpr std::size_t kDrawnSaltSize = 16;

// Domain of the key derivation, the AEAD additional data and the envelope's "format".
inline constexpr std::string_view kEnvelopeDomain = "tolvane-wifi-drive/v1";

// A SHA-256 value.
inline constexpr std::size_t kDigestSize = 32;
using Digest = std::array<std::uint8_t, kDigestSize>;

// The octets of `text`, in order, without a terminator.
[[nodiscard]] inline Bytes textToBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace zezi
