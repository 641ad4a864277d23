#include "sealer/fleet_sealer.h"

#include <utility>

#include "base/failure.h"
#include "sealer/envelope_parts.h"
#include "sealer/fixed_inputs.h"

namespace zezi {

struct FleetSealer::Key {
  FleetPoint fleet;
};

FleetSealer::FleetSealer(std::unique_ptr<const Key> key) : key_(std::move(key)) {}

FleetSealer::~FleetSealer() = default;

std::unique_ptr<FleetSealer> FleetSealer::create(const Bytes& fleetPublicKey,
                                                 std::string* errorOut) {
  if (fleetPublicKey.size() != kRawPublicKeySize) {
    static_cast<void>(failWith(errorOut, "fleet public key must be 64 raw bytes"));
    return nullptr;
  }
  auto key = std::make_unique<Key>(Key{fleetPointOf(fleetPublicKey)});
  if (!key->fleet.point) {
    static_cast<void>(failWith(errorOut, "fleet public key is not a P-256 point"));
    return nullptr;
  }
  return std::unique_ptr<FleetSealer>(new FleetSealer(std::move(key)));
}

bool FleetSealer::seal(std::string_view ssid, std::string_view psk, std::string* envelopeOut,
                       std::string* errorOut) const {
  return FleetSealerSteps::seal(*this, ssid, psk, envelopeOut, errorOut, {}, {}, {});
}

bool FleetSealerSteps::seal(const FleetSealer& sealer, std::string_view ssid, std::string_view psk,
                            std::string* envelopeOut, std::string* errorOut, const Bytes& salt,
                            const Bytes& nonce, const Bytes& ephemeralScalar) {
  return sealFor(sealer.key_->fleet, ssid, psk, envelopeOut, errorOut, salt, nonce,
                 ephemeralScalar);
}

}  // namespace zezi
