// Sealing many envelopes for one fleet key, as an operator with many sites does.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// Holds one fleet public key, checked and decoded once. Each envelope then costs one
// fixed-base and one variable-base multiplication, the key derivation and the AEAD, where
// buildEnvelope loads and checks every key again. For the same inputs the envelope equals
// buildEnvelope's octet for octet.
//
// Thread safety: seal() is const and keeps all its working state to itself, so one sealer
// may be used by any number of threads at once.
class FleetSealer {
 public:
  // A sealer for `fleetPublicKey`, the 64-octet raw key (X || Y) of a point of P-256. Null
  // when the key is refused, with a fixed message in `*errorOut` when it is not null.
  [[nodiscard]] ZEZI_VIDAD_EXPORT static std::unique_ptr<FleetSealer> create(
      const Bytes& fleetPublicKey, std::string* errorOut);

  ZEZI_VIDAD_EXPORT ~FleetSealer();
  FleetSealer(const FleetSealer&) = delete;
  FleetSealer& operator=(const FleetSealer&) = delete;

  // buildEnvelope's contract for this key, with the same messages: an empty `salt`, `nonce`
  // or `ephemeralScalar` is drawn afresh, a supplied one is used unchanged. A supplied
  // ephemeral scalar must be 32 octets in [1, n-1].
  [[nodiscard]] ZEZI_VIDAD_EXPORT bool seal(std::string_view ssid, std::string_view psk,
                                            std::string* envelopeOut, std::string* errorOut,
                                            const Bytes& salt = {}, const Bytes& nonce = {},
                                            const Bytes& ephemeralScalar = {}) const;

 private:
  struct Key;
  explicit FleetSealer(std::unique_ptr<const Key> key);

  std::unique_ptr<const Key> key_;
};

}  // namespace zezi
