#include "selftest/checks.h"

#include "base/failure.h"
#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "crypto/types.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "sealer/fixed_inputs.h"
#include "selftest/known_answers.h"

namespace zezi {
namespace {

constexpr std::string_view kTestSsid = "Tournament";
constexpr std::string_view kWrongDomain = "wrong-domain";

// Values of one run, shared by both stages. The fleet key is declared before the
// ephemeral key so that the ephemeral key is released first.
struct RunState {
  PkeyPtr fleetKey;
  PkeyPtr ephemeralKey;
  Bytes fleetScalar;
  Bytes ephemeralScalar;
  Bytes salt;
  Bytes nonce;
  Bytes fleetRawPublicKey;
  Bytes sharedSecret;
};

// Both known answers, the shared secret and the envelope key, are 32 octets.
constexpr std::size_t kKnownAnswerHexLength = 2 * kSharedSecretSize;
static_assert(kSharedSecretSize == kEnvelopeKeySize);

// Passes when `computed` is 32 octets whose lowercase hex equals `expectedHex`; otherwise
// fails with "<label> mismatch: got <computed hex> expected <expected hex>".
bool checkKnownAnswer(const Bytes& computed, std::string_view expectedHex, std::string_view label,
                      std::string* error) {
  const std::string computedHex = hexEncode(computed);
  if (computedHex.size() == kKnownAnswerHexLength && computedHex == expectedHex) {
    return true;
  }
  return failWith(error, std::string(label) + " mismatch: got " + computedHex + " expected " +
                             std::string(expectedHex));
}

// First stage: test keys and the key-agreement known answer.
bool checkKeyAgreement(const SelfTestInputs& inputs, RunState& run, std::string* error) {
  run.fleetScalar = hexDecode(inputs.fleetScalarHex);
  run.ephemeralScalar = hexDecode(inputs.ephemeralScalarHex);
  run.salt = hexDecode(inputs.saltHex);
  run.nonce = hexDecode(inputs.nonceHex);

  run.fleetKey = loadPrivateKey(run.fleetScalar);
  if (!run.fleetKey) {
    return failWith(error, "could not load test fleet key");
  }
  run.fleetRawPublicKey = encodedPublicKey(run.fleetKey.get());
  if (run.fleetRawPublicKey.size() != kRawPublicKeySize) {
    return failWith(error, "could not derive test fleet public key");
  }
  // The sender's side of the agreement; an empty result shows as a mismatch.
  run.sharedSecret = ecdhSharedSecret(run.ephemeralScalar, run.fleetRawPublicKey);
  if (!checkKnownAnswer(run.sharedSecret, inputs.expectedSharedSecretHex, "ECDH", error)) {
    return false;
  }
  run.ephemeralKey = loadPrivateKey(run.ephemeralScalar);
  if (!run.ephemeralKey) {
    return failWith(error, "could not load test ephemeral key");
  }
  return true;
}

// The texts are appended piece by piece: g++ 12 at -O2 and above warns falsely about
// chains of operator+ that begin with a literal (its -Wrestrict false positive).
std::string quoted(std::string_view text) {
  std::string result;
  result.reserve(text.size() + 2);
  result.append("\"").append(text).append("\"");
  return result;
}

// `"<key>": "<value>"` as the envelope writes a member.
std::string memberNeedle(std::string_view key, const std::string& value) {
  return quoted(key).append(": ").append(quoted(value));
}

// Second stage: derivation known answer, the envelope, the expected payload sealed here and
// opened by openPayload (the device's AEAD step), and the envelope text itself.
bool checkEnvelope(const SelfTestInputs& inputs, const RunState& run, std::string* error) {
  const Bytes ephemeralPoint = rawToPoint(encodedPublicKey(run.ephemeralKey.get()));
  const Bytes fleetPoint = rawToPoint(run.fleetRawPublicKey);
  const Bytes envelopeKey =
      deriveEnvelopeKey(kEnvelopeDomain, run.sharedSecret, run.salt, ephemeralPoint, fleetPoint);
  if (!checkKnownAnswer(envelopeKey, inputs.expectedEnvelopeKeyHex, "derived key", error)) {
    return false;
  }

  std::string envelope;
  std::string builderError;
  if (!buildEnvelope(kTestSsid, inputs.psk, run.fleetRawPublicKey, &envelope, &builderError,
                     run.salt, run.nonce, run.ephemeralScalar)) {
    return failWith(error, "buildEnvelope failed: " + builderError);
  }

  // The payload carries the PSK, so it is built as Bytes, which are cleansed on release.
  Bytes expectedPayload = textToBytes(R"({"networks":[{"ssid":")");
  for (const std::string_view piece :
       {kTestSsid, std::string_view(R"(","psk":")"), inputs.psk, std::string_view(R"("}]})")}) {
    expectedPayload.insert(expectedPayload.end(), piece.begin(), piece.end());
  }
  const Bytes domain = textToBytes(kEnvelopeDomain);
  const Bytes referenceSealing = sealPayload(envelopeKey, run.nonce, domain, expectedPayload);

  Bytes opened;
  const OpenStatus status = openPayload(envelopeKey, run.nonce, domain, referenceSealing, &opened);
  if (status != kOpenOk) {
    return failWith(error, std::string("payload opening refused our sealed payload: ") +
                               openStatusText(status));
  }
  if (opened != expectedPayload) {
    return failWith(error, "round-trip payload mismatch");
  }
  Bytes openedUnderWrongDomain;
  if (openPayload(envelopeKey, run.nonce, textToBytes(kWrongDomain), referenceSealing,
                  &openedUnderWrongDomain) == kOpenOk) {
    return failWith(error, "ciphertext opened under the wrong domain");
  }

  const auto envelopeContains = [&envelope](std::string_view needle) {
    return envelope.find(needle) != std::string::npos;
  };
  for (const std::string_view key : {"format", "eph_pub", "salt", "nonce", "sealed"}) {
    const std::string quotedKey = quoted(key);
    if (!envelopeContains(quotedKey)) {
      return failWith(error, "envelope is missing field " + quotedKey);
    }
  }
  if (!envelopeContains(memberNeedle("salt", base64Encode(run.salt)))) {
    return failWith(error, "envelope salt is not the salt supplied to buildEnvelope");
  }
  if (!envelopeContains(memberNeedle("nonce", base64Encode(run.nonce)))) {
    return failWith(error, "envelope nonce is not the nonce supplied to buildEnvelope");
  }
  if (!envelopeContains(memberNeedle("sealed", base64Encode(referenceSealing)))) {
    return failWith(error, "envelope ciphertext does not match the sealed payload");
  }
  return true;
}

}  // namespace

SelfTestInputs fixedSelfTestInputs() {
  return {kTestFleetScalarHex,      kTestEphemeralScalarHex, kTestSaltHex, kTestNonceHex,
          kExpectedSharedSecretHex, kExpectedEnvelopeKeyHex, kTestPsk};
}

bool runSelfTest(std::string* error) {
  return runSelfTestWith(fixedSelfTestInputs(), error);
}

bool runSelfTestWith(const SelfTestInputs& inputs, std::string* error) {
  RunState run;
  return checkKeyAgreement(inputs, run, error) && checkEnvelope(inputs, run, error);
}

}  // namespace zezi
