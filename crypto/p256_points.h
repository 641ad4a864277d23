// P-256 arithmetic on EC_POINTs for the paths that seal or open many envelopes with one
// fleet key: the curve and the fleet key are set up once, and each envelope then costs
// only its multiplications. Scalars are constant-time BIGNUMs, cleared when released.
// A BN_CTX passed in holds the temporaries; where it is null OpenSSL makes its own.
#pragma once

#include "base/ossl_owners.h"
#include "crypto/types.h"

namespace zezi {

// The P-256 group, made once for the whole process and kept until it ends; null when it
// cannot be made (then the next call tries again). Nothing changes it once made, so any
// number of threads may use it at once.
[[nodiscard]] const EC_GROUP* p256Group();

// A 32-octet big-endian scalar in [1, n-1] (isUsableScalar) as a constant-time BIGNUM; null
// for any other length or value.
[[nodiscard]] BignumPtr scalarFromOctets(const Bytes& octets);

// A scalar drawn uniformly from [1, n-1] by the private generator; null on failure.
[[nodiscard]] BignumPtr drawScalar(const EC_GROUP* group, BN_CTX* context);

// The point of a 65-octet uncompressed encoding; null unless both coordinates are below
// the field prime and the point lies on the curve (which the decoding itself checks).
[[nodiscard]] EcPointPtr decodePoint(const EC_GROUP* group, const Bytes& encoded, BN_CTX* context);

// scalar * G as a 65-octet uncompressed point, or empty.
[[nodiscard]] Bytes generatorMultiple(const EC_GROUP* group, const BIGNUM* scalar, BN_CTX* context);

// The 32-octet X coordinate of scalar * point, the ECDH shared secret, or empty.
[[nodiscard]] Bytes sharedX(const EC_GROUP* group, const EC_POINT* point, const BIGNUM* scalar,
                            BN_CTX* context);

}  // namespace zezi
