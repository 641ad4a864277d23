// Base64 of RFC 4648 section 4: standard alphabet, "=" fill, no line breaks.
#pragma once

#include <string>

#include "envelope/types.h"

namespace zezi {

// Always 4 * ceil(n / 3) characters.
[[nodiscard]] std::string base64Encode(const Bytes& octets);

}  // namespace zezi
