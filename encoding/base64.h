// Base64 of RFC 4648 section 4: standard alphabet, "=" fill, no line breaks.
#pragma once

#include <string>
#include <string_view>

#include "base/bytes.h"

namespace zezi {

// Always 4 * ceil(n / 3) characters.
[[nodiscard]] std::string base64Encode(const Bytes& octets);

// Decodes only the text base64Encode would write for some octets: a multiple of 4
// characters of the standard alphabet, "=" fill where needed and nowhere else, zero unused
// bits, no white space. So each octet string has exactly one accepted text. On success
// replaces `*octetsOut` and returns true; otherwise returns false and leaves it untouched.
[[nodiscard]] bool base64Decode(std::string_view text, Bytes* octetsOut);

}  // namespace zezi
