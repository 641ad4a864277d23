// The steps openEnvelope takes with a FleetOpener's key (the class itself is public, in
// open_envelope.h). Never installed.
#pragma once

#include "crypto/types.h"
#include "opener/open_envelope.h"

namespace zezi {

struct FleetOpenerSteps {
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

}  // namespace zezi
