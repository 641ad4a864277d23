// Shared vocabulary of the sealer and the opener: key forms, sizes, the envelope and
// signature domains and the signed statement. The byte strings are in base/bytes.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "base/bytes.h"

namespace zezi {

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

// The signature file's "format" and the prefix of every signed message.
inline constexpr std::string_view kSignatureDomain = "tolvane-wifi-drive-sig/v1";
inline constexpr std::size_t kStatementSize = 120;
// The signature file beside an envelope, "<envelope file>.sig", both as the sealer writes
// it and as the device reads it: its name's suffix and the largest size read.
inline constexpr std::size_t kMaxSignatureFileSize = 1024;
inline constexpr std::string_view kSignatureFileSuffix = ".sig";

// What a signer states about one envelope, signed as 120 octets: the three digests, then
// the three integers big-endian, in this order (docs/format.md).
struct Statement {
  Digest signerKeyId{};
  Digest fleetId{};
  Digest envelopeSha256{};
  std::uint64_t serial = 0;
  std::uint64_t issuedAt = 0;
  std::uint64_t expiresAt = 0;

  bool operator==(const Statement& other) const = default;
};

}  // namespace zezi
