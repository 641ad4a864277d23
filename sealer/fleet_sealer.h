// Sealing many envelopes for one fleet public key, checked and decoded once.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// Holds one fleet public key, checked and decoded once. Each envelope then costs one
// fixed-base and one variable-base multiplication, the key derivation and the AEAD, where
// buildEnvelope decodes the key again for every envelope. For the same inputs the envelope
// equals buildEnvelope's octet for octet.
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

  // buildEnvelope's contract for this key, with the same messages.
  [[nodiscard]] ZEZI_VIDAD_EXPORT bool seal(std::string_view ssid, std::string_view psk,
                                            std::string* envelopeOut, std::string* errorOut) const;

 private:
  struct Key;
  friend struct FleetSealerSteps;  // the library's own steps, never installed
  explicit FleetSealer(std::unique_ptr<const Key> key);

  std::unique_ptr<const Key> key_;
};

}  // namespace zezi
