#include "selftest/device_checks.h"

#include <array>
#include <string_view>

#include "base/failure.h"
#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "crypto/types.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "opener/open_envelope.h"
#include "selftest/known_answers.h"

namespace zezi {
namespace {

constexpr std::string_view kTestSsid = "Tournament";

bool matches(const Bytes& computed, std::string_view expectedHex, std::string_view label,
             std::string* error) {
  return hexEncode(computed) == expectedHex ||
         failWith(error, std::string(label).append(" mismatch: got ").append(hexEncode(computed)));
}

// The envelope's seven lines around its five members, assembled here rather than by the
// sealer, which a device does not carry.
std::string assembledEnvelope(const Bytes& ephemeralPoint, const Bytes& salt, const Bytes& nonce,
                              const Bytes& sealed) {
  const std::array<std::string_view, 5> keys = {"format", "eph_pub", "salt", "nonce", "sealed"};
  const std::array<std::string, 5> values = {std::string(kEnvelopeDomain),
                                             base64Encode(ephemeralPoint), base64Encode(salt),
                                             base64Encode(nonce), base64Encode(sealed)};
  std::string envelope = "{\n";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    envelope.append("  \"").append(keys[i]).append("\": \"").append(values[i]).append("\"");
    envelope.append(i + 1 < keys.size() ? ",\n" : "\n");
  }
  return envelope.append("}\n");
}

}  // namespace

bool runDeviceSelfTest(std::string* error) {
  const Bytes fleetScalar = hexDecode(kTestFleetScalarHex);
  const Bytes ephemeralScalar = hexDecode(kTestEphemeralScalarHex);
  const Bytes salt = hexDecode(kTestSaltHex);
  const Bytes nonce = hexDecode(kTestNonceHex);
  const PkeyPtr fleetKey = loadPrivateKey(fleetScalar);
  const PkeyPtr ephemeralKey = loadPrivateKey(ephemeralScalar);
  if (!fleetKey || !ephemeralKey) {
    return failWith(error, "could not load the test keys");
  }
  const Bytes fleetRaw = encodedPublicKey(fleetKey.get());
  const Bytes ephemeralRaw = encodedPublicKey(ephemeralKey.get());

  // The device's direction: the fleet scalar with the envelope's ephemeral point.
  const Bytes shared = ecdhSharedSecret(fleetScalar, ephemeralRaw);
  if (!matches(shared, kExpectedSharedSecretHex, "ECDH", error)) {
    return false;
  }
  const Bytes ephemeralPoint = rawToPoint(ephemeralRaw);
  const Bytes key =
      deriveEnvelopeKey(kEnvelopeDomain, shared, salt, ephemeralPoint, rawToPoint(fleetRaw));
  if (!matches(key, kExpectedEnvelopeKeyHex, "derived key", error)) {
    return false;
  }

  Bytes payload = textToBytes(R"({"networks":[{"ssid":")");
  for (const std::string_view piece :
       {kTestSsid, std::string_view(R"(","psk":")"), kTestPsk, std::string_view(R"("}]})")}) {
    payload.insert(payload.end(), piece.begin(), piece.end());
  }
  Bytes sealed = sealPayload(key, nonce, textToBytes(kEnvelopeDomain), payload);
  if (sealed.empty()) {
    return failWith(error, "could not seal the test payload");
  }
  Network network;
  std::string why;
  if (!openEnvelope(assembledEnvelope(ephemeralPoint, salt, nonce, sealed), fleetScalar, &network,
                    &why)) {
    return failWith(error, "the known envelope did not open: " + why);
  }
  if (network.ssid != kTestSsid || network.psk != kTestPsk) {
    return failWith(error, "the known envelope opened to another network");
  }
  sealed.back() ^= 1U;
  if (openEnvelope(assembledEnvelope(ephemeralPoint, salt, nonce, sealed), fleetScalar, &network,
                   nullptr)) {
    return failWith(error, "a tampered envelope opened");
  }
  return true;
}

}  // namespace zezi
