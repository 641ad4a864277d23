// Fleet key pairs in the forms a consumer handles: the 32-octet private scalar and the
// 64-octet raw public key (X || Y), with no OpenSSL type.
#pragma once

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// A fresh key pair from OpenSSL's default generator. On success writes both outputs and
// returns true; on failure, or when either output is null, touches neither.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool generateKeyPair(Bytes* scalarOut, Bytes* rawPublicKeyOut);

// The raw public key of a scalar in [1, n - 1]; empty for any other scalar.
[[nodiscard]] ZEZI_VIDAD_EXPORT Bytes publicKeyOfScalar(const Bytes& scalar);

}  // namespace zezi
