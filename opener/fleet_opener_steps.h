// The steps openEnvelope takes with a FleetOpener's key, and the signed opening with one
// (the class itself is public, in fleet_opener.h). Never installed.
#pragma once

#include <memory>
#include <string>

#include "crypto/types.h"
#include "opener/fleet_opener.h"
#include "opener/open_signed_envelope.h"

namespace zezi {

class KeyReference;

struct FleetOpenerSteps {
  // An opener whose key a provider holds (crypto/key_reference.h): each agreement is one
  // EVP_PKEY_derive there, after the same check of the ephemeral point. Null when null.
  // The call the C interface wraps for a device whose fleet key is in its TPM.
  [[nodiscard]] static std::unique_ptr<FleetOpener> fromReference(
      std::shared_ptr<const KeyReference> reference);

  // The fleet's 65-octet public point, as the key derivation takes it.
  [[nodiscard]] static const Bytes& fleetPoint(const FleetOpener& opener);

  enum class Agreement { kAgreed, kNotACurvePoint, kFailed };

  // The 32-octet shared secret with an envelope's eph_pub, the 65-octet uncompressed point:
  // kNotACurvePoint, before any multiplication, unless it lies on the curve. Writes
  // `*sharedSecretOut` only on kAgreed.
  [[nodiscard]] static Agreement agree(const FleetOpener& opener, const Bytes& ephemeralPoint,
                                       Bytes* sharedSecretOut);

  // The envelope key for a shared secret from agree(), or empty (deriveEnvelopeKey with the
  // fleet point derived at creation).
  [[nodiscard]] static Bytes envelopeKey(const FleetOpener& opener, const Bytes& sharedSecret,
                                         const Bytes& salt, const Bytes& ephemeralPoint);
};

// openSignedEnvelope (opener/open_signed_envelope.h) with an opener's key, such as one from
// fromReference: the same checks in the same order, the same messages and outputs.
[[nodiscard]] bool openSignedEnvelope(const SignatureInput& input, const TrustList& trustList,
                                      const FleetOpener& opener, Network* networkOut,
                                      VerifiedSignature* verifiedOut, ReplayState* stateOut,
                                      std::string* errorOut);

}  // namespace zezi
