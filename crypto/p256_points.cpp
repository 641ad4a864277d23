#include "crypto/p256_points.h"

#include <openssl/obj_mac.h>

#include <mutex>

#include "crypto/p256_keys.h"

namespace zezi {
namespace {

// An empty BIGNUM for a secret: constant-time, and in secure memory when there is any.
BignumPtr newSecretNumber() {
  BignumPtr number(BN_secure_new());
  if (number) {
    BN_set_flags(number.get(), BN_FLG_CONSTTIME);
  }
  return number;
}

}  // namespace

const EC_GROUP* p256Group() {
  // Making the group costs as much as a fixed-base multiplication, so it is made once.
  static std::mutex lock;
  static EcGroupPtr group;
  const std::lock_guard guard(lock);
  if (!group) {
    group.reset(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  }
  return group.get();
}

BignumPtr scalarFromOctets(const Bytes& octets) {
  if (!isUsableScalar(octets)) {
    return nullptr;
  }
  BignumPtr scalar = newSecretNumber();
  if (!scalar ||
      BN_bin2bn(octets.data(), static_cast<int>(octets.size()), scalar.get()) == nullptr) {
    return nullptr;
  }
  return scalar;
}

BignumPtr drawScalar(const EC_GROUP* group, BN_CTX* context) {
  BignumPtr scalar = newSecretNumber();
  if (!scalar) {
    return nullptr;
  }
  // [0, n) with zero drawn again, as OpenSSL's own key generation does.
  do {
    if (BN_priv_rand_range_ex(scalar.get(), EC_GROUP_get0_order(group), /*strength=*/0, context) !=
        1) {
      return nullptr;
    }
  } while (BN_is_zero(scalar.get()) == 1);
  return scalar;
}

EcPointPtr decodePoint(const EC_GROUP* group, const Bytes& encoded, BN_CTX* context) {
  if (encoded.size() != kPointSize || encoded[0] != kUncompressedPointPrefix) {
    return nullptr;
  }
  EcPointPtr point(EC_POINT_new(group));
  if (!point ||
      EC_POINT_oct2point(group, point.get(), encoded.data(), encoded.size(), context) != 1) {
    return nullptr;
  }
  return point;
}

Bytes generatorMultiple(const EC_GROUP* group, const BIGNUM* scalar, BN_CTX* context) {
  // point = scalar * G
  const EcPointPtr point(EC_POINT_new(group));
  if (!point ||
      EC_POINT_mul(group, point.get(), scalar, /*q=*/nullptr, /*m=*/nullptr, context) != 1) {
    return {};
  }
  // The point at infinity encodes as one octet and so fails here.
  Bytes encoded(kPointSize);
  if (EC_POINT_point2oct(group, point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                         encoded.size(), context) != kPointSize) {
    return {};
  }
  return encoded;
}

Bytes sharedX(const EC_GROUP* group, const EC_POINT* point, const BIGNUM* scalar, BN_CTX* context) {
  // shared = X(scalar * point)
  const EcPointPtr product(EC_POINT_new(group));
  const BignumPtr x = newSecretNumber();
  if (!product || !x ||
      EC_POINT_mul(group, product.get(), /*n=*/nullptr, point, scalar, context) != 1 ||
      EC_POINT_get_affine_coordinates(group, product.get(), x.get(), /*y=*/nullptr, context) != 1) {
    return {};
  }
  Bytes secret(kSharedSecretSize);
  if (BN_bn2binpad(x.get(), secret.data(), static_cast<int>(secret.size())) !=
      static_cast<int>(kSharedSecretSize)) {
    return {};
  }
  return secret;
}

}  // namespace zezi
