// Ephemeral-static key agreement on P-256.
#pragma once

#include "crypto/types.h"

namespace zezi {

// The 32-octet X coordinate of scalar * peer, or empty on any failure, a peer key that is
// not a point of the curve included.
[[nodiscard]] Bytes ecdhSharedSecret(const Bytes& privateScalar, const Bytes& peerRawPublicKey);

}  // namespace zezi
