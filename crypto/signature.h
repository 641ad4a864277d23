// ECDSA over P-256 with SHA-256, the one signature algorithm of signed envelopes.
// Signatures are raw r || s, each 32 octets big-endian, and only the low-s form is valid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "base/ossl_owners.h"
#include "crypto/types.h"

namespace zezi {

class KeyReference;

inline constexpr std::size_t kSignatureIntegerSize = 32;
inline constexpr std::size_t kSignatureSize = 2 * kSignatureIntegerSize;

// SHA-256 of `octets`; false (and `*digestOut` untouched) only when OpenSSL fails.
[[nodiscard]] bool sha256(std::span<const std::uint8_t> octets, Digest* digestOut);
[[nodiscard]] bool sha256(std::string_view octets, Digest* digestOut);

// Signs `message` with a 32-octet scalar loaded for this one call: Signer::create(scalar)
// and sign(). Empty when the scalar is outside [1, n - 1] or OpenSSL fails.
[[nodiscard]] Bytes signMessage(const Bytes& signerScalar, std::span<const std::uint8_t> message);

// Whether `signature` is 64 octets with 1 <= r < n and 1 <= s <= (n - 1) / 2.
[[nodiscard]] bool isCanonicalSignature(const Bytes& signature);

enum class SignatureStatus : std::uint8_t {
  kValid,
  kNotCanonical,   // wrong length, r or s out of range, or s in the high half
  kDoesNotVerify,  // well formed, but not a signature of this message by this key
  kCannotCheck,    // the public key is not a P-256 point, or OpenSSL failed
};

// A P-256 public key loaded once for many verifications, as a trust list holds its
// signers. verify() is const and keeps its working state to itself, so one verifier may be
// used by any number of threads at once.
class Verifier {
 public:
  // The verifier of a 64-octet raw public key; null for any other length or a point off the
  // curve.
  [[nodiscard]] static std::unique_ptr<Verifier> create(const Bytes& rawPublicKey);
  // The verifier of a P-256 key from anywhere (its private half, if any, is not used);
  // null for any other key.
  [[nodiscard]] static std::unique_ptr<Verifier> fromKey(PkeyPtr key);

  // Checks a raw signature over `message`, first its canonical form, then the signature.
  [[nodiscard]] SignatureStatus verify(std::span<const std::uint8_t> message,
                                       const Bytes& signature) const;

 private:
  explicit Verifier(PkeyCtxPtr prepared);

  PkeyCtxPtr prepared_;  // verification set up once for SHA-256, duplicated for each call
};

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

// Checks a raw signature over `message` under a 64-octet raw public key loaded for this
// one call (Verifier::create and verify()); kNotCanonical comes before any look at the key.
[[nodiscard]] SignatureStatus verifyMessageSignature(const Bytes& rawPublicKey,
                                                     std::span<const std::uint8_t> message,
                                                     const Bytes& signature);

}  // namespace zezi
