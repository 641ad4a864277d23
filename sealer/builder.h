// Sealing one network's SSID and PSK for a fleet public key, one envelope at a time; for
// many with the key loaded once, FleetSealer (fleet_sealer.h).
#pragma once

#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// Seals {"networks":[{"ssid":…,"psk":…}]} for the holder of the fleet private key.
//
// `ssid` is any non-empty octet string; `psk` is 64 characters of "0123456789abcdef";
// `fleetPublicKey` is the 64-octet raw key (X || Y). The salt, the nonce and the ephemeral
// key pair are drawn afresh for every envelope.
//
// On success writes the envelope JSON to `*envelopeOut` and returns true, leaving
// `*errorOut` untouched. On failure returns false, leaves `*envelopeOut` untouched and,
// when `errorOut` is not null, replaces its contents with a fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool buildEnvelope(std::string_view ssid, std::string_view psk,
                                                   const Bytes& fleetPublicKey,
                                                   std::string* envelopeOut, std::string* errorOut);

}  // namespace zezi
