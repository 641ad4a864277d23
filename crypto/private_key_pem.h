// The fleet's or a signer's private key as its PEM file holds it (unencrypted PKCS#8 or SEC1
// "EC PRIVATE KEY", P-256 only), read to its 32-octet scalar. Below both sides: the sealer's
// key files and the device's opener from a key file read keys the same way.
#pragma once

#include <cstdint>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// Why a PEM text gives no usable scalar, in the order the reading meets them.
enum class PrivateKeyPemFailure : std::uint8_t {
  kNone,
  kNotPem,            // no unencrypted PEM private key (an encrypted one, a public one, garbage)
  kNotP256,           // a private key of another curve or algorithm
  kScalarUnreadable,  // the cryptographic library would not give the scalar
  kBadScalar,         // a scalar outside [1, n - 1], which OpenSSL would reduce
};
inline constexpr PrivateKeyPemFailure kLastPrivateKeyPemFailure = PrivateKeyPemFailure::kBadScalar;

// The fixed message of a failure (the one privateScalarFromPem gives); empty for kNone.
[[nodiscard]] std::string_view privateKeyPemFailureText(PrivateKeyPemFailure failure);

// The scalar of the first private key in `pem`. Never asks for a password: an encrypted key
// is kNotPem. `*scalarOut` is written only on kNone.
[[nodiscard]] PrivateKeyPemFailure readPrivateKeyPem(std::string_view pem, Bytes* scalarOut);

// OpenSSL's password callback for every PEM read: an encrypted key is refused instead of a
// password being asked for on the terminal.
int refusePassword(char* buffer, int size, int writing, void* data);

}  // namespace zezi
