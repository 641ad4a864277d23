#include "crypto/p256_keys.h"

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>

#include <array>
#include <cstdint>
#include <string_view>

namespace zezi {
namespace {

constexpr const char* kCurveName = "prime256v1";

constexpr unsigned kOctetBits = 8;

// Whether a 32-octet scalar lies in [1, n - 1]. OpenSSL would reduce a larger one mod n,
// so that it silently behaves as another key. Every octet is visited whatever the value.
bool isScalarInRange(const Bytes& scalar) {
  unsigned borrow = 0;  // of scalar - n, from the last octet up
  unsigned anyBit = 0;
  for (std::size_t i = kScalarSize; i-- > 0;) {
    const unsigned difference = unsigned{scalar[i]} - unsigned{kP256Order[i]} - borrow;
    borrow = (difference >> kOctetBits) & 1U;
    anyBit |= scalar[i];
  }
  return borrow == 1 && anyBit != 0;
}

// An OSSL_PARAM array describing a P-256 key with the given public point and, when
// `privateValue` is set, its private value. Null on any failure.
ParamArrayPtr keyParams(const Bytes& point, const BIGNUM* privateValue) {
  const ParamBuilderPtr builder(OSSL_PARAM_BLD_new());
  if (!builder ||
      OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kCurveName,
                                      /*bsize=*/0) == 0 ||
      OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                       point.size()) == 0) {
    return nullptr;
  }
  if (privateValue != nullptr &&
      OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, privateValue) == 0) {
    return nullptr;
  }
  return ParamArrayPtr(OSSL_PARAM_BLD_to_param(builder.get()));
}

// Imports an EC key from parameters; `selection` is EVP_PKEY_KEYPAIR or EVP_PKEY_PUBLIC_KEY.
PkeyPtr keyFromParams(OSSL_PARAM* params, int selection, OSSL_LIB_CTX* libctx = nullptr,
                      const char* propquery = nullptr) {
  const PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(libctx, "EC", propquery));
  if (!context || EVP_PKEY_fromdata_init(context.get()) <= 0) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &key, selection, params) <= 0) {
    return nullptr;
  }
  return PkeyPtr(key);
}

}  // namespace

bool isUsableScalar(const Bytes& scalar) {
  return scalar.size() == kScalarSize && isScalarInRange(scalar);
}

Bytes derivePublicPoint(const Bytes& scalar) {
  if (!isUsableScalar(scalar)) {
    return {};
  }
  const EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  const BignumPtr number(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
  if (!group || !number) {
    return {};
  }
  const EcPointPtr point(EC_POINT_new(group.get()));
  if (!point) {
    return {};
  }
  // point = number * G
  if (EC_POINT_mul(group.get(), point.get(), number.get(), /*q=*/nullptr, /*m=*/nullptr,
                   /*ctx=*/nullptr) != 1) {
    return {};
  }
  if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, nullptr, 0,
                         nullptr) != kPointSize) {
    return {};
  }
  Bytes encoded(kPointSize);
  if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                         encoded.size(), nullptr) != kPointSize) {
    return {};
  }
  return encoded;
}

PkeyPtr loadPrivateKey(const Bytes& scalar) {
  if (!isUsableScalar(scalar)) {
    return nullptr;
  }
  const BignumPtr number(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), nullptr));
  const Bytes point = derivePublicPoint(scalar);
  if (!number || point.empty()) {
    return nullptr;
  }
  // A secure number makes the parameter builder keep it in a block that is cleansed when
  // the parameter array is released.
  BN_set_flags(number.get(), BN_FLG_SECURE);
  const ParamArrayPtr params = keyParams(point, number.get());
  if (!params) {
    return nullptr;
  }
  return keyFromParams(params.get(), EVP_PKEY_KEYPAIR);
}

PkeyPtr loadPublicKey(const Bytes& rawPublicKey) {
  return loadPublicKey(rawPublicKey, /*libctx=*/nullptr, /*propquery=*/nullptr);
}

PkeyPtr loadPublicKey(const Bytes& rawPublicKey, OSSL_LIB_CTX* libctx, const char* propquery) {
  const Bytes point = rawToPoint(rawPublicKey);
  if (point.empty()) {
    return nullptr;
  }
  // Whether X and Y lie on the curve is decided by the import, which refuses points off it.
  const ParamArrayPtr params = keyParams(point, /*privateValue=*/nullptr);
  if (!params) {
    return nullptr;
  }
  return keyFromParams(params.get(), EVP_PKEY_PUBLIC_KEY, libctx, propquery);
}

bool generateEphemeralKey(Bytes* scalarOut, Bytes* rawPublicKeyOut) {
  if (scalarOut == nullptr || rawPublicKeyOut == nullptr) {
    return false;
  }
  const PkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(/*libctx=*/nullptr, "EC",
                                                      /*propquery=*/nullptr));
  if (!context || EVP_PKEY_keygen_init(context.get()) <= 0) {
    return false;
  }
  // The parameter list only points at the curve name, so it lives on the stack.
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kCurveName),
                                       /*bsize=*/0),
      OSSL_PARAM_construct_end(),
  };
  if (EVP_PKEY_CTX_set_params(context.get(), params) <= 0) {
    return false;
  }
  EVP_PKEY* rawKey = nullptr;
  if (EVP_PKEY_keygen(context.get(), &rawKey) <= 0) {
    return false;
  }
  const PkeyPtr key(rawKey);
  BIGNUM* rawNumber = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &rawNumber) <= 0) {
    return false;
  }
  const BignumPtr number(rawNumber);
  Bytes scalar(kScalarSize);
  if (BN_bn2binpad(number.get(), scalar.data(), static_cast<int>(scalar.size())) !=
      static_cast<int>(kScalarSize)) {
    return false;
  }
  Bytes rawPublicKey = encodedPublicKey(key.get());
  if (rawPublicKey.size() != kRawPublicKeySize) {
    return false;
  }
  *scalarOut = std::move(scalar);
  *rawPublicKeyOut = std::move(rawPublicKey);
  return true;
}

Bytes encodedPublicKey(const EVP_PKEY* key) {
  std::size_t size = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0, &size) <=
      0) {
    return {};
  }
  Bytes encoded(size);
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded.data(),
                                      encoded.size(), &size) <= 0) {
    return {};
  }
  encoded.resize(size);
  if (encoded.size() != kPointSize || encoded[0] != kUncompressedPointPrefix) {
    return {};
  }
  return {encoded.begin() + 1, encoded.end()};
}

bool isP256Key(const EVP_PKEY* key) {
  char curve[16] = {};
  std::size_t size = 0;
  return key != nullptr && EVP_PKEY_is_a(key, "EC") == 1 &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve,
                                        &size) == 1 &&
         std::string_view(curve, size) == kCurveName;
}

Bytes rawToPoint(const Bytes& rawPublicKey) {
  if (rawPublicKey.size() != kRawPublicKeySize) {
    return {};
  }
  Bytes point;
  point.reserve(kPointSize);
  point.push_back(kUncompressedPointPrefix);
  point.insert(point.end(), rawPublicKey.begin(), rawPublicKey.end());
  return point;
}

}  // namespace zezi
