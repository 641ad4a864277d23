// Signing with ECDSA over P-256 and SHA-256, in the raw low-s form of crypto/signature.h.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "base/ossl_owners.h"
#include "crypto/signature.h"
#include "crypto/types.h"

namespace zezi {

class KeyReference;

// Signs `message` with a 32-octet scalar loaded for this one call: Signer::create(scalar)
// and sign(). Empty when the scalar is outside [1, n - 1] or OpenSSL fails.
[[nodiscard]] Bytes signMessage(const Bytes& signerScalar, std::span<const std::uint8_t> message);

// A P-256 private key loaded once for many signatures, as the fleet sealer holds the fleet
// key. The key can come from anywhere OpenSSL loads keys (a scalar, a file, a provider that
// keeps it in hardware); sign() is const and keeps its working state to itself, so one
// signer may be used by any number of threads at once.
class Signer {
 public:
  // The signer of a 32-octet scalar; null unless it is in [1, n - 1].
  [[nodiscard]] static std::unique_ptr<Signer> create(const Bytes& scalar);
  // The signer of a P-256 private key from anywhere; null for any other key.
  [[nodiscard]] static std::unique_ptr<Signer> fromKey(PkeyPtr key);
  // The signer of a key a provider holds (crypto/key_reference.h): each signature is made
  // there, through EVP_DigestSign, and brought to the low-s form here. Null when null.
  [[nodiscard]] static std::unique_ptr<Signer> fromReference(
      std::shared_ptr<const KeyReference> reference);

  // r || s of `message` (hashed with SHA-256 here), with s in the low half; empty when
  // OpenSSL fails.
  [[nodiscard]] Bytes sign(std::span<const std::uint8_t> message) const;

  // The 64-octet raw public key, and a verifier of it, for checking a signature before it
  // is handed out.
  [[nodiscard]] const Bytes& rawPublicKey() const { return rawPublicKey_; }
  [[nodiscard]] const Verifier& verifier() const { return *verifier_; }

 private:
  Signer(PkeyCtxPtr prepared, std::shared_ptr<const KeyReference> reference, Bytes rawPublicKey,
         std::unique_ptr<Verifier> verifier);

  PkeyCtxPtr prepared_;  // signing set up once for SHA-256, duplicated for each call
  std::shared_ptr<const KeyReference> reference_;  // or the provider's key, when set
  Bytes rawPublicKey_;
  std::unique_ptr<Verifier> verifier_;
};

}  // namespace zezi
