// The self-test's fixed inputs and answers as octets, with the values derived from them,
// for the tests and benchmarks that run each operation on one known set of values.
#pragma once

#include <string>
#include <string_view>

#include "crypto/aead.h"
#include "crypto/p256_keys.h"
#include "crypto/types.h"
#include "encoding/hex.h"
#include "sealer/fixed_inputs.h"
#include "selftest/known_answers.h"

namespace zezi::testing {

struct KnownValues {
  static constexpr std::string_view kSsid = "Tournament";
  static constexpr std::string_view kPsk = kTestPsk;

  Bytes fleetScalar = hexDecode(kTestFleetScalarHex);
  Bytes ephemeralScalar = hexDecode(kTestEphemeralScalarHex);
  Bytes salt = hexDecode(kTestSaltHex);
  Bytes nonce = hexDecode(kTestNonceHex);
  Bytes sharedSecret = hexDecode(kExpectedSharedSecretHex);
  Bytes envelopeKey = hexDecode(kExpectedEnvelopeKeyHex);
  Bytes domain = textToBytes(kEnvelopeDomain);
  Bytes payload;  // {"networks":[{"ssid":"Tournament","psk":"<kTestPsk>"}]}
  Bytes fleetRawPublicKey;
  Bytes ephemeralRawPublicKey;
  Bytes ephemeralPoint;
  Bytes fleetPoint;
  Bytes sealed;          // the payload sealed under the envelope key
  std::string envelope;  // the builder's envelope of kSsid and kPsk with the values above

  KnownValues() {
    // Built as Bytes, which are cleansed on release, because it holds the PSK.
    for (const std::string_view piece :
         {std::string_view(R"({"networks":[{"ssid":")"), kSsid, std::string_view(R"(","psk":")"),
          kPsk, std::string_view(R"("}]})")}) {
      payload.insert(payload.end(), piece.begin(), piece.end());
    }
    fleetRawPublicKey = encodedPublicKey(loadPrivateKey(fleetScalar).get());
    ephemeralRawPublicKey = encodedPublicKey(loadPrivateKey(ephemeralScalar).get());
    ephemeralPoint = rawToPoint(ephemeralRawPublicKey);
    fleetPoint = rawToPoint(fleetRawPublicKey);
    sealed = sealPayload(envelopeKey, nonce, domain, payload);
    if (!buildEnvelope(kSsid, kPsk, fleetRawPublicKey, &envelope, nullptr, salt, nonce,
                       ephemeralScalar)) {
      envelope.clear();
    }
  }
};

// The values, computed on first use and shared by every test of a program.
inline const KnownValues& knownValues() {
  static const KnownValues values;
  return values;
}

}  // namespace zezi::testing
