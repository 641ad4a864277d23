#include "sealer/envelope_parts.h"

#include <openssl/rand.h>

#include <array>
#include <numeric>

#include "base/failure.h"
#include "crypto/aead.h"
#include "crypto/kdf.h"
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

}  // namespace

bool checkNetwork(std::string_view ssid, std::string_view psk, std::string* errorOut) {
  if (!isLowercaseHex(psk, kPskSize)) {
    return failWith(errorOut, "psk must be 64 lowercase hex characters");
  }
  return !ssid.empty() || failWith(errorOut, "ssid is empty");
}

bool saltAndNonce(const Bytes& salt, const Bytes& nonce, Bytes* saltOut, Bytes* nonceOut,
                  std::string* errorOut, Draws draws) {
  if (draws == Draws::kOneCall && salt.empty() && nonce.empty()) {
    // One call to the generator costs as much as each of two.
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
  *nonceOut = suppliedOrDrawn(nonce, kNonceSize);
  return !nonceOut->empty() || failWith(errorOut, "nonce generation failed");
}

bool finishEnvelope(const AgreedEnvelope& agreed, const Bytes& fleetPoint, std::string_view ssid,
                    std::string_view psk, std::string* envelopeOut, std::string* errorOut) {
  const Bytes envelopeKey = deriveEnvelopeKey(kEnvelopeDomain, agreed.sharedSecret, agreed.salt,
                                              agreed.ephemeralPoint, fleetPoint);
  if (envelopeKey.size() != kEnvelopeKeySize) {
    return failWith(errorOut, "key derivation failed");
  }
  const Bytes sealed =
      sealPayload(envelopeKey, agreed.nonce, textToBytes(kEnvelopeDomain), payloadJson(ssid, psk));
  if (sealed.empty()) {
    return failWith(errorOut, "sealing failed");
  }
  *envelopeOut = envelopeJson(agreed.ephemeralPoint, agreed.salt, agreed.nonce, sealed);
  return true;
}

}  // namespace zezi
