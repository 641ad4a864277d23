#include "opener/fleet_opener.h"

#include <utility>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "crypto/kdf.h"
#include "crypto/key_reference.h"
#include "crypto/p256_keys.h"
#include "crypto/p256_points.h"
#include "opener/fleet_opener_steps.h"
#include "opener/open_failure.h"

namespace zezi {

struct FleetOpener::Key {
  const EC_GROUP* group = nullptr;  // the process's P-256 group
  BignumPtr scalar;                 // constant-time, cleared when the opener goes
  Bytes point;  // the fleet's 65-octet public point, as the key derivation takes it
  // Set instead of `scalar` when a provider holds the key.
  std::shared_ptr<const KeyReference> reference;
};

FleetOpener::FleetOpener(std::unique_ptr<const Key> key) : key_(std::move(key)) {}

FleetOpener::~FleetOpener() = default;

std::unique_ptr<FleetOpener> FleetOpener::create(const Bytes& fleetScalar) {
  auto key = std::make_unique<Key>();
  key->group = p256Group();
  if (key->group == nullptr) {
    return nullptr;
  }
  key->scalar = scalarFromOctets(fleetScalar);
  if (!key->scalar) {
    return nullptr;
  }
  key->point = generatorMultiple(key->group, key->scalar.get(), /*context=*/nullptr);
  if (key->point.empty()) {
    return nullptr;
  }
  return std::unique_ptr<FleetOpener>(new FleetOpener(std::move(key)));
}

std::unique_ptr<FleetOpener> FleetOpenerSteps::fromReference(
    std::shared_ptr<const KeyReference> reference) {
  auto key = std::make_unique<FleetOpener::Key>();
  key->group = p256Group();
  if (key->group == nullptr || !reference) {
    return nullptr;
  }
  key->point = rawToPoint(reference->rawPublicKey());
  if (key->point.empty()) {
    return nullptr;
  }
  key->reference = std::move(reference);
  return std::unique_ptr<FleetOpener>(new FleetOpener(std::move(key)));
}

const Bytes& FleetOpenerSteps::fleetPoint(const FleetOpener& opener) {
  return opener.key_->point;
}

FleetOpenerSteps::Agreement FleetOpenerSteps::agree(const FleetOpener& opener,
                                                    const Bytes& ephemeralPoint,
                                                    Bytes* sharedSecretOut) {
  if (sharedSecretOut == nullptr) {
    return Agreement::kFailed;
  }
  // Shared by the two steps; where it is null, OpenSSL makes its own.
  const BnCtxPtr context(BN_CTX_new());
  const EcPointPtr point = decodePoint(opener.key_->group, ephemeralPoint, context.get());
  if (!point) {
    return Agreement::kNotACurvePoint;
  }
  const FleetOpener::Key& key = *opener.key_;
  Bytes secret = key.reference
                     ? key.reference->agree(Bytes(ephemeralPoint.begin() + 1, ephemeralPoint.end()))
                     : sharedX(key.group, point.get(), key.scalar.get(), context.get());
  if (secret.empty()) {
    return Agreement::kFailed;
  }
  *sharedSecretOut = std::move(secret);
  return Agreement::kAgreed;
}

Bytes FleetOpenerSteps::envelopeKey(const FleetOpener& opener, const Bytes& sharedSecret,
                                    const Bytes& salt, const Bytes& ephemeralPoint) {
  return deriveEnvelopeKey(kEnvelopeDomain, sharedSecret, salt, ephemeralPoint, opener.key_->point);
}

bool openEnvelope(std::string_view envelope, const FleetOpener& opener, Network* networkOut,
                  std::string* errorOut) {
  const OpenFailure failure = openEnvelopeFor(envelope, opener, networkOut);
  return failure == OpenFailure::kNone || failWith(errorOut, openFailureText(failure));
}

}  // namespace zezi
