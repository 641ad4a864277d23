#include "sealer/signature_file.h"

#include <memory>

#include "base/failure.h"
#include "crypto/p256_keys.h"
#include "crypto/sha256.h"
#include "crypto/signer.h"
#include "crypto/statement.h"
#include "encoding/base64.h"
#include "sealer/signing_key.h"

namespace zezi {
namespace {

// Five lines: braces around the three members, each `  "key": "value"`, like an envelope.
std::string signatureFileText(const Bytes& statement, const Bytes& signature) {
  std::string text;
  text.append("{\n  \"format\": \"");
  text.append(kSignatureDomain);
  text.append("\",\n  \"statement\": \"");
  text.append(base64Encode(statement));
  text.append("\",\n  \"signature\": \"");
  text.append(base64Encode(signature));
  text.append("\"\n}\n");
  return text;
}

}  // namespace

bool makeSignatureFile(const Bytes& signerScalar, const Bytes& fleetRawPublicKey,
                       std::string_view envelope, const SignatureTerms& terms,
                       std::string* signatureFileOut, std::string* errorOut) {
  if (signatureFileOut == nullptr) {
    return failWith(errorOut, "no output for the signature file");
  }
  if (!isUsableScalar(signerScalar)) {
    return failWith(errorOut, "signer private key is not a valid P-256 scalar");
  }
  const std::unique_ptr<Signer> signer = Signer::create(signerScalar);
  if (!signer) {
    return failWith(errorOut, "signing failed");
  }
  return makeSignatureFile(*signer, fleetRawPublicKey, envelope, terms, signatureFileOut, errorOut);
}

bool makeSignatureFile(const Signer& signer, const Bytes& fleetRawPublicKey,
                       std::string_view envelope, const SignatureTerms& terms,
                       std::string* signatureFileOut, std::string* errorOut) {
  if (signatureFileOut == nullptr) {
    return failWith(errorOut, "no output for the signature file");
  }
  if (!loadPublicKey(fleetRawPublicKey)) {
    return failWith(errorOut, "fleet public key is not a P-256 point");
  }
  if (signer.rawPublicKey() == fleetRawPublicKey) {
    // Every device holds the fleet private key, so it must never be able to sign.
    return failWith(errorOut, "signer key is the fleet key");
  }
  if (terms.serial == 0) {
    return failWith(errorOut, "serial must be at least 1");
  }
  if (terms.expiresAt <= terms.issuedAt) {
    return failWith(errorOut, "expiry must be later than the issue time");
  }
  Statement statement;
  statement.serial = terms.serial;
  statement.issuedAt = terms.issuedAt;
  statement.expiresAt = terms.expiresAt;
  // ids = SHA-256 of each key's point; envelope digest = SHA-256(envelope)
  if (!keyIdOf(signer.rawPublicKey(), &statement.signerKeyId) ||
      !keyIdOf(fleetRawPublicKey, &statement.fleetId) ||
      !sha256(envelope, &statement.envelopeSha256)) {
    return failWith(errorOut, "signing failed");
  }
  // signature = ECDSA-P256-SHA256(signer, domain || 0x00 || statement), low s
  const Bytes octets = encodeStatement(statement);
  const Bytes message = signedMessage(octets);
  const Bytes signature = signer.sign(message);
  // A fault while signing must not leave the signer's hands as a signature.
  if (signature.empty() ||
      signer.verifier().verify(message, signature) != SignatureStatus::kValid) {
    return failWith(errorOut, "signing failed");
  }
  *signatureFileOut = signatureFileText(octets, signature);
  return true;
}

}  // namespace zezi
