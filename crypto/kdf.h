// HKDF-SHA256 key derivation of the envelope key.
#pragma once

#include <cstddef>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// The highest HKDF-SHA256 output length: 255 blocks of 32 octets.
inline constexpr std::size_t kHkdfSha256MaxLength = 255 * 32;

// The 32-octet envelope key: HKDF-SHA256 over the shared secret with `salt` and the info
// of buildKdfInfo. Empty unless the secret has 32 octets, the salt is not empty, both
// points have 65 octets and the domain is not empty.
[[nodiscard]] Bytes deriveEnvelopeKey(std::string_view domain, const Bytes& sharedSecret,
                                      const Bytes& salt, const Bytes& ephemeralPoint,
                                      const Bytes& fleetPoint);

// domain || ephemeral point || fleet point, with no separators or length fields; empty
// unless both points have 65 octets and the domain is not empty.
[[nodiscard]] Bytes buildKdfInfo(std::string_view domain, const Bytes& ephemeralPoint,
                                 const Bytes& fleetPoint);

// `length` octets of HKDF-SHA256 (RFC 5869, extract then expand), or empty when the
// length is 0 or above kHkdfSha256MaxLength or the derivation fails.
[[nodiscard]] Bytes hkdfSha256(const Bytes& key, const Bytes& salt, const Bytes& info,
                               std::size_t length);

}  // namespace zezi
