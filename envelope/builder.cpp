#include "envelope/builder.h"

#include <openssl/rand.h>

#include "base/failure.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "envelope/ecdh.h"
#include "envelope/kdf.h"
#include "envelope/p256_keys.h"
#include "envelope/seal.h"

namespace zezi {
namespace {

// The supplied value, or `drawnSize` fresh random octets when it is empty; empty when the
// generator fails.
Bytes suppliedOrDrawn(const Bytes& supplied, std::size_t drawnSize) {
  if (!supplied.empty()) {
    return supplied;
  }
  Bytes drawn(drawnSize);
  if (RAND_bytes(drawn.data(), static_cast<int>(drawn.size())) != 1) {
    return {};
  }
  return drawn;
}

// The plaintext {"networks":[{"ssid":"<escaped ssid>","psk":"<psk>"}]}, with no white
// space. Built as Bytes because it holds the PSK.
Bytes payloadJson(std::string_view ssid, std::string_view psk) {
  constexpr std::string_view kBeforeSsid = R"({"networks":[{"ssid":")";
  constexpr std::string_view kBeforePsk = R"(","psk":")";
  constexpr std::string_view kAfterPsk = R"("}]})";
  const std::string escapedSsid = jsonEscape(ssid);
  Bytes payload;
  payload.reserve(kBeforeSsid.size() + escapedSsid.size() + kBeforePsk.size() + psk.size() +
                  kAfterPsk.size());
  for (const std::string_view piece :
       {kBeforeSsid, std::string_view(escapedSsid), kBeforePsk, psk, kAfterPsk}) {
    payload.insert(payload.end(), piece.begin(), piece.end());
  }
  return payload;
}

// Seven lines: braces around the five members, each `  "key": "value"`.
std::string envelopeJson(const Bytes& ephemeralPoint, const Bytes& salt, const Bytes& nonce,
                         const Bytes& sealed) {
  std::string envelope;
  envelope.append("{\n  \"format\": \"");
  envelope.append(kEnvelopeDomain);
  envelope.append("\",\n  \"eph_pub\": \"");
  envelope.append(base64Encode(ephemeralPoint));
  envelope.append("\",\n  \"salt\": \"");
  envelope.append(base64Encode(salt));
  envelope.append("\",\n  \"nonce\": \"");
  envelope.append(base64Encode(nonce));
  envelope.append("\",\n  \"sealed\": \"");
  envelope.append(base64Encode(sealed));
  envelope.append("\"\n}\n");
  return envelope;
}

}  // namespace

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
