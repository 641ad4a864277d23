// AES-256-GCM over a payload: sealing on the sealer's side, opening on the device's. A
// sealed payload is the ciphertext followed by the 16-octet tag, no header.
#pragma once

#include <cstdint>

#include "crypto/types.h"

namespace zezi {

// Seals `plaintext` under a 32-octet key and a 12-octet nonce, binding `aad` (may be
// empty). Returns ciphertext || tag, always plaintext.size() + 16 octets, or empty on any
// failure: a wrong key or nonce length, or `aad` or `plaintext` of 2^31 octets or more.
[[nodiscard]] Bytes sealPayload(const Bytes& key, const Bytes& nonce, const Bytes& aad,
                                const Bytes& plaintext);

// The outcome of opening a sealed payload, as a small status number.
using OpenStatus = std::int32_t;

inline constexpr OpenStatus kOpenOk = 0;
inline constexpr OpenStatus kOpenBadKeyLength = 1;
inline constexpr OpenStatus kOpenBadNonceLength = 2;
inline constexpr OpenStatus kOpenTooShort = 3;
inline constexpr OpenStatus kOpenAuthenticationFailed = 4;
inline constexpr OpenStatus kOpenInternalError = 5;

// Opens `sealed` with a 32-octet key, a 12-octet nonce and the additional data it was
// sealed with. On kOpenOk `*plaintextOut` holds the plaintext, replacing what it held; on
// every other status it is left exactly as it was and no unauthenticated octet escapes.
// Lengths are checked first, in the order key, nonce, sealed. Additional data or
// ciphertext of 2^31 octets or more gives kOpenInternalError before any cipher call.
[[nodiscard]] OpenStatus openPayload(const Bytes& key, const Bytes& nonce, const Bytes& aad,
                                     const Bytes& sealed, Bytes* plaintextOut);

// Fixed text of a status, "unknown" for any value without one; static lifetime.
[[nodiscard]] const char* openStatusText(OpenStatus status);

}  // namespace zezi
