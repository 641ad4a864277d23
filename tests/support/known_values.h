// The self-test's fixed inputs and answers as octets, with the values derived from them,
// for tests that run each operation on one known set of values.
#pragma once

#include <string_view>

#include "encoding/hex.h"
#include "envelope/builder.h"
#include "envelope/p256_keys.h"
#include "envelope/seal.h"
#include "envelope/types.h"
#include "selftest/known_answers.h"

namespace zezi::testing {

struct KnownValues {
  static constexpr std::string_view kSsid = "Tournament";

  Bytes fleetScalar = hexDecode(kTestFleetScalarHex);
  Bytes ephemeralScalar = hexDecode(kTestEphemeralScalarHex);
  Bytes salt = hexDecode(kTestSaltHex);
  Bytes nonce = hexDecode(kTestNonceHex);
  Bytes sharedSecret = hexDecode(kExpectedSharedSecretHex);
  Bytes envelopeKey = hexDecode(kExpectedEnvelopeKeyHex);
  Bytes domain = textToBytes(kEnvelopeDomain);
  Bytes payload;  // {"networks":[{"ssid":"Tournament","psk":"<kTestPsk>"}]}
  Bytes fleetRawPublicKey;
  Bytes ephemeralPoint;
  Bytes fleetPoint;
  Bytes sealed;  // the payload sealed under the envelope key

  KnownValues() {
    // Built as Bytes, which are cleansed on release, because it holds the PSK.
    for (const std::string_view piece :
         {std::string_view(R"({"networks":[{"ssid":")"), kSsid, std::string_view(R"(","psk":")"),
          kTestPsk, std::string_view(R"("}]})")}) {
      payload.insert(payload.end(), piece.begin(), piece.end());
    }
    fleetRawPublicKey = encodedPublicKey(loadPrivateKey(fleetScalar).get());
    ephemeralPoint = rawToPoint(encodedPublicKey(loadPrivateKey(ephemeralScalar).get()));
    fleetPoint = rawToPoint(fleetRawPublicKey);
    sealed = sealPayload(envelopeKey, nonce, domain, payload);
  }
};

}  // namespace zezi::testing
