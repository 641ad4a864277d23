// The fleet key as the tool's commands take it: from PEM files or as raw hex.
#pragma once

#include <string>
#include <string_view>

#include "envelope/types.h"

namespace zezi {

// The 32-octet scalar of the PEM private key in the file at `path`.
[[nodiscard]] bool loadPrivateScalar(const std::string& path, Bytes* scalar, std::string* error);

// The raw public key of `scalar`, or empty.
[[nodiscard]] Bytes rawPublicKeyOf(const Bytes& scalar);

// The 64-octet raw public key from `text`: 128 hex characters are the key itself,
// anything else names a PEM file holding the public or the private key. `what` names the
// key in messages about hex text ("fleet key", "signer key").
[[nodiscard]] bool loadPublicKeyText(const std::string& text, std::string_view what, Bytes* raw,
                                     std::string* error);

// loadPublicKeyText for the fleet key.
[[nodiscard]] bool loadFleetKey(const std::string& text, Bytes* raw, std::string* error);

}  // namespace zezi
