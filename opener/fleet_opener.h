// The device side with a key held for many openings: the fleet scalar is checked and its
// public point derived once, and each envelope then costs one check of its ephemeral point
// and one variable-base multiplication.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"

namespace zezi {

// Thread safety: every member is const and keeps its working state to itself, so one
// opener may be used by any number of threads at once.
class FleetOpener {
 public:
  // An opener for the fleet's 32-octet private scalar; null unless it is in [1, n-1].
  [[nodiscard]] ZEZI_VIDAD_EXPORT static std::unique_ptr<FleetOpener> create(
      const Bytes& fleetScalar);

  ZEZI_VIDAD_EXPORT ~FleetOpener();
  FleetOpener(const FleetOpener&) = delete;
  FleetOpener& operator=(const FleetOpener&) = delete;

  enum class Agreement { kAgreed, kNotACurvePoint, kFailed };

  // The 32-octet shared secret with an envelope's eph_pub, the 65-octet uncompressed point:
  // kNotACurvePoint, before any multiplication, unless it lies on the curve. Writes
  // `*sharedSecretOut` only on kAgreed.
  [[nodiscard]] ZEZI_VIDAD_EXPORT Agreement agree(const Bytes& ephemeralPoint,
                                                  Bytes* sharedSecretOut) const;

  // The envelope key for a shared secret from agree(), or empty (deriveEnvelopeKey with the
  // fleet point derived at creation).
  [[nodiscard]] ZEZI_VIDAD_EXPORT Bytes envelopeKey(const Bytes& sharedSecret, const Bytes& salt,
                                                    const Bytes& ephemeralPoint) const;

 private:
  struct Key;
  explicit FleetOpener(std::unique_ptr<const Key> key);

  std::unique_ptr<const Key> key_;
};

// Opens `envelope` exactly as openEnvelope does, with the same checks in the same order and
// the same messages, but with the opener's key.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool openEnvelope(std::string_view envelope,
                                                  const FleetOpener& opener, Network* networkOut,
                                                  std::string* errorOut);

}  // namespace zezi
