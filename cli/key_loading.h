// The keys as the tool's commands take it: from PEM files or as raw hex.
#pragma once

#include <string>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// The 32-octet scalar of the PEM private key in the file at `path`.
[[nodiscard]] bool loadPrivateScalar(const std::string& path, Bytes* scalar, std::string* error);

// The 64-octet raw public key from `text`: 128 hex characters are the key itself,
// anything else names a file holding them or a PEM public or private key. `what` names
// the key and `option` the option it came with, in messages.
[[nodiscard]] bool loadPublicKeyText(const std::string& text, std::string_view what,
                                     std::string_view option, Bytes* raw, std::string* error);

// loadPublicKeyText for the fleet key of --fleet-key.
[[nodiscard]] bool loadFleetKey(const std::string& text, Bytes* raw, std::string* error);

}  // namespace zezi
