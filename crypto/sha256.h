// SHA-256, the digest of the signed statement, of key ids and of the replay state.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// digest = SHA-256(octets); false (and `*digestOut` untouched) only when OpenSSL fails.
[[nodiscard]] bool sha256(std::span<const std::uint8_t> octets, Digest* digestOut);
[[nodiscard]] bool sha256(std::string_view octets, Digest* digestOut);

}  // namespace zezi
