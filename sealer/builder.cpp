#include "sealer/builder.h"

#include "base/failure.h"
#include "crypto/ecdh.h"
#include "crypto/p256_keys.h"
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
  if (!checkNetwork(ssid, psk, errorOut)) {
    return false;
  }

  // The ephemeral key pair and the agreement through OpenSSL's EVP keys (EVP_PKEY_keygen,
  // EVP_PKEY_derive), as the format's sealing names them; FleetSealer does the same on points.
  Bytes scalar;
  Bytes ephemeralRawKey;
  if (ephemeralScalar.empty()) {
    if (!generateEphemeralKey(&scalar, &ephemeralRawKey)) {
      return failWith(errorOut, "ephemeral key generation failed");
    }
  } else {
    scalar = ephemeralScalar;
    const PkeyPtr ephemeralKey = loadPrivateKey(scalar);
    if (!ephemeralKey) {
      return failWith(errorOut, "invalid ephemeral scalar");
    }
    ephemeralRawKey = encodedPublicKey(ephemeralKey.get());
    if (ephemeralRawKey.size() != kRawPublicKeySize) {
      return failWith(errorOut, "could not derive ephemeral public key");
    }
  }

  AgreedEnvelope agreed;
  if (!saltAndNonce(salt, nonce, &agreed.salt, &agreed.nonce, errorOut, Draws::kSaltThenNonce)) {
    return false;
  }
  agreed.sharedSecret = ecdhSharedSecret(scalar, fleetPublicKey);
  if (agreed.sharedSecret.empty()) {
    return failWith(errorOut, "ECDH failed");
  }
  agreed.ephemeralPoint = rawToPoint(ephemeralRawKey);
  return finishEnvelope(agreed, rawToPoint(fleetPublicKey), ssid, psk, envelopeOut, errorOut);
}

}  // namespace zezi
