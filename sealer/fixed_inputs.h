// Sealing with the salt, the nonce and the ephemeral scalar fixed by the caller, which
// makes an envelope a pure function of its inputs: for the self-test, the known answers,
// the published vectors and the tests. Never installed; consumers seal through builder.h
// and fleet_sealer.h, where all three are drawn afresh.
#pragma once

#include <string>
#include <string_view>

#include "crypto/types.h"
#include "sealer/builder.h"
#include "sealer/fleet_sealer.h"

namespace zezi {

// buildEnvelope with its draws fixed: an empty `salt`, `nonce` or `ephemeralScalar` is
// drawn afresh (16 and 12 random octets, a new key pair), a supplied one is used unchanged.
[[nodiscard]] bool buildEnvelope(std::string_view ssid, std::string_view psk,
                                 const Bytes& fleetPublicKey, std::string* envelopeOut,
                                 std::string* errorOut, const Bytes& salt, const Bytes& nonce,
                                 const Bytes& ephemeralScalar);

struct FleetSealerSteps {
  // FleetSealer::seal with its draws fixed as buildEnvelope's above. A supplied ephemeral
  // scalar must be 32 octets in [1, n-1].
  [[nodiscard]] static bool seal(const FleetSealer& sealer, std::string_view ssid,
                                 std::string_view psk, std::string* envelopeOut,
                                 std::string* errorOut, const Bytes& salt, const Bytes& nonce,
                                 const Bytes& ephemeralScalar);
};

}  // namespace zezi
