// ECDSA over P-256 with SHA-256, the one signature algorithm of signed envelopes, and its
// verification. Signatures are raw r || s, each 32 octets big-endian, and only the low-s
// form is valid. Signing is crypto/signer.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/ossl_owners.h"
#include "crypto/types.h"

namespace zezi {

inline constexpr std::size_t kSignatureIntegerSize = 32;
inline constexpr std::size_t kSignatureSize = 2 * kSignatureIntegerSize;

// (n - 1) / 2, the largest s of the low half, big-endian.
inline constexpr std::array<std::uint8_t, kSignatureIntegerSize> kHalfOrder = {
    0x7f, 0xff, 0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xde, 0x73, 0x7d, 0x56, 0xd3, 0x8b, 0xcf, 0x42, 0x79, 0xdc, 0xe5, 0x61, 0x7e, 0x31, 0x92, 0xa8};

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

// Checks a raw signature over `message` under a 64-octet raw public key loaded for this
// one call (Verifier::create and verify()); kNotCanonical comes before any look at the key.
[[nodiscard]] SignatureStatus verifyMessageSignature(const Bytes& rawPublicKey,
                                                     std::span<const std::uint8_t> message,
                                                     const Bytes& signature);

}  // namespace zezi
