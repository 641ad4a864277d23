// Lowercase hexadecimal text to and from octets.
#pragma once

#include <string>
#include <string_view>

#include "base/bytes.h"

namespace zezi {

// The digits that hexEncode writes, indexed by the value of a four-bit group.
inline constexpr std::string_view kHexDigits = "0123456789abcdef";

// Hex digits of either case, for checking text typed by people before hexDecode.
inline constexpr std::string_view kHexDigitsEitherCase = "0123456789abcdefABCDEF";

// Two lowercase digits per octet.
[[nodiscard]] std::string hexEncode(const Bytes& octets);

// Decodes pairs of hex digits of either case. Throws std::invalid_argument when the text
// has odd length or holds anything but hex digits; no partial result reaches the caller.
[[nodiscard]] Bytes hexDecode(std::string_view hex);

// True when `text` is exactly `octetCount` octets written as lowercase hex.
[[nodiscard]] bool isLowercaseHex(std::string_view text, std::size_t octetCount);

}  // namespace zezi
