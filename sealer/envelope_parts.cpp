#include "sealer/envelope_parts.h"

#include <openssl/rand.h>

#include <array>
#include <numeric>

#include "encoding/base64.h"
#include "encoding/json_escape.h"

namespace zezi {

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

}  // namespace zezi
