// AES-256-GCM sealing of a payload: ciphertext followed by the 16-octet tag, no header.
#pragma once

#include "crypto/types.h"

namespace zezi {

// Seals `plaintext` under a 32-octet key and a 12-octet nonce, binding `aad` (may be
// empty). Returns ciphertext || tag, always plaintext.size() + 16 octets, or empty on any
// failure: a wrong key or nonce length, or `aad` or `plaintext` of 2^31 octets or more.
[[nodiscard]] Bytes sealPayload(const Bytes& key, const Bytes& nonce, const Bytes& aad,
                                const Bytes& plaintext);

}  // namespace zezi
