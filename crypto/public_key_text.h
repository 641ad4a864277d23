// A P-256 public key as files and options give it: a PEM public key (or a PEM private key,
// whose public key is derived), or the 64-octet raw key as 128 hex characters; and the
// public key of a private scalar. Below both sides: the sealer's key files and the device's
// trust keys read keys the same way.
#pragma once

#include <string>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// Whether `pem` holds a PEM public key (SubjectPublicKeyInfo): what a private key file is
// most often mistaken for, worth its own message.
[[nodiscard]] bool holdsPublicKeyPem(std::string_view pem);

// The raw public key of the PEM text; false with one fixed message.
[[nodiscard]] bool readPublicKeyPem(std::string_view pem, Bytes* rawOut, std::string* error);

// The raw public key of 128 hex characters that name a point of P-256; false with one
// fixed message.
[[nodiscard]] bool readPublicKeyHex(std::string_view hex, Bytes* rawOut, std::string* error);

// The raw public key of `scalar`; empty when it is no usable scalar.
[[nodiscard]] Bytes rawPublicKeyOfScalar(const Bytes& scalar);

}  // namespace zezi
