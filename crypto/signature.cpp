#include "crypto/signature.h"

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>

#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"

namespace zezi {
namespace {

using Integer = std::array<std::uint8_t, kSignatureIntegerSize>;
using IntegerView = std::span<const std::uint8_t, kSignatureIntegerSize>;

// (n - 1) / 2, the largest s of the low half.
constexpr Integer kHalfOrder = {0x7f, 0xff, 0xff, 0xff, 0x80, 0x00, 0x00, 0x00, 0x7f, 0xff, 0xff,
                                0xff, 0xff, 0xff, 0xff, 0xff, 0xde, 0x73, 0x7d, 0x56, 0xd3, 0x8b,
                                0xcf, 0x42, 0x79, 0xdc, 0xe5, 0x61, 0x7e, 0x31, 0x92, 0xa8};

constexpr const char* kDigestName = "SHA256";
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
  if (!isUsableScalar(signerScalar)) {
    return {};
  }
  const PkeyPtr key = loadPrivateKey(signerScalar);
  const DigestCtxPtr context(EVP_MD_CTX_new());
  if (!key || !context ||
      EVP_DigestSignInit_ex(context.get(), /*pctx=*/nullptr, kDigestName, /*libctx=*/nullptr,
                            /*props=*/nullptr, key.get(), /*params=*/nullptr) != 1) {
    return {};
  }
  const int maxSize = EVP_PKEY_get_size(key.get());
  if (maxSize <= 0) {
    return {};
  }
  Bytes der(static_cast<std::size_t>(maxSize));
  std::size_t derSize = der.size();
  if (EVP_DigestSign(context.get(), der.data(), &derSize, message.data(), message.size()) != 1) {
    return {};
  }
  const unsigned char* cursor = der.data();
  const EcdsaSignaturePtr parts(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derSize)));
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
  const PkeyPtr key = loadPublicKey(rawPublicKey);
  const Bytes der = derOf(signature);
  const DigestCtxPtr context(EVP_MD_CTX_new());
  if (!key || der.empty() || !context ||
      EVP_DigestVerifyInit_ex(context.get(), /*pctx=*/nullptr, kDigestName, /*libctx=*/nullptr,
                              /*props=*/nullptr, key.get(), /*params=*/nullptr) != 1) {
    ERR_clear_error();
    return SignatureStatus::kCannotCheck;
  }
  const int verdict =
      EVP_DigestVerify(context.get(), der.data(), der.size(), message.data(), message.size());
  if (verdict == 1) {
    return SignatureStatus::kValid;
  }
  // A refused signature leaves nothing in OpenSSL's error queue for later callers.
  ERR_clear_error();
  return verdict == 0 ? SignatureStatus::kDoesNotVerify : SignatureStatus::kCannotCheck;
}

}  // namespace zezi
