#include "crypto/signature.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/ossl_owners.h"
#include "crypto/key_reference.h"
#include "crypto/p256_keys.h"

namespace zezi {
namespace {

using Integer = std::array<std::uint8_t, kSignatureIntegerSize>;
using IntegerView = std::span<const std::uint8_t, kSignatureIntegerSize>;

// (n - 1) / 2, the largest s of the low half.
constexpr Integer kHalfOrder = {0x7f, 0xff, 0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x7f, 0xff, 0xff,
                                0xff, 0xff, 0xff, 0xff, 0xff, 0xde, 0x73, 0x7d, 0x56, 0xd3, 0x8b,
                                0xcf, 0x42, 0x79, 0xdc, 0xe5, 0x61, 0x7e, 0x31, 0x92, 0xa8};

// The longest DER form of a P-256 signature: two 33-octet integers and their headers.
constexpr std::size_t kMaxDerSignatureSize = 72;
constexpr unsigned kOctetMask = 0xff;

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

// A context for `key`, set up by `init` (EVP_PKEY_sign_init or EVP_PKEY_verify_init) for
// SHA-256 digests: the set-up that each call would otherwise repeat, done once.
PkeyCtxPtr preparedContext(EVP_PKEY* key, int (*init)(EVP_PKEY_CTX*)) {
  PkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(/*libctx=*/nullptr, key, /*propquery=*/nullptr));
  if (!context || init(context.get()) != 1 ||
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
  if (isAbove(integerAt(signature, 1), kHalfOrder)) {
    subtractFromOrder(std::span<std::uint8_t, kSignatureIntegerSize>(
        signature.data() + kSignatureIntegerSize, kSignatureIntegerSize));
  }
  return signature;
}

}  // namespace

bool sha256(std::span<const std::uint8_t> octets, Digest* digestOut) {
  Digest digest{};
  unsigned int size = 0;
  if (digestOut == nullptr ||
      EVP_Digest(octets.data(), octets.size(), digest.data(), &size, EVP_sha256(),
                 /*impl=*/nullptr) != 1 ||
      size != digest.size()) {
    return false;
  }
  *digestOut = digest;
  return true;
}

bool sha256(std::string_view octets, Digest* digestOut) {
  return sha256(std::span(reinterpret_cast<const std::uint8_t*>(octets.data()), octets.size()),
                digestOut);
}

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
  PkeyCtxPtr prepared = preparedContext(key.get(), EVP_PKEY_sign_init);
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

Verifier::Verifier(PkeyCtxPtr prepared) : prepared_(std::move(prepared)) {}

std::unique_ptr<Verifier> Verifier::create(const Bytes& rawPublicKey) {
  return fromKey(loadPublicKey(rawPublicKey));
}

std::unique_ptr<Verifier> Verifier::fromKey(PkeyPtr key) {
  if (!isP256Key(key.get())) {
    return nullptr;
  }
  PkeyCtxPtr prepared = preparedContext(key.get(), EVP_PKEY_verify_init);
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
