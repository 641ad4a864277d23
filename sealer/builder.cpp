#include "sealer/builder.h"

#include "base/failure.h"
#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"
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
  if (!isLowercaseHex(psk, kPskSize)) {
    return failWith(errorOut, "psk must be 64 lowercase hex characters");
  }
  if (ssid.empty()) {
    return failWith(errorOut, "ssid is empty");
  }

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

  const Bytes envelopeSalt = suppliedOrDrawn(salt, kDrawnSaltSize);
  if (envelopeSalt.empty()) {
    return failWith(errorOut, "salt generation failed");
  }
  // A supplied nonce of the wrong length is refused by the sealing below.
  const Bytes envelopeNonce = suppliedOrDrawn(nonce, kNonceSize);
  if (envelopeNonce.empty()) {
    return failWith(errorOut, "nonce generation failed");
  }

  const Bytes sharedSecret = ecdhSharedSecret(scalar, fleetPublicKey);
  if (sharedSecret.empty()) {
    return failWith(errorOut, "ECDH failed");
  }
  const Bytes ephemeralPoint = rawToPoint(ephemeralRawKey);
  const Bytes fleetPoint = rawToPoint(fleetPublicKey);
  const Bytes envelopeKey =
      deriveEnvelopeKey(kEnvelopeDomain, sharedSecret, envelopeSalt, ephemeralPoint, fleetPoint);
  if (envelopeKey.size() != kEnvelopeKeySize) {
    return failWith(errorOut, "key derivation failed");
  }

  const Bytes sealed =
      sealPayload(envelopeKey, envelopeNonce, textToBytes(kEnvelopeDomain), payloadJson(ssid, psk));
  if (sealed.empty()) {
    return failWith(errorOut, "sealing failed");
  }
  *envelopeOut = envelopeJson(ephemeralPoint, envelopeSalt, envelopeNonce, sealed);
  return true;
}

}  // namespace zezi
