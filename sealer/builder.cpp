#include "sealer/builder.h"

#include "base/failure.h"
#include "sealer/envelope_parts.h"
#include "sealer/fixed_inputs.h"

namespace zezi {

bool buildEnvelope(std::string_view ssid, std::string_view psk, const Bytes& fleetPublicKey,
                   std::string* envelopeOut, std::string* errorOut) {
  return buildEnvelope(ssid, psk, fleetPublicKey, envelopeOut, errorOut, {}, {}, {});
}

bool buildEnvelope(std::string_view ssid, std::string_view psk, const Bytes& fleetPublicKey,
                   std::string* envelopeOut, std::string* errorOut, const Bytes& salt,
                   const Bytes& nonce, const Bytes& ephemeralScalar) {
  if (envelopeOut == nullptr) {
    return failWith(errorOut, "no output buffer");
  }
  if (fleetPublicKey.size() != kRawPublicKeySize) {
    return failWith(errorOut, "fleet public key must be 64 raw bytes");
  }
  // The fleet sealer's steps with the key decoded for this one envelope; a key off the
  // curve is not refused here but at the agreement, after the draws.
  return sealFor(fleetPointOf(fleetPublicKey), ssid, psk, envelopeOut, errorOut, salt, nonce,
                 ephemeralScalar);
}

}  // namespace zezi
