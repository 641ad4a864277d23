// P-256 key operations. The curve is fixed; keys pass between functions as 32-octet
// scalars and 64-octet raw public keys, and as OpenSSL key handles held by PkeyPtr.
#pragma once

#include <array>
#include <cstdint>

#include "base/ossl_owners.h"
#include "crypto/types.h"

namespace zezi {

// n, the order of the P-256 group, big-endian.
inline constexpr std::array<std::uint8_t, kScalarSize> kP256Order = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};

// Whether `scalar` is a P-256 private scalar: 32 octets holding a value in [1, n - 1].
[[nodiscard]] bool isUsableScalar(const Bytes& scalar);

// Key pair for a 32-octet scalar, carrying its public point; null unless isUsableScalar.
[[nodiscard]] PkeyPtr loadPrivateKey(const Bytes& scalar);

// Public key for a 64-octet raw key; null for any other length or a point off the curve.
[[nodiscard]] PkeyPtr loadPublicKey(const Bytes& rawPublicKey);
// The same, made in `libctx` by a provider that `propquery` picks.
[[nodiscard]] PkeyPtr loadPublicKey(const Bytes& rawPublicKey, OSSL_LIB_CTX* libctx,
                                    const char* propquery);

// Fresh key pair from OpenSSL's default generator. On success writes the 32-octet scalar
// and the 64-octet raw public key and returns true; on failure touches neither output.
[[nodiscard]] bool generateEphemeralKey(Bytes* scalarOut, Bytes* rawPublicKeyOut);

// The 64-octet raw public key of `key` (borrowed), or empty.
[[nodiscard]] Bytes encodedPublicKey(const EVP_PKEY* key);

// Whether `key` (borrowed) is a key of P-256, the one curve of envelopes and signatures.
[[nodiscard]] bool isP256Key(const EVP_PKEY* key);

// scalar * G as a 65-octet uncompressed point; empty unless isUsableScalar.
[[nodiscard]] Bytes derivePublicPoint(const Bytes& scalar);

// 0x04 || raw: a pure re-encoding with no curve check; empty unless raw is 64 octets.
[[nodiscard]] Bytes rawToPoint(const Bytes& rawPublicKey);

}  // namespace zezi
