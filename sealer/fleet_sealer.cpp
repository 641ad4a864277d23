#include "sealer/builder.h"

#include <utility>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"
#include "crypto/p256_points.h"
#include "sealer/envelope_parts.h"
#include "sealer/fixed_inputs.h"

namespace zezi {

struct FleetSealer::Key {
  const EC_GROUP* group = nullptr;  // the process's P-256 group
  EcPointPtr point;
  Bytes encoded;  // the 65-octet point, as the key derivation takes it
};

FleetSealer::FleetSealer(std::unique_ptr<const Key> key) : key_(std::move(key)) {}

FleetSealer::~FleetSealer() = default;

std::unique_ptr<FleetSealer> FleetSealer::create(const Bytes& fleetPublicKey,
                                                 std::string* errorOut) {
  if (fleetPublicKey.size() != kRawPublicKeySize) {
    static_cast<void>(failWith(errorOut, "fleet public key must be 64 raw bytes"));
    return nullptr;
  }
  auto key = std::make_unique<Key>();
  key->group = p256Group();
  key->encoded = rawToPoint(fleetPublicKey);
  if (key->group != nullptr) {
    key->point = decodePoint(key->group, key->encoded, /*context=*/nullptr);
  }
  if (!key->point) {
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
  if (envelopeOut == nullptr) {
    return failWith(errorOut, "no output buffer");
  }
  if (!checkNetwork(ssid, psk, errorOut)) {
    return false;
  }

  const EC_GROUP* group = sealer.key_->group;
  const bool drawn = ephemeralScalar.empty();
  // Shared by this envelope's steps; where it is null, OpenSSL makes its own.
  const BnCtxPtr context(BN_CTX_new());
  BignumPtr scalar = drawn ? drawScalar(group, context.get()) : scalarFromOctets(ephemeralScalar);
  if (!scalar) {
    return failWith(errorOut,
                    drawn ? "ephemeral key generation failed" : "invalid ephemeral scalar");
  }
  AgreedEnvelope agreed;
  agreed.ephemeralPoint = generatorMultiple(group, scalar.get(), context.get());
  if (agreed.ephemeralPoint.empty()) {
    return failWith(errorOut, "could not derive ephemeral public key");
  }
  if (!saltAndNonce(salt, nonce, &agreed.salt, &agreed.nonce, errorOut, Draws::kOneCall)) {
    return false;
  }
  agreed.sharedSecret = sharedX(group, sealer.key_->point.get(), scalar.get(), context.get());
  scalar.reset();  // cleared as soon as its last use is done
  if (agreed.sharedSecret.empty()) {
    return failWith(errorOut, "ECDH failed");
  }
  return finishEnvelope(agreed, sealer.key_->encoded, ssid, psk, envelopeOut, errorOut);
}

}  // namespace zezi
