// The one way an envelope is sealed, which buildEnvelope and FleetSealer both take: they
// differ only in how often the fleet key is decoded (per envelope, or once per sealer).
// Private to the sealing floor.
#pragma once

#include <string>
#include <string_view>

#include "base/ossl_owners.h"
#include "crypto/types.h"

namespace zezi {

// A fleet public key as sealing takes it.
struct FleetPoint {
  const EC_GROUP* group = nullptr;  // the process's P-256 group; null only when it cannot be made
  EcPointPtr point;                 // null when the key is no point of P-256
  Bytes encoded;                    // 04 || X || Y, as the key derivation takes it
};

// The 64-octet raw key `rawPublicKey` decoded. A key that is no point of the curve leaves
// `point` null and is refused by sealFor at the agreement, after the draws.
[[nodiscard]] FleetPoint fleetPointOf(const Bytes& rawPublicKey);

// Seals {"networks":[{"ssid":…,"psk":…}]} for `fleet`. Checks, in this order: an output
// buffer, a PSK of 64 lowercase hex characters, a non-empty SSID, then the ephemeral key
// (drawn when `ephemeralScalar` is empty, else 32 octets in [1, n-1]), the salt and the
// nonce (each drawn when empty; a supplied nonce of the wrong length is refused by the
// AEAD), the agreement with the fleet point. On success writes the envelope's seven lines
// to `*envelopeOut`; on failure returns false with a fixed message in `*errorOut` (when not
// null) and leaves `*envelopeOut` untouched.
[[nodiscard]] bool sealFor(const FleetPoint& fleet, std::string_view ssid, std::string_view psk,
                           std::string* envelopeOut, std::string* errorOut, const Bytes& salt,
                           const Bytes& nonce, const Bytes& ephemeralScalar);

}  // namespace zezi
