// Key pairs of P-256 in the forms a consumer handles, the 32-octet private scalar and the
// 64-octet raw public key (X || Y), with no OpenSSL type; and their file forms: PKCS#8 or
// SEC1 PEM for the private key, SubjectPublicKeyInfo PEM or 128 hex characters (X || Y)
// for the public key.
#pragma once

#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// A fresh key pair from OpenSSL's default generator. On success writes both outputs and
// returns true; on failure, or when either output is null, touches neither.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool generateKeyPair(Bytes* scalarOut, Bytes* rawPublicKeyOut);

// The raw public key of a scalar in [1, n - 1]; empty for any other scalar.
[[nodiscard]] ZEZI_VIDAD_EXPORT Bytes publicKeyOfScalar(const Bytes& scalar);

// The unencrypted PKCS#8 PEM of a 32-octet P-256 scalar.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool privateKeyPem(const Bytes& scalar, SecretText* pemOut);

// The SubjectPublicKeyInfo PEM of a 64-octet raw public key, or empty.
[[nodiscard]] ZEZI_VIDAD_EXPORT std::string publicKeyPem(const Bytes& rawPublicKey);

// The 32-octet scalar of an unencrypted PKCS#8 or SEC1 PEM private key of P-256.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool privateScalarFromPem(std::string_view pem, Bytes* scalarOut,
                                                          std::string* errorOut);

// The 64-octet raw public key of a SubjectPublicKeyInfo PEM, or of a private key PEM.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool rawPublicKeyFromPem(std::string_view pem, Bytes* rawOut,
                                                         std::string* errorOut);

// The raw public key written as 128 hex digits of either case; refuses a point off P-256.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool rawPublicKeyFromHex(std::string_view hex, Bytes* rawOut,
                                                         std::string* errorOut);

}  // namespace zezi
