// The builder on arbitrary inputs: it either fails with one of its documented messages or
// writes an envelope whose "sealed" value opens back to exactly the payload JSON.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "fuzz_check.h"
#include "fuzz_input.h"
#include "sealer/fixed_inputs.h"

namespace {

// A fleet key pair the target can open envelopes for.
const zezi::Bytes& fleetScalar() {
  static const zezi::Bytes scalar =
      zezi::hexDecode("c9afa9d845ba75166b5c215767b1d6934e50c3db36e89b127b8a622b120f6721");
  return scalar;
}

const zezi::Bytes& fleetRawPublicKey() {
  static const zezi::Bytes raw = zezi::encodedPublicKey(zezi::loadPrivateKey(fleetScalar()).get());
  return raw;
}

const std::set<std::string>& documentedMessages() {
  static const std::set<std::string> messages = {"no output buffer",
                                                 "fleet public key must be 64 raw bytes",
                                                 "psk must be 64 lowercase hex characters",
                                                 "ssid is empty",
                                                 "ephemeral key generation failed",
                                                 "invalid ephemeral scalar",
                                                 "could not derive ephemeral public key",
                                                 "salt generation failed",
                                                 "nonce generation failed",
                                                 "ECDH failed",
                                                 "key derivation failed",
                                                 "sealing failed"};
  return messages;
}

// The envelope writes canonical Base64, which the strict decoder must accept.
zezi::Bytes decoded(const nlohmann::json& fields, const char* member) {
  zezi::Bytes octets;
  FUZZ_CHECK(zezi::base64Decode(fields.at(member).get<std::string>(), &octets));
  return octets;
}

// A PSK of lowercase hex made from fuzz octets, so that most runs get past validation.
std::string lowercaseHexPsk(FuzzedDataProvider& input) {
  return zezi::hexEncode(zezi::fuzz::takeBytes(input, 32));
}

zezi::Bytes optionalBytes(FuzzedDataProvider& input, std::size_t maxSize) {
  if (input.ConsumeBool()) {
    return {};
  }
  return zezi::fuzz::takeUpTo(input, maxSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool ownFleetKey = input.ConsumeBool();
  const zezi::Bytes fleetKey = ownFleetKey ? fleetRawPublicKey() : zezi::fuzz::takeUpTo(input, 70);
  const std::string psk =
      input.ConsumeBool() ? lowercaseHexPsk(input) : input.ConsumeRandomLengthString(70);
  const zezi::Bytes salt = optionalBytes(input, 40);
  const zezi::Bytes nonce = optionalBytes(input, 16);
  const zezi::Bytes scalar = optionalBytes(input, 33);
  const std::string ssid = input.ConsumeRemainingBytesAsString();

  std::string envelope = "previous";
  std::string error = "previous";
  if (!zezi::buildEnvelope(ssid, psk, fleetKey, &envelope, &error, salt, nonce, scalar)) {
    FUZZ_CHECK(documentedMessages().count(error) == 1);
    FUZZ_CHECK(envelope == "previous");
    return 0;
  }
  FUZZ_CHECK(error == "previous");
  FUZZ_CHECK(!envelope.empty() && envelope.find('\r') == std::string::npos);
  if (fleetKey != fleetRawPublicKey()) {
    return 0;
  }

  const auto fields = nlohmann::json::parse(envelope);
  const zezi::Bytes ephemeralPoint = decoded(fields, "eph_pub");
  const zezi::Bytes envelopeSalt = decoded(fields, "salt");
  const zezi::Bytes envelopeNonce = decoded(fields, "nonce");
  const zezi::Bytes sealed = decoded(fields, "sealed");
  FUZZ_CHECK(ephemeralPoint.size() == zezi::kPointSize);
  FUZZ_CHECK(salt.empty() ? envelopeSalt.size() == zezi::kDrawnSaltSize : envelopeSalt == salt);

  const zezi::Bytes ephemeralRaw(ephemeralPoint.begin() + 1, ephemeralPoint.end());
  const zezi::Bytes key = zezi::deriveEnvelopeKey(
      zezi::kEnvelopeDomain, zezi::ecdhSharedSecret(fleetScalar(), ephemeralRaw), envelopeSalt,
      ephemeralPoint, zezi::rawToPoint(fleetRawPublicKey()));
  zezi::Bytes payload;
  FUZZ_CHECK(zezi::openPayload(key, envelopeNonce, zezi::textToBytes(zezi::kEnvelopeDomain), sealed,
                               &payload) == zezi::kOpenOk);
  const std::string expected =
      R"({"networks":[{"ssid":")" + zezi::jsonEscape(ssid) + R"(","psk":")" + psk + R"("}]})";
  FUZZ_CHECK(std::string(payload.begin(), payload.end()) == expected);
  return 0;
}
