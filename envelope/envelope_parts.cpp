#include "envelope/envelope_parts.h"

#include <openssl/rand.h>

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

}  // namespace zezi
