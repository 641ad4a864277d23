#include "selftest/self_test.h"

#include "encoding/hex.h"
#include "envelope/ecdh.h"
#include "envelope/p256_keys.h"
#include "envelope/types.h"
#include "selftest/known_answers.h"

namespace zezi {
namespace {

// Values prepared by the key-agreement stage for the envelope stage.
// The fleet key is declared before the ephemeral key so that the ephemeral key is
// released first.
struct KeyAgreementResult {
  PkeyPtr fleetKey;
  Bytes ephemeralScalar;
  Bytes salt;
  Bytes nonce;
  PkeyPtr ephemeralKey;
  Bytes fleetRawPublicKey;
  Bytes sharedSecret;
};

// Compares a computed value with its expected hex text and, on a mismatch, fails with
// "<label> mismatch: got <computed hex> expected <expected hex>".
bool checkKnownAnswer(const Bytes& computed, std::string_view expectedHex, std::string_view label,
                      std::string* error) {
  const std::string computedHex = hexEncode(computed);
  if (computedHex.size() == 2 * kSharedSecretSize && computedHex == expectedHex) {
    return true;
  }
  return failWith(error, std::string(label) + " mismatch: got " + computedHex + " expected " +
                             std::string(expectedHex));
}

}  // namespace

SelfTestInputs fixedSelfTestInputs() {
  return {kTestFleetScalarHex,      kTestEphemeralScalarHex, kTestSaltHex, kTestNonceHex,
          kExpectedSharedSecretHex, kExpectedEnvelopeKeyHex, kTestPsk};
}

bool failWith(std::string* error, std::string_view message) {
  if (error != nullptr) {
    *error = message;
  }
  return false;
}

bool runSelfTest(std::string* error) { return runSelfTestWith(fixedSelfTestInputs(), error); }

bool runSelfTestWith(const SelfTestInputs& inputs, std::string* error) {
  const Bytes fleetScalar = hexDecode(inputs.fleetScalarHex);
  KeyAgreementResult stage;
  stage.ephemeralScalar = hexDecode(inputs.ephemeralScalarHex);
  stage.salt = hexDecode(inputs.saltHex);
  stage.nonce = hexDecode(inputs.nonceHex);

  stage.fleetKey = loadPrivateKey(fleetScalar);
  if (!stage.fleetKey) {
    return failWith(error, "could not load test fleet key");
  }
  stage.fleetRawPublicKey = encodedPublicKey(stage.fleetKey.get());
  if (stage.fleetRawPublicKey.size() != kRawPublicKeySize) {
    return failWith(error, "could not derive test fleet public key");
  }
  // The sender's side of the agreement: ephemeral scalar with the fleet public key.
  stage.sharedSecret = ecdhSharedSecret(stage.ephemeralScalar, stage.fleetRawPublicKey);
  if (!checkKnownAnswer(stage.sharedSecret, inputs.expectedSharedSecretHex, "ECDH", error)) {
    return false;
  }
  stage.ephemeralKey = loadPrivateKey(stage.ephemeralScalar);
  if (!stage.ephemeralKey) {
    return failWith(error, "could not load test ephemeral key");
  }
  return true;
}

}  // namespace zezi
