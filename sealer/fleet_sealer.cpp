#include "sealer/builder.h"

#include <utility>

#include <openssl/rand.h>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "crypto/aead.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "crypto/p256_points.h"
#include "encoding/hex.h"
#include "sealer/envelope_parts.h"
#include "sealer/fixed_inputs.h"

namespace zezi {
namespace {

// The supplied salt and nonce, or fresh ones: when both are drawn, in one call to the
// generator, which costs as much as each of two calls.
bool saltAndNonce(const Bytes& salt, const Bytes& nonce, Bytes* saltOut, Bytes* nonceOut,
                  std::string* errorOut) {
  if (salt.empty() && nonce.empty()) {
    Bytes drawn(kDrawnSaltSize + kNonceSize);
    if (RAND_bytes(drawn.data(), static_cast<int>(drawn.size())) != 1) {
      return failWith(errorOut, "salt generation failed");
    }
    const auto split = drawn.begin() + static_cast<std::ptrdiff_t>(kDrawnSaltSize);
    *saltOut = Bytes(drawn.begin(), split);
    *nonceOut = Bytes(split, drawn.end());
    return true;
  }
  *saltOut = suppliedOrDrawn(salt, kDrawnSaltSize);
  if (saltOut->empty()) {
    return failWith(errorOut, "salt generation failed");
  }
  // A supplied nonce of the wrong length is refused by the sealing.
  *nonceOut = suppliedOrDrawn(nonce, kNonceSize);
  return !nonceOut->empty() || failWith(errorOut, "nonce generation failed");
}

}  // namespace

struct FleetSealer::Key {
  const EC_GROUP* group = nullptr;  // the process's P-256 group
  EcPointPtr point;
  Bytes encoded;  // the 65-octet point, as the key derivation takes it
  Bytes domain = textToBytes(kEnvelopeDomain);  // the AEAD's additional data
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
  if (!isLowercaseHex(psk, kPskSize)) {
    return failWith(errorOut, "psk must be 64 lowercase hex characters");
  }
  if (ssid.empty()) {
    return failWith(errorOut, "ssid is empty");
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
  const Bytes ephemeralPoint = generatorMultiple(group, scalar.get(), context.get());
  if (ephemeralPoint.empty()) {
    return failWith(errorOut, "could not derive ephemeral public key");
  }

  Bytes envelopeSalt;
  Bytes envelopeNonce;
  if (!saltAndNonce(salt, nonce, &envelopeSalt, &envelopeNonce, errorOut)) {
    return false;
  }

  const Bytes sharedSecret = sharedX(group, sealer.key_->point.get(), scalar.get(), context.get());
  scalar.reset();  // cleared as soon as its last use is done
  if (sharedSecret.empty()) {
    return failWith(errorOut, "ECDH failed");
  }
  const Bytes envelopeKey = deriveEnvelopeKey(kEnvelopeDomain, sharedSecret, envelopeSalt,
                                              ephemeralPoint, sealer.key_->encoded);
  if (envelopeKey.size() != kEnvelopeKeySize) {
    return failWith(errorOut, "key derivation failed");
  }
  const Bytes sealed =
      sealPayload(envelopeKey, envelopeNonce, sealer.key_->domain, payloadJson(ssid, psk));
  if (sealed.empty()) {
    return failWith(errorOut, "sealing failed");
  }
  *envelopeOut = envelopeJson(ephemeralPoint, envelopeSalt, envelopeNonce, sealed);
  return true;
}

}  // namespace zezi
