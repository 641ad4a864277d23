#include "crypto/signer.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

#include "crypto/key_reference.h"
#include "crypto/p256_keys.h"
#include "crypto/sha256.h"

namespace zezi {
namespace {

// The longest DER form of a P-256 signature: two 33-octet integers and their headers.
constexpr std::size_t kMaxDerSignatureSize = 72;
constexpr unsigned kOctetMask = 0xff;

// value = n - value, for 0 < value < n.
void subtractFromOrder(std::span<std::uint8_t, kSignatureIntegerSize> value) {
  unsigned borrow = 0;
  for (std::size_t i = value.size(); i-- > 0;) {
    const unsigned subtrahend = value[i] + borrow;
    borrow = subtrahend > kP256Order[i] ? 1 : 0;
    value[i] =
        static_cast<std::uint8_t>((kP256Order[i] + (borrow << 8U) - subtrahend) & kOctetMask);
  }
}

// A context for `key`, set up by EVP_PKEY_sign_init for SHA-256 digests: the
// set-up that each call would otherwise repeat, done once.
PkeyCtxPtr preparedContext(EVP_PKEY* key) {
  PkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(/*libctx=*/nullptr, key, /*propquery=*/nullptr));
  if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
    return nullptr;
  }
  return context;
}

// r || s of a DER signature, with s moved to the low half; empty when it is not one.
Bytes rawLowS(const Bytes& der) {
  const unsigned char* cursor = der.data();
  const EcdsaSignaturePtr parts(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
  if (!parts) {
    return {};
  }
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(parts.get(), &r, &s);
  Bytes signature(kSignatureSize);
  if (BN_bn2binpad(r, signature.data(), kSignatureIntegerSize) != kSignatureIntegerSize ||
      BN_bn2binpad(s, signature.data() + kSignatureIntegerSize, kSignatureIntegerSize) !=
          kSignatureIntegerSize) {
    return {};
  }
  // (r, s) and (r, n - s) both verify; only the low one is ever written.
  const auto sOctets = signature.begin() + kSignatureIntegerSize;
  if (std::lexicographical_compare(kHalfOrder.begin(), kHalfOrder.end(), sOctets,
                                   signature.end())) {
    subtractFromOrder(std::span<std::uint8_t, kSignatureIntegerSize>(
        signature.data() + kSignatureIntegerSize, kSignatureIntegerSize));
  }
  return signature;
}

}  // namespace

Bytes signMessage(const Bytes& signerScalar, std::span<const std::uint8_t> message) {
  const std::unique_ptr<Signer> signer = Signer::create(signerScalar);
  return signer ? signer->sign(message) : Bytes{};
}

Signer::Signer(PkeyCtxPtr prepared, std::shared_ptr<const KeyReference> reference,
               Bytes rawPublicKey, std::unique_ptr<Verifier> verifier)
    : prepared_(std::move(prepared)),
      reference_(std::move(reference)),
      rawPublicKey_(std::move(rawPublicKey)),
      verifier_(std::move(verifier)) {}

std::unique_ptr<Signer> Signer::create(const Bytes& scalar) {
  return fromKey(loadPrivateKey(scalar));
}

std::unique_ptr<Signer> Signer::fromKey(PkeyPtr key) {
  if (!isP256Key(key.get())) {
    return nullptr;
  }
  PkeyCtxPtr prepared = preparedContext(key.get());
  Bytes publicKey = encodedPublicKey(key.get());
  std::unique_ptr<Verifier> ownVerifier = Verifier::fromKey(std::move(key));
  if (!prepared || publicKey.size() != kRawPublicKeySize || !ownVerifier) {
    return nullptr;
  }
  return std::unique_ptr<Signer>(new Signer(std::move(prepared), /*reference=*/nullptr,
                                            std::move(publicKey), std::move(ownVerifier)));
}

std::unique_ptr<Signer> Signer::fromReference(std::shared_ptr<const KeyReference> reference) {
  if (!reference) {
    return nullptr;
  }
  // Checked with the public key in the default provider, apart from where it was made.
  std::unique_ptr<Verifier> ownVerifier = Verifier::create(reference->rawPublicKey());
  if (!ownVerifier) {
    return nullptr;
  }
  Bytes publicKey = reference->rawPublicKey();
  return std::unique_ptr<Signer>(new Signer(/*prepared=*/nullptr, std::move(reference),
                                            std::move(publicKey), std::move(ownVerifier)));
}

Bytes Signer::sign(std::span<const std::uint8_t> message) const {
  if (reference_) {
    const Bytes der = reference_->signDer(message);
    return der.size() > kMaxDerSignatureSize ? Bytes{} : rawLowS(der);
  }
  Digest digest{};
  if (!sha256(message, &digest)) {
    return {};
  }
  const PkeyCtxPtr context(EVP_PKEY_CTX_dup(prepared_.get()));
  // (r, s) = ECDSA-P256-sign(key, SHA-256(message)), then s made n - s when it is high
  Bytes der(kMaxDerSignatureSize);
  std::size_t derSize = der.size();
  if (!context ||
      EVP_PKEY_sign(context.get(), der.data(), &derSize, digest.data(), digest.size()) != 1 ||
      derSize > der.size()) {
    ERR_clear_error();
    return {};
  }
  der.resize(derSize);
  return rawLowS(der);
}

}  // namespace zezi
