#include "crypto/signature.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"
#include "crypto/sha256.h"

namespace zezi {
namespace {

using Integer = std::array<std::uint8_t, kSignatureIntegerSize>;
using IntegerView = std::span<const std::uint8_t, kSignatureIntegerSize>;

bool isZero(IntegerView value) {
  return std::all_of(value.begin(), value.end(), [](std::uint8_t octet) { return octet == 0; });
}

// Big-endian integers of one length compare as octet strings.
bool isBelow(IntegerView value, const Integer& bound) {
  return std::lexicographical_compare(value.begin(), value.end(), bound.begin(), bound.end());
}

bool isAbove(IntegerView value, const Integer& bound) {
  return std::lexicographical_compare(bound.begin(), bound.end(), value.begin(), value.end());
}

IntegerView integerAt(const Bytes& signature, std::size_t index) {
  return IntegerView(signature.data() + index * kSignatureIntegerSize, kSignatureIntegerSize);
}

// The DER form OpenSSL verifies, built from a raw signature already found canonical.
Bytes derOf(const Bytes& signature) {
  const EcdsaSignaturePtr parts(ECDSA_SIG_new());
  BignumPtr r(BN_bin2bn(signature.data(), kSignatureIntegerSize, nullptr));
  BignumPtr s(BN_bin2bn(signature.data() + kSignatureIntegerSize, kSignatureIntegerSize, nullptr));
  if (!parts || !r || !s || ECDSA_SIG_set0(parts.get(), r.get(), s.get()) != 1) {
    return {};
  }
  // Owned by `parts` from here on.
  static_cast<void>(r.release());
  static_cast<void>(s.release());
  const int size = i2d_ECDSA_SIG(parts.get(), nullptr);
  if (size <= 0) {
    return {};
  }
  Bytes der(static_cast<std::size_t>(size));
  unsigned char* cursor = der.data();
  if (i2d_ECDSA_SIG(parts.get(), &cursor) != size) {
    return {};
  }
  return der;
}

// A context for `key`, set up by EVP_PKEY_verify_init for SHA-256 digests: the
// set-up that each call would otherwise repeat, done once.
PkeyCtxPtr preparedContext(EVP_PKEY* key) {
  PkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(/*libctx=*/nullptr, key, /*propquery=*/nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return nullptr;
  }
  return context;
}

}  // namespace

Verifier::Verifier(PkeyCtxPtr prepared) : prepared_(std::move(prepared)) {}

std::unique_ptr<Verifier> Verifier::create(const Bytes& rawPublicKey) {
  return fromKey(loadPublicKey(rawPublicKey));
}

std::unique_ptr<Verifier> Verifier::fromKey(PkeyPtr key) {
  if (!isP256Key(key.get())) {
    return nullptr;
  }
  PkeyCtxPtr prepared = preparedContext(key.get());
  if (!prepared) {
    return nullptr;
  }
  return std::unique_ptr<Verifier>(new Verifier(std::move(prepared)));
}

SignatureStatus Verifier::verify(std::span<const std::uint8_t> message,
                                 const Bytes& signature) const {
  if (!isCanonicalSignature(signature)) {
    return SignatureStatus::kNotCanonical;
  }
  const Bytes der = derOf(signature);
  Digest digest{};
  const PkeyCtxPtr context(EVP_PKEY_CTX_dup(prepared_.get()));
  if (der.empty() || !sha256(message, &digest) || !context) {
    ERR_clear_error();
    return SignatureStatus::kCannotCheck;
  }
  // valid = ECDSA-P256-verify(key, SHA-256(message), (r, s))
  const int verdict =
      EVP_PKEY_verify(context.get(), der.data(), der.size(), digest.data(), digest.size());
  if (verdict == 1) {
    return SignatureStatus::kValid;
  }
  // A refused signature leaves nothing in OpenSSL's error queue for later callers.
  ERR_clear_error();
  return verdict == 0 ? SignatureStatus::kDoesNotVerify : SignatureStatus::kCannotCheck;
}

bool isCanonicalSignature(const Bytes& signature) {
  if (signature.size() != kSignatureSize) {
    return false;
  }
  const IntegerView r = integerAt(signature, 0);
  const IntegerView s = integerAt(signature, 1);
  return !isZero(r) && isBelow(r, kP256Order) && !isZero(s) && !isAbove(s, kHalfOrder);
}

SignatureStatus verifyMessageSignature(const Bytes& rawPublicKey,
                                       std::span<const std::uint8_t> message,
                                       const Bytes& signature) {
  if (!isCanonicalSignature(signature)) {
    return SignatureStatus::kNotCanonical;
  }
  const std::unique_ptr<Verifier> verifier = Verifier::create(rawPublicKey);
  if (!verifier) {
    ERR_clear_error();
    return SignatureStatus::kCannotCheck;
  }
  return verifier->verify(message, signature);
}

}  // namespace zezi
