#include "sealer/envelope_parts.h"

#include <openssl/rand.h>

#include <array>
#include <numeric>

#include "base/failure.h"
#include "crypto/aead.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "crypto/p256_points.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"

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
  // The text around the five values, which go between the pieces in this order.
  constexpr std::array<std::string_view, 6> kPieces = {
      "{\n  \"format\": \"",  "\",\n  \"eph_pub\": \"", "\",\n  \"salt\": \"",
      "\",\n  \"nonce\": \"", "\",\n  \"sealed\": \"",  "\"\n}\n"};
  const std::array<std::string, 5> values = {std::string(kEnvelopeDomain),
                                             base64Encode(ephemeralPoint), base64Encode(salt),
                                             base64Encode(nonce), base64Encode(sealed)};
  const auto addSize = [](std::size_t sum, const auto& text) { return sum + text.size(); };
  const std::size_t size = std::accumulate(
      values.begin(), values.end(),
      std::accumulate(kPieces.begin(), kPieces.end(), std::size_t{0}, addSize), addSize);
  std::string envelope;
  envelope.reserve(size);
  for (std::size_t i = 0; i < values.size(); ++i) {
    envelope.append(kPieces[i]);
    envelope.append(values[i]);
  }
  envelope.append(kPieces.back());
  return envelope;
}

// The network's checks, in this order: a PSK of 64 lowercase hex characters, a non-empty
// SSID.
bool checkNetwork(std::string_view ssid, std::string_view psk, std::string* errorOut) {
  if (!isLowercaseHex(psk, kPskSize)) {
    return failWith(errorOut, "psk must be 64 lowercase hex characters");
  }
  return !ssid.empty() || failWith(errorOut, "ssid is empty");
}

// The supplied salt and nonce, or fresh ones (16 and 12 octets) for those that are empty:
// the salt first, then the nonce, each with its own message when the generator fails.
bool saltAndNonce(const Bytes& salt, const Bytes& nonce, Bytes* saltOut, Bytes* nonceOut,
                  std::string* errorOut) {
  *saltOut = suppliedOrDrawn(salt, kDrawnSaltSize);
  if (saltOut->empty()) {
    return failWith(errorOut, "salt generation failed");
  }
  *nonceOut = suppliedOrDrawn(nonce, kNonceSize);
  return !nonceOut->empty() || failWith(errorOut, "nonce generation failed");
}

}  // namespace

FleetPoint fleetPointOf(const Bytes& rawPublicKey) {
  FleetPoint fleet;
  fleet.group = p256Group();
  fleet.encoded = rawToPoint(rawPublicKey);
  if (fleet.group != nullptr) {
    fleet.point = decodePoint(fleet.group, fleet.encoded, /*context=*/nullptr);
  }
  return fleet;
}

bool sealFor(const FleetPoint& fleet, std::string_view ssid, std::string_view psk,
             std::string* envelopeOut, std::string* errorOut, const Bytes& salt, const Bytes& nonce,
             const Bytes& ephemeralScalar) {
  if (envelopeOut == nullptr) {
    return failWith(errorOut, "no output buffer");
  }
  if (!checkNetwork(ssid, psk, errorOut)) {
    return false;
  }

  const EC_GROUP* group = fleet.group;
  const bool drawn = ephemeralScalar.empty();
  // Shared by this envelope's steps; where it is null, OpenSSL makes its own.
  const BnCtxPtr context(BN_CTX_new());
  BignumPtr scalar = !drawn             ? scalarFromOctets(ephemeralScalar)
                     : group != nullptr ? drawScalar(group, context.get())
                                        : nullptr;
  if (!scalar) {
    return failWith(errorOut,
                    drawn ? "ephemeral key generation failed" : "invalid ephemeral scalar");
  }
  // eph = scalar * G
  const Bytes ephemeralPoint =
      group != nullptr ? generatorMultiple(group, scalar.get(), context.get()) : Bytes{};
  if (ephemeralPoint.empty()) {
    // A drawn key pair is made in one step, as far as its messages go.
    return failWith(errorOut, drawn ? "ephemeral key generation failed"
                                    : "could not derive ephemeral public key");
  }
  Bytes envelopeSalt;
  Bytes envelopeNonce;
  if (!saltAndNonce(salt, nonce, &envelopeSalt, &envelopeNonce, errorOut)) {
    return false;
  }
  // shared = X(scalar * fleet point)
  const Bytes sharedSecret =
      fleet.point ? sharedX(group, fleet.point.get(), scalar.get(), context.get()) : Bytes{};
  scalar.reset();  // cleared as soon as its last use is done
  if (sharedSecret.empty()) {
    return failWith(errorOut, "ECDH failed");
  }

  // key = HKDF-SHA256(ikm = shared, salt, info = domain || eph point || fleet point)
  const Bytes envelopeKey =
      deriveEnvelopeKey(kEnvelopeDomain, sharedSecret, envelopeSalt, ephemeralPoint, fleet.encoded);
  if (envelopeKey.size() != kEnvelopeKeySize) {
    return failWith(errorOut, "key derivation failed");
  }
  // sealed = AES-256-GCM(key, nonce, aad = domain, payload) = ciphertext || tag
  const Bytes sealed =
      sealPayload(envelopeKey, envelopeNonce, textToBytes(kEnvelopeDomain), payloadJson(ssid, psk));
  if (sealed.empty()) {
    return failWith(errorOut, "sealing failed");
  }
  *envelopeOut = envelopeJson(ephemeralPoint, envelopeSalt, envelopeNonce, sealed);
  return true;
}

}  // namespace zezi
